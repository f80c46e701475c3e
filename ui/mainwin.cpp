// Main window: start-up, the Ethernet list, controller selection, the one-second tick,
// bus device maintenance and writing the configuration.
#include "mainwin.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <system_error>
#include <utility>

#include "config/filereason.h"
#include "doortabs.h"
#include "helpwin.h"
#include "keyorder.h"
#include "lokdlg.h"
#include "planwin.h"
#include "ui_dooreditor.h"
#include "ui_mainwin.h"

TMainWin* MainWin = nullptr;
THelpWin* HelpWin = nullptr;
TLokalizDlg* LokalizDlg = nullptr;
int KeepAliveStart = 0;

namespace {

constexpr int kTickMs = 1000;
constexpr int kListRowHeight = 14;
// Height the passage tabs' first row takes above the editor.
constexpr int kTabRowSlot = 24;

// List lines are 14 pixels high whatever the style would make of the font.
class FixedRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& opt, const QModelIndex& idx) const override {
    QSize s = QStyledItemDelegate::sizeHint(opt, idx);
    s.setHeight(kListRowHeight);
    return s;
  }
};

// Moves the layout of a group so that its first row starts at (left, top) of the group
// and its right edge keeps `right` pixels from the group's edge, whatever room the style
// gives the title and the frame.
void PinGroup(QGroupBox* box, QBoxLayout* lay, int left, int top, int right) {
  const QRect in = box->contentsRect();
  const int frameRight = box->width() - 1 - in.right();
  lay->setContentsMargins(std::max(0, left - in.left()), std::max(0, top - in.top()),
                          std::max(0, right - frameRight), 0);
}

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

}  // namespace

TMainWin::TMainWin(UiHost& h, Endpoint& udp, Clock& c, bool startTimer, LinkThread link,
                   QWidget* parent)
    : QWidget(parent),
      UDP(udp),
      ui(std::make_unique<Ui::TMainWin>()),
      host(h),
      clock(c),
      ops_(link) {
  // Every device record starts all zero; nothing is found and nothing selected yet.
  devSet_.count = 0;
  devSet_.selected = -1;  // the window keeps its selection itself (selId_)
  ClearCfg(Cfg);
  ClearCfg(stored_);
  SetupWidgets();
  SetupMenu();
  ShowTimerErrors = true;
  LinkSetEndpoint(&UDP);
  LinkSetClock(&clock);
  ops_.onStateChange = [this] { UpdateBusy(); };
  setWindowTitle(QStringLiteral("Feldaro " FELDARO_VERSION));

  UDPTimer = new QTimer(this);
  UDPTimer->setObjectName(QStringLiteral("UDPTimer"));
  UDPTimer->setInterval(kTickMs);
  connect(UDPTimer, &QTimer::timeout, this, [this] { UDPTimerTimer(); });
  if (startTimer) UDPTimer->start();
}

// The network step running now ends by its own waits; then every session this program
// holds is ended, last record first, by the link's thread, as destroying the set would.
TMainWin::~TMainWin() {
  close_.End();
  ops_.onStateChange = nullptr;
  ops_.Shutdown([this] { devSet_.EndSessions(); });
}

