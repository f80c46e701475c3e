// The window's operations: start-up search, "Przeszukaj sieć", selecting a device, the
// one-second tick, bus device maintenance and writing the configuration.
//
// Every operation is a coroutine run by the window's OpRunner, one at a time and in the
// order asked for. Its network steps (`co_await Net(...)`) run on the link's executor: on
// the worker thread in the program, so the window's thread never waits on the network, or
// inline in tests. Between network steps the operation runs on the window's thread and may
// read and change the device set, since no step is running then. The model `Cfg` belongs to
// the window's thread: a step works on the copy `netCfg_`, and what it read is taken into
// `Cfg` when the operation goes on.
#include <QListWidget>
#include <QTimer>

#include "config/devname.h"
#include "mainwin.h"
#include "plansteps.h"
#include "ui_mainwin.h"

namespace {

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

// Each line of the Ethernet list carries its device as the line shows it.
constexpr int kIdRole = Qt::UserRole;
constexpr int kModeRole = Qt::UserRole + 1;
constexpr int kIpRole = Qt::UserRole + 2;

void FillLine(QListWidgetItem* item, const UdpDev& d) {
  item->setText(Text(d.ListText()));
  // A line wider than the list (a second address) is read in full under the pointer.
  item->setToolTip(Text(d.ListText()));
  item->setData(kIdRole, uint(d.id));
  item->setData(kModeRole, d.Mode());
  item->setData(kIpRole, Text(d.IpText()));
}

}  // namespace

NetStep TMainWin::Net(std::function<void()> work) {
  // While the step is out, the device set belongs to the link's thread.
  return NetStep(
      ops_.Exec(), std::move(work), [this] { stepRunning_ = true; },
      [this] { stepRunning_ = false; }, [this] { ops_.Resumed(); });
}

SelectedView TMainWin::Selected() const {
  SelectedView v;
  v.index = LineOf(selId_);
  if (v.index < 0) return v;
  const QListWidgetItem* item = ui->EthLstBox->item(v.index);
  v.id = selId_;
  v.mode = item->data(kModeRole).toInt();
  v.ip = item->data(kIpRole).toString().toStdString();
  return v;
}

// --- Entry points: each asks for one operation ------------------------------------------

void TMainWin::FormCreate() {
  ops_.Submit(OpRunner::kUser, [this] { return StartUp(); });
}

void TMainWin::SearchEthBtnClick() {
  ops_.Submit(OpRunner::kUser, [this] { return Search(); });
}

void TMainWin::EthLstBoxClick() {
  // The device on the line picked now, whatever the list looks like when its turn comes.
  const QList<QListWidgetItem*> picked = ui->EthLstBox->selectedItems();
  if (picked.isEmpty()) return;
  const uint32_t id = picked.front()->data(kIdRole).toUInt();
  ShowStatus({});
  // Until its turn comes, rebuilds of the list keep this line highlighted, so the next
  // key press or click moves on from where the user is.
  lastPick_ = id;
  ++picksWaiting_;
  ops_.Submit(OpRunner::kUser, [this, id] { return Pick(id); });
}

void TMainWin::UDPTimerTimer() {
  // Held back while a box or another modal window of the tool is open, so boxes cannot
  // pile up one inside the other; the next tick after it closes runs normally.
  if (modalDepth > 0 || !close_.TicksAllowed()) return;
  ops_.Submit(OpRunner::kTick, [this] { return Tick(); });
}

void TMainWin::DelLostBtnClick() {
  SubmitAction(UserAction::DelLost, 0, &TMainWin::DelLost);
}

void TMainWin::ReplaceBtnClick() {
  // The pair the user chose now; a tick that refreshes the group meanwhile does not change it.
  const int idx = ui->ReplCb->currentIndex();
  if (idx < 0) return;
  SubmitAction(UserAction::Replace, uint16_t(ui->ReplCb->itemData(idx).toUInt()),
               &TMainWin::Replace);
}

