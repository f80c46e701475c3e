// The plan window: offline editing of a site plan, and its network actions run by the main
// window's operation runner.
#include "planwin.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextLayout>
#include <algorithm>

#include "config/devname.h"
#include "config/filereason.h"
#include "doortabs.h"
#include "mainwin.h"
#include "platform.h"
#include "ui_dooreditor.h"
#include "ui_planwin.h"

namespace {

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

constexpr int kTabRowSlot = 24;
const QString kCaption = QStringLiteral("Plan obiektu");
// The width of the plan's column: the site, the file, the list and the differences.
constexpr int kColumnWidth = 249;
constexpr int kSiteNameLines = 3;
constexpr int kSiteAddressLines = 2;

// `text` broken into lines at most `width` pixels wide, words kept whole where they fit;
// beyond `maxLines` the last line ends in an ellipsis.
QString WrapElided(const QString& text, const QFont& font, int width, int maxLines) {
  QTextLayout layout(text, font);
  QTextOption opt;
  opt.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(opt);
  layout.beginLayout();
  QStringList lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (lines.size() == maxLines - 1) {
      const QString rest = text.mid(line.textStart());
      lines.append(QFontMetrics(font).elidedText(rest.simplified(), Qt::ElideRight, width));
      break;
    }
    lines.append(text.mid(line.textStart(), line.textLength()).trimmed());
  }
  layout.endLayout();
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

TPlanWin::TPlanWin(UiHost& host, TMainWin* main, QWidget* parent)
    : QWidget(parent, Qt::Window),
      ui(std::make_unique<Ui::TPlanWin>()),
      host_(host),
      main_(main),
      work_(std::make_unique<CtrlCfg>()) {
  ui->setupUi(this);
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(11);
  setFont(font);
  setFixedSize(847, 590);
  ClearCfg(*work_);

  // The passage tabs over the editor's top strip, as in the main window.
  ui->DoorGrpLayout->removeWidget(ui->DoorTc);
  ui->DoorGrpLayout->insertSpacing(0, kTabRowSlot);
  ui->DoorTc->setMinimumSize(0, 0);
  ui->DoorTc->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  ui->DoorPanel->installEventFilter(this);
  ui->TrainNrLbl->setVisible(false);
  ui->TrainNrEd->setVisible(false);

  DoorEd = ui->DoorPanel;
  DoorEd->Attach(*work_, ui->DoorTc, ui->TrainNrEd, ui->TrainNrLbl);
  // The rules of the mode the controller was in when its record was made.
  DoorEd->modeOf = [this] {
    if (cur_ < 0 || rows_[size_t(cur_)].entry < 0) return 0;
    return plan_.ctrls[size_t(rows_[size_t(cur_)].entry)].arc.ctrlMode;
  };
  DoorEd->onEdited = [this] {
    SyncCurrent();
    ShowRows();
  };

  // The keyboard goes from the list to the passage tabs and into the editor; the read-only
  // list of differences passes the Tab key on.
  ui->DriftTxt->setTabChangesFocus(true);
  QWidget::setTabOrder(ui->CtrlLstBox, ui->DoorTc);
  QWidget::setTabOrder(ui->DoorTc, DoorEd->ed->RygielCb);

  connect(ui->CtrlLstBox, &QListWidget::currentRowChanged, this, [this](int) {
    if (!listUpdating_) CtrlLstBoxClick();
  });
  connect(ui->CheckNetBtn, &QPushButton::clicked, this, [this] { CheckNetBtnClick(); });
  connect(ui->DownloadBtn, &QPushButton::clicked, this, [this] { DownloadBtnClick(); });
  connect(ui->UploadBtn, &QPushButton::clicked, this, [this] { UploadBtnClick(); });
  connect(ui->SavePlanBtn, &QPushButton::clicked, this, [this] { SavePlanBtnClick(); });
  connect(ui->SavePlanAsBtn, &QPushButton::clicked, this, [this] { SavePlanAsBtnClick(); });
  connect(ui->DocPdfBtn, &QPushButton::clicked, this, [this] { DocPdfBtnClick(); });
  // Whatever the site's name or the file's path, the list and the differences share the
  // room left; each scrolls its own text.
  ui->PlanBoxLayout->setStretchFactor(ui->CtrlLstBox, 3);
  ui->PlanBoxLayout->setStretchFactor(ui->DriftTxt, 2);
  ui->SiteLb->installEventFilter(this);
  UpdateTitle();
}

TPlanWin::~TPlanWin() = default;

bool TPlanWin::eventFilter(QObject* obj, QEvent* ev) {
  // The site's name and the file's path are cut to the width their labels get.
  if (obj == ui->SiteLb && ev->type() == QEvent::Resize) UpdateTitle();
  if (obj == ui->DoorPanel && (ev->type() == QEvent::Move || ev->type() == QEvent::Resize)) {
    const QRect panel = ui->DoorPanel->geometry();
    ui->DoorTc->setGeometry(panel.x(), panel.y() - kTabRowSlot, panel.width(),
                            std::max(kTabRowSlot, ui->DoorTc->HeightFor(panel.width())));
    ui->DoorTc->raise();
  }
  return QWidget::eventFilter(obj, ev);
}

void TPlanWin::closeEvent(QCloseEvent* ev) {
  // Unsaved edits are not thrown away without asking.
  SyncCurrent();
  // Once a signal asked the program to end, nothing holds the window open.
  const bool ending = forceClose_ || (main_ && main_->Quitting());
  if (!ending && AnyEdited() &&
      !Ask(QStringLiteral("Plan ma niezapisane zmiany. Zamknąć okno bez zapisywania?"))) {
    ev->ignore();
    return;
  }
  ev->accept();
}

bool TPlanWin::Open(const QString& path, std::string& why) {
  SitePlan plan;
  // The stamp before the read: a change made while it reads is a change to ask about.
  const FileStamp stamp = StampOf(Local(path));
  int errnum = 0;
  if (!LoadPlan(Local(path), plan, why, &errnum)) {
    why = FileReason(Local(path), why, errnum);
    return false;
  }
  SetPlan(std::move(plan), path);
  stamp_ = stamp;
  return true;
}

std::string TPlanWin::Local(const QString& path) {
  return FileNameBytes(path);
}

void TPlanWin::SetPlan(SitePlan plan, const QString& path) {
  plan_ = std::move(plan);
  // An archive opened as a plan stays the user's backup: "Zapisz plan" asks for a file.
  source_ = path;
  path_ = plan_.fromArchive ? QString() : path;
  archive_ = plan_.fromArchive ? path : QString();
  stamp_ = path_.isEmpty() ? FileStamp() : StampOf(Local(path_));
  BuildRows();
  // Rows of a plan made from the network are not in any file yet.
  if (path.isEmpty())
    for (Row& r : rows_) r.saved.reset();
  cur_ = -1;
  ShowRows();
  Select(rows_.empty() ? -1 : 0);
  UpdateTitle();
}

void TPlanWin::BuildRows() {
  rows_.clear();
  for (size_t i = 0; i < plan_.ctrls.size(); ++i) {
    Row r;
    r.entry = int(i);
    r.id = plan_.ctrls[i].arc.ctrlId;
    auto model = std::make_unique<CtrlCfg>();
    std::string why;
    if (PlanEntryModel(plan_.ctrls[i].arc, *model, why)) {
      r.saved = std::make_unique<CtrlCfg>(*model);
      r.model = std::move(model);
    } else {
      r.reason = why;
    }
    rows_.push_back(std::move(r));
  }
}

void TPlanWin::UpdateTitle() {
  const std::string& name = plan_.site.name;
  setWindowTitle(kCaption + QStringLiteral(" – ") +
                 (name.empty() ? QStringLiteral("bez nazwy") : Text(name)));
  // The site's name and address wrapped to a few lines, the file's path on one line cut in
  // the middle; the full texts under the pointer.
  const QFont& f = ui->SiteLb->font();
  // The labels' own width once laid out; the column's until then.
  const int laid = ui->SiteLb->contentsRect().width();
  const int width = ui->SiteLb->testAttribute(Qt::WA_Resized) && laid > 0 ? laid : kColumnWidth;
  QString site = WrapElided(Text(plan_.site.name), f, width, kSiteNameLines);
  QString full = Text(plan_.site.name);
  if (!plan_.site.address.empty()) {
    site +=
        QStringLiteral("\n") + WrapElided(Text(plan_.site.address), f, width, kSiteAddressLines);
    full += QStringLiteral("\n") + Text(plan_.site.address);
  }
  ui->SiteLb->setText(site);
  ui->SiteLb->setToolTip(full);
  QString file =
      QStringLiteral("Plik: ") + (path_.isEmpty() ? QStringLiteral("(nie zapisany)") : path_);
  if (path_.isEmpty() && !source_.isEmpty())
    file += QStringLiteral(", otwarty z archiwum ") + QFileInfo(source_).fileName();
  ui->PathLb->setText(QFontMetrics(ui->PathLb->font()).elidedText(file, Qt::ElideMiddle, width));
  ui->PathLb->setToolTip(file);
  ui->PathLb->setAccessibleDescription(file);
}

// The editor's model goes back into its row.
void TPlanWin::SyncCurrent() {
  if (cur_ < 0 || cur_ >= RowCount()) return;
  Row& r = rows_[size_t(cur_)];
  if (r.model) *r.model = *work_;
}

bool TPlanWin::Edited(int row) const {
  const Row& r = rows_[size_t(row)];
  if (r.entry < 0 || !r.model) return false;
  return r.replaced || !r.saved || !SamePassages(*r.model, *r.saved);
}

DriftState TPlanWin::StateOf(int row) const {
  const Row& r = rows_[size_t(row)];
  return ShownState(r.state, r.model && (!r.checked || !SamePassages(*r.model, *r.checked)));
}

bool TPlanWin::AnyEdited() const {
  for (int i = 0; i < RowCount(); ++i)
    if (Edited(i)) return true;
  return false;
}

void TPlanWin::ShowRows() {
  QListWidget* box = ui->CtrlLstBox;
  FlagScope quiet(listUpdating_);
  while (box->count() > RowCount()) delete box->takeItem(box->count() - 1);
  for (int i = 0; i < RowCount(); ++i) {
    const Row& r = rows_[size_t(i)];
    const std::string label = r.entry >= 0 ? plan_.ctrls[size_t(r.entry)].label : std::string();
    const QString text = Text(PlanRowText(StateOf(i), r.id, label, Edited(i)));
    if (i < box->count()) {
      if (box->item(i)->text() != text) box->item(i)->setText(text);
    } else {
      box->addItem(text);
    }
    box->item(i)->setToolTip(text);
  }
  if (cur_ >= 0 && cur_ < box->count()) box->setCurrentRow(cur_);
  // What the selected row's check found.
  QString details;
  if (cur_ >= 0 && cur_ < RowCount()) {
    const Row& r = rows_[size_t(cur_)];
    if (StateOf(cur_) != r.state)
      details = QStringLiteral(
          "Wpis zmieniony od sprawdzenia; „Sprawdź sieć” porówna go "
          "ponownie.");
    else
      for (const std::string& l : r.lines) details += Text(l) + QStringLiteral("\n");
    if (!r.reason.empty()) details += Text(r.reason);
  }
  if (ui->DriftTxt->toPlainText() != details) ui->DriftTxt->setPlainText(details);
}

void TPlanWin::Select(int row) {
  SyncCurrent();
  cur_ = row >= 0 && row < RowCount() ? row : -1;
  ShowCurrent();
  ShowRows();
}

void TPlanWin::ShowCurrent() {
  if (cur_ >= 0 && rows_[size_t(cur_)].model)
    *work_ = *rows_[size_t(cur_)].model;
  else
    ClearCfg(*work_);
  DoorEd->BuildTabs();
  DoorEd->RefreshDoorEditor();
  ui->UploadBtn->setEnabled(cur_ >= 0 && rows_[size_t(cur_)].entry >= 0 &&
                            rows_[size_t(cur_)].model);
  ui->DownloadBtn->setEnabled(cur_ >= 0);
}

void TPlanWin::CtrlLstBoxClick() {
  Select(ui->CtrlLstBox->currentRow());
}

int TPlanWin::RowOf(uint32_t id) const {
  for (int i = 0; i < RowCount(); ++i)
    if (rows_[size_t(i)].id == id) return i;
  return -1;
}

Archive TPlanWin::PlannedOf(int row) const {
  const Row& r = rows_[size_t(row)];
  const Archive& base = plan_.ctrls[size_t(r.entry)].arc;
  return r.model ? ArchiveFromModel(*r.model, base) : base;
}

void TPlanWin::Error(const QString& text) {
  std::unique_ptr<ModalScope> modal;
  if (main_) modal = std::make_unique<ModalScope>(*main_);
  host_.ErrorBox(this, kCaption, text);
}

void TPlanWin::Info(const QString& text) {
  std::unique_ptr<ModalScope> modal;
  if (main_) modal = std::make_unique<ModalScope>(*main_);
  host_.InfoBox(this, kCaption, text);
}

bool TPlanWin::Ask(const QString& text) {
  std::unique_ptr<ModalScope> modal;
  if (main_) modal = std::make_unique<ModalScope>(*main_);
  return host_.Confirm(this, kCaption, text);
}

bool TPlanWin::NoNetwork(const QString& action) {
  if (main_) return false;
  Error(QStringLiteral("„%1” nie może działać: okno planu pracuje bez połączenia z siecią "
                       "(nie ma okna głównego, które obsługuje łącze z kontrolerami).")
            .arg(action));
  return true;
}

void TPlanWin::SavePlanBtnClick() {
  Save(false);
}

void TPlanWin::SavePlanAsBtnClick() {
  Save(true);
}

QString TPlanWin::AskSavePath() {
  std::unique_ptr<ModalScope> modal;
  if (main_) modal = std::make_unique<ModalScope>(*main_);
  const QString suggested =
      path_.isEmpty() ? QStringLiteral("plan-obiektu.json") : QFileInfo(path_).fileName();
  return host_.SaveFileName(this, suggested, QStringLiteral("Plan obiektu (*.json)"),
                            QStringLiteral("json"));
}

void TPlanWin::Save(bool asNew) {
  SyncCurrent();
  QString path = asNew ? QString() : path_;
  bool fromDialog = false;
  for (;;) {
    if (path.isEmpty()) {
      path = AskSavePath();
      if (path.isEmpty()) return;
      fromDialog = true;
    }
    const SaveStep step =
        DecideSave(Local(path), fromDialog, Local(path_), stamp_, Local(archive_));
    if (step == SaveStep::RefuseArchive) {
      Error(QStringLiteral("Nie zapisano planu: %1 jest archiwum kontrolera; archiwum nie jest "
                           "zastępowane planem. Wybierz inny plik.")
                .arg(path));
      return;
    }
    if (step == SaveStep::AskReplace) {
      std::unique_ptr<ModalScope> modal;
      if (main_) modal = std::make_unique<ModalScope>(*main_);
      if (!host_.ConfirmReplace(this, path)) return;
    }
    if (step == SaveStep::AskChanged) {
      std::unique_ptr<ModalScope> modal;
      if (main_) modal = std::make_unique<ModalScope>(*main_);
      const int choice = host_.Choose(
          this, kCaption,
          QStringLiteral("Plik %1 zmienił się na dysku od otwarcia lub ostatniego zapisu "
                         "(zmienił go ktoś inny lub inny program). Zastąpić go planem z tego "
                         "okna, czy zapisać plan pod inną nazwą?")
              .arg(path),
          {QStringLiteral("Zastąp"), QStringLiteral("Zapisz jako…"), QStringLiteral("Anuluj")}, 2);
      if (choice == 1) {
        path.clear();
        continue;
      }
      if (choice != 0) return;
    }
    break;
  }
  // The records as the editor left them; a row without a usable model keeps its record.
  SitePlan out = plan_;
  for (const Row& r : rows_)
    if (r.entry >= 0 && r.model)
      out.ctrls[size_t(r.entry)].arc = ArchiveFromModel(*r.model, plan_.ctrls[size_t(r.entry)].arc);
  StampSaved(out, plan_, UtcNowText(), kToolName);
  out.fromArchive = false;  // written as a plan from now on
  std::string why;
  int errnum = 0;
  if (!SavePlan(Local(path), out, why, &errnum)) {
    Error(QStringLiteral("Nie zapisano planu %1: %2")
              .arg(path, Text(FileReason(Local(path), why, errnum))));
    return;
  }
  plan_ = std::move(out);
  path_ = source_ = path;
  stamp_ = StampOf(Local(path));
  for (Row& r : rows_) {
    if (r.entry < 0 || !r.model) continue;
    r.saved = std::make_unique<CtrlCfg>(*r.model);
    r.replaced = false;
  }
  UpdateTitle();
  ShowRows();
}

// --- Network actions: operations of the main window's runner ----------------------------

void TPlanWin::CheckNetBtnClick() {
  if (NoNetwork(QStringLiteral("Sprawdź sieć"))) return;
  // A fresh search first (the main window's own, which also renews its list), then the check.
  main_->SearchEthBtnClick();
  main_->SubmitOp([this] { return CheckOp(); });
}

void TPlanWin::DownloadBtnClick() {
  if (cur_ < 0) return;
  if (NoNetwork(QStringLiteral("Pobierz z kontrolera"))) return;
  const uint32_t id = rows_[size_t(cur_)].id;
  main_->SubmitOp([this, id] { return DownloadOp(id); });
}

void TPlanWin::UploadBtnClick() {
  if (cur_ < 0 || rows_[size_t(cur_)].entry < 0 || !rows_[size_t(cur_)].model) return;
  if (NoNetwork(QStringLiteral("Wgraj do kontrolera"))) return;
  SyncCurrent();
  // What the user sees now is what is uploaded; edits made before the operation runs stop it.
  auto seen = std::make_shared<CtrlCfg>(*rows_[size_t(cur_)].model);
  const uint32_t id = rows_[size_t(cur_)].id;
  main_->SubmitOp([this, id, seen] { return UploadOp(id, seen); });
}

namespace {

UdpDev* FindDev(UdpDevSet& set, uint32_t id) {
  for (int i = 0; i < set.count; ++i)
    if (set.dev[i].id == id) return &set.dev[i];
  return nullptr;
}

}  // namespace

bool TPlanWin::RefusedForTwoAddresses(const CtrlSnap& read) {
  const std::string refused = TwoAddressRefusal(read);
  if (refused.empty()) return false;
  main_->ShowStatus(Text(refused));
  Error(Text(refused));
  return true;
}

bool TPlanWin::Ending() const {
  return main_->Closing();
}

OpTask TPlanWin::CheckOp() {
  if (Ending()) co_return;
  UdpDevSet& set = main_->Devs();
  if (set.count == 0) {
    Error(
        QStringLiteral("„Sprawdź sieć” nie może działać: w sieci nie odpowiedziało żadne "
                       "urządzenie. Sprawdź połączenie z siecią Ethernet."));
    co_return;
  }
  SyncCurrent();
  // Rows of controllers outside the plan are found afresh by every check; the selection
  // follows its controller, not its place in the list.
  const uint32_t selected = cur_ >= 0 ? rows_[size_t(cur_)].id : 0;
  rows_.erase(std::remove_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.entry < 0; }),
              rows_.end());
  cur_ = selected ? RowOf(selected) : -1;
  if (cur_ < 0) ShowCurrent();  // the selected row went (for now): the editor shows nothing
  for (int i = 0; i < RowCount(); ++i) {
    const Archive planned = PlannedOf(i);
    // The entry as compared: an edit made meanwhile makes the result stale.
    std::unique_ptr<CtrlCfg> compared;
    if (rows_[size_t(i)].model) compared = std::make_unique<CtrlCfg>(*rows_[size_t(i)].model);
    UdpDev* d = FindDev(set, rows_[size_t(i)].id);
    CtrlDrift drift;
    if (!d) {
      drift = CompareCtrl(planned, nullptr);
    } else {
      CtrlSnap r;
      std::exception_ptr err;
      co_await main_->NetOp(ReadCtrlStep(d, r, err));
      if (Ending()) co_return;
      if (err) {
        drift.state = DriftState::Unreadable;
        drift.reason = ErrText(err);
      } else {
        const Archive actual = ReadArchive(r, *d, "");
        drift = CompareCtrl(planned, &actual);
      }
    }
    Row& row = rows_[size_t(i)];
    row.state = drift.state;
    row.checked = std::move(compared);
    row.lines = drift.lines;
    if (!drift.reason.empty() || row.model) row.reason = drift.reason;
    ShowRows();
  }
  for (int i = 0; i < set.count; ++i) {
    const uint32_t id = set.dev[i].id;
    if (!IsController(id) || RowOf(id) >= 0) continue;
    Row r;
    r.id = id;
    r.state = DriftState::NotInPlan;
    r.reason = "Kontroler " + DevName(id) + " (" + set.dev[i].IpText() +
               ") nie należy do planu; „Pobierz z kontrolera” dodaje go.";
    rows_.push_back(std::move(r));
  }
  if (cur_ < 0 && selected) cur_ = RowOf(selected);
  ShowRows();
  ShowCurrent();
}