void TMainWin::SetupWidgets() {
  ui->setupUi(this);
  DoorEd = ui->DoorPanel;
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(11);
  setFont(font);
  setFixedSize(847, 590);

  // Fixed-size rows pack from the top of each group.
  ui->SelBoxLayout->addStretch(1);
  ui->SelDevBoxLayout->addStretch(1);
  ui->DoorGrpLayout->addStretch(1);
  // The passage tabs keep one row's place above the editor; further rows lie over the
  // editor's empty top strip, so the editor keeps its place whatever the number of rows.
  const int tabsAt = ui->DoorGrpLayout->indexOf(ui->DoorTc);
  ui->DoorGrpLayout->removeWidget(ui->DoorTc);
  ui->DoorGrpLayout->insertSpacing(tabsAt, kTabRowSlot);
  ui->DoorTc->setMinimumSize(0, 0);
  ui->DoorTc->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  ui->DoorTc->resize(ui->DoorPanel->width(), kTabRowSlot);
  ui->DoorPanel->installEventFilter(this);
  ui->ReplLeft->addStretch(1);
  PinGroups();

  ui->TrainNrLbl->setVisible(false);
  ui->TrainNrEd->setVisible(false);
  ui->DoorTc->setEnabled(false);
  ui->DelLostBtn->setEnabled(false);
  ui->ReplLb->setEnabled(false);
  ui->ReplCb->setEnabled(false);
  ui->ReplaceBtn->setEnabled(false);
  ui->RapCfgBtn->setEnabled(false);
  ui->WrCfgBtn->setEnabled(false);
  ui->WwwBtn->setEnabled(true);
  ui->EthLstBox->setItemDelegate(new FixedRowDelegate(ui->EthLstBox));
  ui->DevListBox->setItemDelegate(new FixedRowDelegate(ui->DevListBox));

  connect(ui->HelpEthBtn, &QPushButton::clicked, this, [this] { HelpEthBtnClick(); });
  connect(ui->HelpDevBtn, &QPushButton::clicked, this, [this] { HelpDevBtnClick(); });
  connect(ui->HelpDoorBtn, &QPushButton::clicked, this, [this] { HelpDoorBtnClick(); });
  connect(ui->SearchEthBtn, &QPushButton::clicked, this, [this] { SearchEthBtnClick(); });
  connect(ui->WwwBtn, &QPushButton::clicked, this, [this] { WwwBtnClick(); });
  connect(ui->DelLostBtn, &QPushButton::clicked, this, [this] { DelLostBtnClick(); });
  connect(ui->ReplaceBtn, &QPushButton::clicked, this, [this] { ReplaceBtnClick(); });
  connect(ui->WrCfgBtn, &QPushButton::clicked, this, [this] { WrCfgBtnClick(); });
  connect(ui->RapCfgBtn, &QPushButton::clicked, this, [this] { RapCfgBtnClick(); });

  // Every line change the user makes (mouse press, drag, keyboard) loads the new line once;
  // a click on the line already selected loads it again. Changes the program makes itself
  // while it rebuilds the list are not the user's.
  connect(ui->EthLstBox, &QListWidget::itemSelectionChanged, this, [this] {
    clickReloads_ = false;
    if (listUpdating_) return;
    QListWidget* box = ui->EthLstBox;
    if (box->selectedItems().isEmpty()) {
      // A line can be deselected (Ctrl and a click); the device every action addresses
      // stays highlighted all the same.
      const int line = LineOf(HighlightedId());
      if (line < 0) return;
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(line, QItemSelectionModel::ClearAndSelect);
      return;
    }
    EthLstBoxClick();
  });
  connect(ui->EthLstBox, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
    if (!clickReloads_) return;
    clickReloads_ = false;
    EthLstBoxClick();
  });
  ui->EthLstBox->viewport()->installEventFilter(this);

  // The passage editor works on Cfg; its testing group follows the selected controller's
  // mode, and "Zapisz" and "Raport" are enabled exactly while it is.
  DoorEd->Attach(Cfg, ui->DoorTc, ui->TrainNrEd, ui->TrainNrLbl);
  DoorEd->modeOf = [this] {
    const SelectedView sel = Selected();
    return sel.index >= 0 ? sel.mode : 0;
  };
  DoorEd->onEnable = [this](bool on) {
    ui->WrCfgBtn->setEnabled(on);
    ui->RapCfgBtn->setEnabled(on);
  };
  SetKeyboardOrder(*ui, *DoorEd->ed);
}

void TMainWin::RebuildDoorTabs() {
  DoorEd->BuildTabs();
  RefreshDevList();  // ends with RefreshDoorEditor
}

void TMainWin::PinGroups() {
  PinGroup(ui->SelBox, ui->SelBoxLayout, 24, 20, 24);
  PinGroup(ui->SelDevBox, ui->SelDevBoxLayout, 8, 24, 8);
  PinGroup(ui->GroupBox6, ui->ReplLayout, 16, 20, 16);
  PinGroup(ui->DoorGrpBox, ui->DoorGrpLayout, 16, 24, 16);
}

void TMainWin::PlaceDoorTabs() {
  const QRect panel = ui->DoorPanel->geometry();
  ui->DoorTc->setGeometry(panel.x(), panel.y() - kTabRowSlot, panel.width(),
                          std::max(kTabRowSlot, ui->DoorTc->HeightFor(panel.width())));
  ui->DoorTc->raise();
}

