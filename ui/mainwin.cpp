// Main window: start-up, the Ethernet list, controller selection, the one-second tick,
// bus device maintenance and writing the configuration.
#include "mainwin.h"

#include <QApplication>
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

#include "doortabs.h"
#include "helpwin.h"
#include "keyorder.h"
#include "lokdlg.h"
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

// Hourglass while a search blocks the thread; restored however the search ends.
struct BusyCursor {
  BusyCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
  ~BusyCursor() { QApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// A box opened from inside a busy section shows the normal arrow.
struct ArrowWhileOpen {
  bool active = QApplication::overrideCursor() != nullptr;
  ArrowWhileOpen() {
    if (active) QApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
  }
  ~ArrowWhileOpen() {
    if (active) QApplication::restoreOverrideCursor();
  }
  ArrowWhileOpen(const ArrowWhileOpen&) = delete;
  ArrowWhileOpen& operator=(const ArrowWhileOpen&) = delete;
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

TMainWin::TMainWin(UiHost& h, Endpoint& udp, Clock& c, bool startTimer, QWidget* parent)
    : QWidget(parent),
      UDP(udp),
      ui(std::make_unique<Ui::TMainWin>()),
      ed(std::make_unique<Ui::TDoorEditor>()),
      host(h),
      clock(c) {
  // Every device record starts all zero; nothing is found and nothing selected yet.
  DevSet.count = 0;
  DevSet.selected = -1;
  ClearCfg(Cfg);
  SetupWidgets();
  Refreshing = false;
  ShowTimerErrors = true;
  LinkSetEndpoint(&UDP);
  LinkSetClock(&clock);
  setWindowTitle(QStringLiteral("Feldaro 1.2.1"));

  UDPTimer = new QTimer(this);
  UDPTimer->setObjectName(QStringLiteral("UDPTimer"));
  UDPTimer->setInterval(kTickMs);
  connect(UDPTimer, &QTimer::timeout, this, [this] { UDPTimerTimer(); });
  if (startTimer) UDPTimer->start();
}

// The device set is destroyed after this body, last record first; each record ends the
// session this program holds with its controller and keeps any failure to itself.
TMainWin::~TMainWin() = default;

void TMainWin::SetupWidgets() {
  ui->setupUi(this);
  ed->setupUi(ui->DoorPanel);
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
  ui->TrainNrEd->setMaxLength(kTrainNrChars);
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

  // The passage editor's input rows, by their slot number.
  InRows[0] = {ed->OutBtnLb, ed->OutBtnCb, ed->OutBtnNC};
  InRows[1] = {ed->OpenDetectLb, ed->OpenDetectCb, ed->OpenDetectNC};
  InRows[2] = {ed->Alarm0Lb, ed->Alarm0Cb, ed->Alarm0NC};
  InRows[3] = {ed->Alarm1Lb, ed->Alarm1Cb, ed->Alarm1NC};

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
      if (!SelectedDev() || DevSet.selected >= box->count()) return;
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(DevSet.selected, QItemSelectionModel::ClearAndSelect);
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

  ConnectDoorEditor();
  SetKeyboardOrder(*ui, *ed);
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
  // The event loop ends with this window; no tick may start another exchange meanwhile.
  closing_ = true;
  ev->accept();
}

void TMainWin::FormCreate() {
  try {
    DevSet.Search();
    RefreshEthList();
  } catch (const UErr& e) {
    ShowError(Text(ErrorText(e)));
  } catch (const std::exception& e) {
    // The endpoint's failure has just been shown; ticks keep quiet about it until one of
    // them runs to its end, so the user sees it once, not again a second later.
    ShowTimerErrors = false;
    ShowError(QString::fromLocal8Bit(e.what()));
  }
}

UdpDev* TMainWin::SelectedDev() {
  if (DevSet.selected < 0 || DevSet.selected >= DevSet.count) return nullptr;
  return &DevSet.dev[DevSet.selected];
}

void TMainWin::ShowError(const QString& text) {
  // One box at a time: an error raised while a box is open is not stacked on top of it.
  if (errorBoxOpen_) return;
  ModalScope modal(*this);
  FlagScope open(errorBoxOpen_);
  ArrowWhileOpen arrow;
  host.ErrorBox(this, QStringLiteral("Error"), text);
}

void TMainWin::ShowHelp(int page) {
  if (!HelpWin) return;
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

void TMainWin::RefreshEthList() {
  const int n = DevSet.count;
  const int s = DevSet.selected;
  QListWidget* box = ui->EthLstBox;
  {
    FlagScope quiet(listUpdating_);
    box->clear();
  }
  ui->WwwBtn->setEnabled(n > 0);
  if (n == 0) {
    RefreshDoorEditor();
    return;
  }
  {
    FlagScope quiet(listUpdating_);
    for (int i = 0; i < n; ++i) box->addItem(Text(DevSet.dev[i].ListText()));
  }
  if (s >= 0 && s < n) {
    {
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(s);
    }
    const UdpDev& d = DevSet.dev[s];
    const bool blocked = d.Mode() < 2;
    const bool foreignSession = (d.status & 0x80) != 0 && !d.session;
    const bool loaded = Cfg.doorCount > 0;
    if (blocked || foreignSession || loaded) {
      RefreshDoorEditor();
      return;
    }
    SelectDevice();
    return;
  }
  {
    FlagScope quiet(listUpdating_);
    box->setCurrentRow(0);
  }
  SelectDevice();
}

void TMainWin::SearchEthBtnClick() {
  Guard([&] {
    {
      BusyCursor busy;
      DevSet.Search();
    }
    RefreshEthList();
  });
}

void TMainWin::WwwBtnClick() {
  Guard([&] {
    const UdpDev* d = SelectedDev();
    if (!d) return;
    host.OpenUrl(QStringLiteral("http://") + Text(d->IpText()));
  });
}

void TMainWin::EthLstBoxClick() {
  SelectDevice();
}

void TMainWin::SelectDevice() {
  QListWidget* box = ui->EthLstBox;
  int line = -1;
  for (int r = 0; r < box->count(); ++r) {
    if (box->item(r)->isSelected()) {
      line = r;
      break;
    }
  }
  if (line < 0) return;
  if (line < DevSet.count) DevSet.selected = line;

  Guard([&] {
    UdpDev* d = SelectedDev();
    // Emptied before anything can fail: whatever happens below, the model never keeps the
    // configuration of the device selected before, so it cannot be written to this one.
    ClearCfg(Cfg);
    if (!d) return;
    if (!d->ReadStatus()) throw UErr(d, 1);
    box->item(line)->setText(Text(d->ListText()));
    if (IsController(d->id)) {
      if (d->Mode() < 2) throw UErr(d, 9);
      try {
        d->ReadConfig(Cfg);
      } catch (...) {
        ClearCfg(Cfg);
        throw;
      }
    }
  });
  RebuildDoorTabs();
}

void TMainWin::UDPTimerTimer() {
  // Held back while a box or another modal window of the tool is open, so boxes cannot
  // pile up one inside the other; the next tick after it closes runs normally.
  if (modalDepth > 0 || closing_) return;
  try {
    if (DevSet.Collect(0)) RefreshEthList();
    UdpDev* d = SelectedDev();
    if (DevSet.count == 0 || !d) return;
    const bool answered = d->ReadStatus();
    if (d->changed) RefreshEthList();
    if (answered && IsController(d->id) && d->PollDevList(Cfg)) {
      if (Cfg.doorCount > 0) {
        RefreshDevList();
      } else {
        try {
          d->ReadConfig(Cfg);
        } catch (...) {
          // The poll already renewed the device table; the group must still show it.
          RebuildDoorTabs();
          throw;
        }
        RebuildDoorTabs();
      }
    }
    const int k = KeepAliveStart;
    KeepAliveStart = (k + 1) % 5;
    for (int i = k; i < DevSet.count; i += 5) DevSet.dev[i].KeepSession();
    ShowTimerErrors = true;
  } catch (const UErr& e) {
    ShowError(Text(ErrorText(e)));
  } catch (const std::exception& e) {
    if (ShowTimerErrors) {
      ShowTimerErrors = false;
      ShowError(QString::fromLocal8Bit(e.what()));
    }
  }
}

void TMainWin::RefreshDevList() {
  const UdpDev* d = SelectedDev();
  const int listed = std::clamp(int(Cfg.listedCount), 0, kMaxDevs);
  QString caption;
  if (listed > 0 && d) caption = QStringLiteral(" ") + Text(DevName(d->id)) + QStringLiteral(" ");
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

void TMainWin::DelLostBtnClick() {
  Guard([&] {
    if (DevSet.Collect(0)) RefreshEthList();
    // A whole tick first, with its own guard: its errors do not end this handler.
    UDPTimerTimer();
    UdpDev* d = SelectedDev();
    if (!d) return;
    d->DeleteLost();
    d->ReadConfig(Cfg);
    RefreshDevList();
  });
}

void TMainWin::ReplaceBtnClick() {
  Guard([&] {
    if (DevSet.Collect(0)) RefreshEthList();
    const int idx = ui->ReplCb->currentIndex();
    UdpDev* d = SelectedDev();
    if (!d || idx < 0) return;
    const auto pair = uint16_t(ui->ReplCb->itemData(idx).toUInt());
    d->ReplaceDev(pair);
    d->ReadConfig(Cfg);
    RefreshDevList();
  });
}

void TMainWin::WrCfgBtnClick() {
  Guard([&] {
    if (DevSet.Collect(0)) RefreshEthList();
    UdpDev* d = SelectedDev();
    if (!d) return;
    d->WriteConfig(Cfg);
  });
}