void TMainWin::WrCfgBtnClick() {
  SubmitAction(UserAction::Write, 0, &TMainWin::Write);
}

void TMainWin::RapCfgBtnClick() {
  SubmitAction(UserAction::Report, 0, &TMainWin::Report);
}

// --- What an action carries ------------------------------------------------------------

void TMainWin::SubmitAction(UserAction action, uint16_t pair, OpTask (TMainWin::*op)(Intent)) {
  // What the screen shows: the model may already be on its way to another device.
  Intent in = shown_;
  in.action = action;
  in.pair = pair;
  ShowStatus({});
  const auto kind = action == UserAction::Report ? OpRunner::kDialog : OpRunner::kUser;
  ops_.Submit(kind, [this, in, op] { return Checked(in, op); });
}

OpTask TMainWin::Checked(Intent in, OpTask (TMainWin::*op)(Intent)) {
  if (!Still(in)) co_return;
  co_await (this->*op)(in);
}

bool TMainWin::Still(const Intent& in) {
  IntentNow now;
  now.devId = selId_;
  now.cfgGen = cfgGen_;
  now.pairOffered = ui->ReplCb->findData(QVariant(uint(in.pair))) >= 0;
  now.closing = close_.Now() != CloseFlow::kOpen;
  now.quitting = close_.Quitting();
  if (const UdpDev* d = SelectedDev()) now.twoAddresses = TwoAddressText(*d);
  const Verdict v = Judge(in, now);
  if (v == Verdict::Run) return true;
  const std::string why = RefusalText(in.action, v, now.twoAddresses);
  if (why.empty()) return false;
  ShowStatus(Text(why));
  if (v == Verdict::TwoAddresses) {
    // Not a change of the window's but of the network's, which the user must look into.
    ShowError(Text(why));
    return false;
  }
  // With a close waiting, the status line would go with the window: a box says it.
  if (close_.Refused()) OpenErrorBox(Text(why));
  return false;
}

int TMainWin::LineOf(uint32_t id) const {
  const QListWidget* box = ui->EthLstBox;
  for (int r = 0; r < box->count(); ++r)
    if (box->item(r)->data(kIdRole).toUInt() == id) return r;
  return -1;
}

uint32_t TMainWin::HighlightedId() const {
  if (picksWaiting_ > 0) return lastPick_;
  return selId_;
}

// --- Operations -------------------------------------------------------------------------

void TMainWin::SearchAndWaitLate() {
  // A slow controller's answer must be compared with the others before anything is signed:
  // the first load after a search comes only once late answers have been waited out.
  devSet_.Search(kLateAnswerMs);
}

OpTask TMainWin::StartUp() {
  try {
    co_await Net([this] { SearchAndWaitLate(); });
    co_await RefreshEthList();
    TellNoAnswer();
  } catch (const UErr& e) {
    ShowError(Text(ErrorText(e)));
  } catch (const std::exception& e) {
    // The endpoint's failure has just been shown; ticks keep quiet about it until one of
    // them runs to its end, so the user sees it once, not again a second later.
    ShowTimerErrors = false;
    ShowError(CaughtText(e));
  }
}