OpTask TPlanWin::DownloadOp(uint32_t id) {
  if (Ending()) co_return;
  UdpDev* d = FindDev(main_->Devs(), id);
  if (!d) {
    Error(Text("Kontrolera " + DevName(id) +
               " nie znaleziono w sieci; nic nie pobrano. Użyj „Sprawdź sieć”."));
    co_return;
  }
  CtrlSnap r;
  std::exception_ptr err;
  co_await main_->NetOp(ReadCtrlStep(d, r, err));
  if (Ending()) co_return;
  if (err) {
    Error(Text("Nie pobrano konfiguracji: " + ErrText(err)));
    co_return;
  }
  int row = RowOf(id);
  if (row < 0) co_return;  // the row went away meanwhile (a new check)
  SyncCurrent();
  if (Edited(row) &&
      !Ask(Text("Wpis planu " + DevName(id) +
                " ma niezapisane zmiany. Zastąpić go konfiguracją odczytaną z kontrolera?")))
    co_return;
  if (Ending()) co_return;
  row = RowOf(id);
  if (row < 0) co_return;
  Row& rr = rows_[size_t(row)];
  const std::string label = rr.entry >= 0 ? plan_.ctrls[size_t(rr.entry)].label : std::string();
  Archive arc = ReadArchive(r, *d, label);
  auto model = std::make_unique<CtrlCfg>();
  std::string why;
  if (!PlanEntryModel(arc, *model, why)) {
    Error(Text("Odczytanej konfiguracji nie można edytować: " + why));
    co_return;
  }
  if (rr.entry < 0) {
    plan_.ctrls.push_back(PlanCtrl{label, arc});
    rr.entry = int(plan_.ctrls.size()) - 1;
  } else {
    plan_.ctrls[size_t(rr.entry)].arc = arc;
  }
  rr.model = std::move(model);
  rr.checked = std::make_unique<CtrlCfg>(*rr.model);
  rr.replaced = true;
  rr.state = DriftState::Agree;
  rr.lines.clear();
  rr.reason.clear();
  if (row == cur_) ShowCurrent();
  ShowRows();
}