bool TMainWin::eventFilter(QObject* obj, QEvent* ev) {
  if (obj == ui->DoorPanel && (ev->type() == QEvent::Move || ev->type() == QEvent::Resize))
    PlaceDoorTabs();
  // Only notes whether a press lands on the line already selected; the list itself moves
  // the selection, and a line change on the way cancels the reload.
  // The second press of a double click does not load the line a second time.
  if (obj == ui->EthLstBox->viewport() && ev->type() == QEvent::MouseButtonDblClick)
    clickReloads_ = false;
  if (obj == ui->EthLstBox->viewport() && ev->type() == QEvent::MouseButtonPress) {
    const auto* me = static_cast<QMouseEvent*>(ev);
    const QListWidgetItem* under = ui->EthLstBox->itemAt(me->position().toPoint());
    clickReloads_ =
        under != nullptr && under == ui->EthLstBox->currentItem() && under->isSelected();
  }
  return QWidget::eventFilter(obj, ev);
}

void TMainWin::showEvent(QShowEvent* ev) {
  if (!centred_) {
    centred_ = true;
    PinGroups();
    if (QScreen* scr = screen()) {
      const QRect avail = scr->availableGeometry();
      move(avail.center() - rect().center());
    }
  }
  QWidget::showEvent(ev);
}

void TMainWin::closeEvent(QCloseEvent* ev) {
  // The plan windows' unsaved edits first, in one question.
  if (close_.AsksAboutEdits()) {
    std::vector<std::string> edited;
    for (TPlanWin* pw : PlanWindows())
      if (pw->AnyEdited()) edited.push_back(pw->windowTitle().toStdString());
    if (!edited.empty()) {
      int choice;
      {
        ModalScope modal(*this);
        choice =
            host.Choose(this, windowTitle(), Text(UnsavedPlansQuestion(edited)),
                        {QStringLiteral("Zamknij bez zapisywania"), QStringLiteral("Anuluj")}, 1);
      }
      if (!close_.Answered(choice == 0)) {
        ev->ignore();
        return;
      }
    }
  }
  // Then the plan windows close, then this one.
  for (TPlanWin* pw : PlanWindows()) pw->ForceClose();
  // Ticks and a "Raport" whose turn has not come are dropped; what else runs or waits is
  // finished first (bounded by its waits), and the window closes when the queue is empty.
  ops_.Drop(OpRunner::kTick);
  ops_.Drop(OpRunner::kDialog);
  if (close_.Ask(ops_.Idle(), false)) {
    ev->accept();
    if (onClosed) onClosed();
  } else {
    ev->ignore();
  }
}

void TMainWin::Quit() {
  close_.Ask(ops_.Idle(), true);
  close();
}

void TMainWin::ShowStatus(const QString& text) {
  ui->StatusLbl->setText(text);
  ui->StatusLbl->setAccessibleDescription(text);
}

void TMainWin::UpdateBusy() {
  const bool busy = ops_.ShowBusy();
  if (busy != busyShown_) {
    busyShown_ = busy;
    if (busy)
      setCursor(Qt::BusyCursor);
    else
      unsetCursor();
  }
  if (ops_.Idle() && close_.Drained()) {
    // Not from inside the runner's own bookkeeping: the close comes as an event of its own.
    // A close cancelled meanwhile (a failure shown) does not happen.
    QTimer::singleShot(0, this, [this] {
      if (close_.Drained()) close();
    });
  }
}

UdpDevSet& TMainWin::Devs() {
  return const_cast<UdpDevSet&>(std::as_const(*this).Devs());
}

const UdpDevSet& TMainWin::Devs() const {
#if defined(FELDARO_CHECKS) || !defined(NDEBUG)
  if (stepRunning_) {
    std::fputs("feldaro: the device set was used while a network step ran\n", stderr);
    std::abort();
  }
#endif
  return devSet_;
}

int TMainWin::SelectedIndex() const {
  const UdpDevSet& set = Devs();
  if (selId_ == 0) return -1;
  for (int i = 0; i < set.count && i < int(std::size(set.dev)); ++i)
    if (set.dev[i].id == selId_) return i;
  return -1;
}

UdpDev* TMainWin::SelectedDev() {
  const int i = SelectedIndex();
  return i < 0 ? nullptr : &Devs().dev[i];
}

void TMainWin::ShowError(const QString& text) {
  // A running tick's own code (between its steps) raised it, or the user's action did: a
  // handler runs while an operation waits on a step, so the kind of the operation alone
  // does not tell.
  const bool tick = ops_.Running() && !stepRunning_ && ops_.CurrentKind() == OpRunner::kTick;
  // While the window waits to close, the failure of an action the user asked for is shown
  // and keeps the window open; a tick's is not.
  if (!close_.Failed(!tick)) return;
  // A tick's error raised while a box is open is not kept: the next tick says it again.
  if (tick && modalDepth > 0) return;
  OpenErrorBox(text);
}