OpTask TMainWin::Search() {
  try {
    co_await Net([this] { SearchAndWaitLate(); });
    co_await RefreshEthList();
    TellNoAnswer();
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

void TMainWin::TellNoAnswer() {
  // Nobody answered the search: where the platform knows a likely reason, the status line
  // says it.
  if (Devs().count == 0 && *NoAnswerHint()) ShowStatus(QString::fromUtf8(NoAnswerHint()));
}

OpTask TMainWin::RefreshEthList() {
  const int n = Devs().count;
  const int s = SelectedIndex();
  QListWidget* box = ui->EthLstBox;
  {
    FlagScope quiet(listUpdating_);
    box->clear();
  }
  ui->WwwBtn->setEnabled(n > 0);
  if (n == 0) {
    RefreshDoorEditor();
    co_return;
  }
  {
    FlagScope quiet(listUpdating_);
    for (int i = 0; i < n; ++i) {
      auto* item = new QListWidgetItem;
      FillLine(item, Devs().dev[i]);
      box->addItem(item);
    }
  }
  // One identifier answering from two addresses, and the set's own reports: said in the
  // status line too.
  if (const std::string text = WithSetReports(Devs().TwoAddressStatus()); !text.empty())
    ShowStatus(Text(text));
  if (picksWaiting_ > 0) {
    // The user's last pick stays highlighted; its own turn loads it.
    const int line = LineOf(lastPick_);
    if (line >= 0) {
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(line);
      RefreshDoorEditor();
      co_return;
    }
  }
  if (s >= 0 && s < n) {
    {
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(s);
    }
    const UdpDev& d = Devs().dev[s];
    const bool blocked = d.Mode() < 2;
    const bool foreignSession = (d.status & 0x80) != 0 && !d.session;
    const bool loaded = Cfg.doorCount > 0;
    if (blocked || foreignSession || loaded) {
      RefreshDoorEditor();
      co_return;
    }
    co_await SelectDevice();
    co_return;
  }
  {
    FlagScope quiet(listUpdating_);
    box->setCurrentRow(0);
  }
  co_await SelectDevice();
}

OpTask TMainWin::Pick(uint32_t id) {
  // A line the user has already moved on from is not loaded: only the last pick is.
  if (--picksWaiting_ > 0) co_return;
  // The list may have been rebuilt since the click (a device found meanwhile moves lines);
  // the device picked is selected again before it is loaded.
  QListWidget* box = ui->EthLstBox;
  const int r = LineOf(id);
  if (r >= 0 && !box->item(r)->isSelected()) {
    FlagScope quiet(listUpdating_);
    box->setCurrentRow(r, QItemSelectionModel::ClearAndSelect);
  }
  co_await SelectDevice();
}

bool TMainWin::UnsavedEditsFor(uint32_t id) const {
  return id != 0 && id == selId_ && shown_.devId == id && !SamePassages(Cfg, stored_);
}

void TMainWin::PassagesWrittenElsewhere(uint32_t id) {
  if (id != 0 && id == selId_) ops_.Submit(OpRunner::kUser, [this, id] { return Reload(id); });
}

OpTask TMainWin::Reload(uint32_t id) {
  UdpDev* d = SelectedDev();
  if (Closing() || !d || d->id != id) co_return;
  try {
    co_await ReadConfigOf(d);
    ShowStatus(Text("Wczytano ponownie " + DevName(id) + " po zapisie z planu obiektu."));
  } catch (...) {
    ShowCaught(std::current_exception());
  }
  RebuildDoorTabs();
}

OpTask TMainWin::ReadConfigOf(UdpDev* d) {
  // Read into the copy; `Cfg` takes it only when both answers arrived, as the link promises.
  netCfg_ = Cfg;
  co_await Net([this, d] { d->ReadConfig(netCfg_); });
  Cfg = netCfg_;
  stored_ = netCfg_;
  ++cfgGen_;
}

OpTask TMainWin::SelectDevice() {
  QListWidget* box = ui->EthLstBox;
  int line = -1;
  for (int r = 0; r < box->count(); ++r) {
    if (box->item(r)->isSelected()) {
      line = r;
      break;
    }
  }
  if (line < 0) co_return;
  if (line < Devs().count) SetSelected(Devs().dev[line].id);

  try {
    UdpDev* d = SelectedDev();
    // Emptied before anything can fail: whatever happens below, the model never keeps the
    // configuration of the device selected before, so it cannot be written to this one.
    ClearCfg(Cfg);
    ClearCfg(stored_);
    ++cfgGen_;
    if (d) {
      bool answered = false;
      co_await Net([d, &answered] { answered = d->ReadStatus(); });
      if (!answered) throw UErr(d, 1);
      FillLine(box->item(line), *d);
      if (IsController(d->id)) {
        if (d->Mode() < 2) throw UErr(d, 9);
        co_await ReadConfigOf(d);
      }
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
  RebuildDoorTabs();
  // A device reported with two addresses says so whenever it is picked, not only when the
  // search found it.
  if (const UdpDev* d = SelectedDev()) {
    const QString two = Text(TwoAddressText(*d));
    if (!two.isEmpty() && !ui->StatusLbl->text().contains(two)) ShowStatus(two);
  }
}

OpTask TMainWin::Tick() {
  if (modalDepth > 0 || close_.Now() == CloseFlow::kClosed) co_return;
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    if (Devs().count == 0 || !d) co_return;
    bool answered = false;
    co_await Net([d, &answered] { answered = d->ReadStatus(); });
    if (d->changed) co_await RefreshEthList();
    if (answered && IsController(d->id)) {
      // The poll compares with a copy; edits made meanwhile stay, only the device table and
      // the marks of the inputs and outputs in use are renewed.
      bool renewed = false;
      netCfg_ = Cfg;
      co_await Net([this, d, &renewed] { renewed = d->PollDevList(netCfg_); });
      if (renewed) {
        AdoptDevTable(Cfg, netCfg_);
        if (Cfg.doorCount > 0) {
          RefreshDevList();
        } else {
          try {
            co_await ReadConfigOf(d);
          } catch (...) {
            // The poll already renewed the device table; the group must still show it.
            RebuildDoorTabs();
            throw;
          }
          RebuildDoorTabs();
        }
      }
    }
    const int k = KeepAliveStart;
    KeepAliveStart = (k + 1) % 5;
    co_await Net([this, k] {
      for (int i = k; i < devSet_.count; i += 5) devSet_.dev[i].KeepSession();
    });
    ShowTimerErrors = true;
  } catch (const UErr& e) {
    ShowError(Text(ErrorText(e)));
  } catch (const std::exception& e) {
    if (ShowTimerErrors) {
      ShowTimerErrors = false;
      ShowError(CaughtText(e));
    }
  }
}

OpTask TMainWin::CollectAndRefresh() {
  bool added = false;
  co_await Net([this, &added] { added = devSet_.Collect(0); });
  if (added) {
    co_await RefreshEthList();
  } else if (const std::string text = WithSetReports({}); !text.empty()) {
    // A report without a change of the list: a full set, say.
    ShowStatus(Text(text));
  }
}

std::string TMainWin::WithSetReports(std::string text) {
  // Each report of the set is shown once; the two-address report stands while it holds.
  for (const std::string& n : Devs().TakeNotices()) {
    if (!text.empty()) text += "; ";
    text += n;
  }
  return text;
}

OpTask TMainWin::DelLost(Intent in) {
  try {
    co_await CollectAndRefresh();
    // A whole tick first, with its own guard: its errors do not end this handler.
    co_await Tick();
    UdpDev* d = SelectedDev();
    if (d && Still(in)) {
      co_await Net([d] { d->DeleteLost(); });
      co_await ReadConfigOf(d);
      RefreshDevList();
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Replace(Intent in) {
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    // A pair the group no longer offers (the list changed meanwhile) is not sent.
    const uint16_t pair = in.pair;
    if (d && Still(in)) {
      co_await Net([d, pair] { d->ReplaceDev(pair); });
      co_await ReadConfigOf(d);
      RefreshDevList();
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Write(Intent in) {
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    if (d && Still(in)) {
      // What is written is the model as it is now; edits made while it goes out stay unsaved.
      netCfg_ = Cfg;
      co_await Net([this, d] { d->WriteConfig(netCfg_); });
      stored_ = netCfg_;
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Report(Intent) {
  ReportFlow();
  co_return;
}