OpTask TPlanWin::UploadOp(uint32_t id, std::shared_ptr<CtrlCfg> seenModel) {
  if (Ending()) co_return;
  int row = RowOf(id);
  SyncCurrent();
  if (row < 0 || rows_[size_t(row)].entry < 0 || !rows_[size_t(row)].model) co_return;
  if (!SamePassages(*rows_[size_t(row)].model, *seenModel)) {
    Error(Text("Wpis " + DevName(id) +
               " zmienił się po kliknięciu „Wgraj do kontrolera”; nic nie wysłano."));
    co_return;
  }
  const Archive planned =
      ArchiveFromModel(*seenModel, plan_.ctrls[size_t(rows_[size_t(row)].entry)].arc);
  UdpDevSet& set = main_->Devs();
  UdpDev* d = FindDev(set, id);
  if (!d) {
    Error(Text("Kontrolera " + DevName(id) +
               " nie znaleziono w sieci; nic nie wysłano. Użyj „Sprawdź sieć”."));
    co_return;
  }
  CtrlSnap seen;
  // Reported with two addresses already: refused before the read, whose session the link
  // would refuse anyway.
  seen.twoAddresses = TwoAddressText(*d);
  if (RefusedForTwoAddresses(seen)) co_return;
  std::exception_ptr err;
  co_await main_->NetOp(ReadCtrlStep(d, seen, err));
  if (Ending()) co_return;
  if (err) {
    Error(Text("Nic nie wysłano: " + ErrText(err)));
    co_return;
  }
  if (RefusedForTwoAddresses(seen)) co_return;
  UploadPrep prep;
  if (!PrepareUpload(planned, seen, prep)) {
    Error(Text("Nic nie wysłano: plan odrzucony: " + prep.why));
    co_return;
  }
  if (prep.lines.empty()) {
    rows_[size_t(row)].state = DriftState::Agree;
    rows_[size_t(row)].checked = std::make_unique<CtrlCfg>(*seenModel);
    rows_[size_t(row)].lines.clear();
    ShowRows();
    Info(Text(DevName(id) + " ma już konfigurację przejść z planu; nic nie wysłano." +
              (prep.address.empty() ? "" : " (" + prep.address + ")")));
    co_return;
  }
  // The address on record, when the controller answers from another one, is a change too.
  std::string list = "Zmiany (kontroler " + DevName(id) + " -> plan):\n";
  if (!prep.address.empty()) list += "  " + prep.address + "\n";
  for (const std::string& l : prep.lines) list += "  " + l + "\n";
  for (const std::string& n : prep.notes) list += n + "\n";
  if (main_->UnsavedEditsFor(id))
    list += "\nNiezapisane zmiany w oknie głównym dla " + DevName(id) + " zostaną odrzucone.\n";
  const std::string moved = prep.address.empty() ? "" : " (" + prep.address + ")";
  if (!Ask(Text(list + "\nZapisać je w kontrolerze" + moved + "?")) || Ending()) co_return;

  // Just before the write: the controller read again; nothing is sent when it moved.
  d = FindDev(set, id);
  if (!d) {
    Error(Text("Kontroler " + DevName(id) + " zniknął z sieci; nic nie wysłano."));
    co_return;
  }
  CtrlSnap fresh;
  co_await main_->NetOp(ReadCtrlStep(d, fresh, err));
  if (Ending()) co_return;
  std::string why;
  if (err) {
    Error(Text("Nic nie wysłano: świeży odczyt przed zapisem nie powiódł się: " + ErrText(err)));
    co_return;
  }
  if (RefusedForTwoAddresses(fresh)) co_return;
  row = RowOf(id);
  if (!Unmoved(seen, fresh, why) || row < 0) {
    if (row >= 0) rows_[size_t(row)].state = DriftState::Unchecked;
    ShowRows();
    Error(Text("Nic nie wysłano do " + DevName(id) + ": " + why));
    co_return;
  }
  std::vector<uint8_t> back;
  co_await main_->NetOp([d, &prep, &back, &err] {
    try {
      d->WriteConfig(*prep.built);
      back = ReadBackDoors(*d);
    } catch (...) {
      err = std::current_exception();
    }
  });
  // Whether or not the write went through, the main window no longer shows the truth.
  main_->PassagesWrittenElsewhere(id);
  row = RowOf(id);
  if (err) {
    if (row >= 0) rows_[size_t(row)].state = DriftState::Unchecked;
    ShowRows();
    if (Ending()) co_return;
    Error(Text("Zapis nie powiódł się: " + ErrText(err)));
    co_return;
  }
  const bool ok = VerifyReadBack(*prep.built, back, why);
  if (row >= 0) {
    rows_[size_t(row)].state = ok ? DriftState::Agree : DriftState::Differs;
    rows_[size_t(row)].checked = std::make_unique<CtrlCfg>(*seenModel);
    rows_[size_t(row)].lines.clear();
    rows_[size_t(row)].reason = ok ? std::string() : why;
  }
  ShowRows();
  if (Ending()) co_return;
  if (ok)
    Info(Text(DevName(id) + ": zapisano; odczyt kontrolny zgodny z planem."));
  else
    Error(Text(DevName(id) + ": " + why));
}