void TMainWin::OpenErrorBox(const QString& text) {
  boxesWaiting_.push_back({true, kErrorCaption, text, this});
  ShowWaitingBoxes();
}

void TMainWin::ShowInfo(QWidget* parent, const QString& caption, const QString& text) {
  boxesWaiting_.push_back({false, caption, text, parent});
  ShowWaitingBoxes();
}

void TMainWin::ShowWaitingBoxes() {
  // One box at a time, in the order they came: one raised while a box or another modal
  // window of the tool is open waits until it has closed.
  if (showingBoxes_) return;
  FlagScope showing(showingBoxes_);
  while (modalDepth == 0 && !boxesWaiting_.empty()) {
    const WaitingBox box = boxesWaiting_.front();
    boxesWaiting_.pop_front();
    // Once a signal asked the program to end, no box opens: what was done (a file the user
    // chose is written) goes to the status line and to standard error; errors say nothing.
    if (close_.Quitting()) {
      if (!box.error) {
        ShowStatus(box.text.section(QLatin1Char('\n'), 0, 0));
        std::fprintf(stderr, "feldaro: %s\n", box.text.toLocal8Bit().constData());
      }
      continue;
    }
    QWidget* parent = box.parent ? box.parent.data() : this;
    ModalScope modal(*this);
    if (box.error)
      host.ErrorBox(parent, box.caption, box.text);
    else
      host.InfoBox(parent, box.caption, box.text);
  }
}

QString TMainWin::CaughtText(const std::exception& e) {
  if (const auto* u = dynamic_cast<const UErr*>(&e)) return Text(ErrorText(*u));
  // The socket's failures in the user's language, never the C library's English.
  if (const auto* s = dynamic_cast<const std::system_error*>(&e))
    return Text("Błąd sieci: " + SystemReason(s->code().value()) + ".");
  return QString::fromUtf8(e.what());
}

void TMainWin::ShowCaught(std::exception_ptr err) {
  try {
    std::rethrow_exception(err);
  } catch (const std::exception& e) {
    ShowError(CaughtText(e));
  }
}

void TMainWin::ShowHelp(int page) {
  if (!HelpWin || Quitting()) return;
  ModalScope modal(*this);
  HelpWin->ShowPage(page);
  host.ExecDialog(HelpWin);
}

void TMainWin::HelpEthBtnClick() {
  ShowHelp(0);
}
void TMainWin::HelpDevBtnClick() {
  ShowHelp(1);
}
void TMainWin::HelpDoorBtnClick() {
  ShowHelp(2);
}

void TMainWin::WwwBtnClick() {
  // Sends nothing: the address is the one the window knows, also while the link is busy.
  const SelectedView sel = Selected();
  if (sel.index < 0) return;
  host.OpenUrl(QStringLiteral("http://") + Text(sel.ip));
}

void TMainWin::RefreshDevList() {
  // What the user sees from now on, and what an action asked for now will carry.
  shown_.devId = selId_;
  shown_.cfgGen = cfgGen_;
  const int listed = std::clamp(int(Cfg.listedCount), 0, kMaxDevs);
  QString caption;
  if (listed > 0 && selId_ != 0)
    caption = QStringLiteral(" ") + Text(DevName(selId_)) + QStringLiteral(" ");
  if (ui->SelDevBox->title() != caption) {
    ui->SelDevBox->setTitle(caption);
    PinGroups();
  }

  // One insertion for all lines: the view lays itself out once, not once per device.
  QStringList lines;
  lines.reserve(listed);
  for (int j = 0; j < listed; ++j) {
    const int slot = Cfg.order[j];
    if (slot < 0 || slot >= kMaxDevs) continue;
    lines.append(Text(DevListText(Cfg.devs[slot])));
  }
  ui->DevListBox->clear();
  ui->DevListBox->addItems(lines);
  ui->DelLostBtn->setEnabled(AnyInactive(Cfg));

  ui->ReplCb->clear();
  static std::array<uint16_t, kMaxPairs> pairs;
  const int n = std::clamp(ReplPairs(Cfg, pairs.data()), 0, kMaxPairs);
  for (int k = 0; k < n; ++k)
    ui->ReplCb->addItem(Text(ReplPairText(Cfg, pairs[k])), QVariant(uint(pairs[k])));
  const bool any = n > 0;
  ui->ReplCb->setEnabled(any);
  ui->ReplLb->setEnabled(any);
  ui->ReplaceBtn->setEnabled(any);
  ui->ReplCb->setCurrentIndex(any ? 0 : -1);

  RefreshDoorEditor();
}
