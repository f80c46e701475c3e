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

#include "mainwin.h"
#include "ui_mainwin.h"

namespace {

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

constexpr int kIdRole = Qt::UserRole;

}  // namespace

NetStep TMainWin::Net(std::function<void()> work) {
  return NetStep(
      ops_.Exec(), std::move(work), [this] { MirrorSelected(); }, [this] { MirrorSelected(); },
      [this] { ops_.Resumed(); });
}

void TMainWin::MirrorSelected() {
  const UdpDev* d = SelectedDev();
  if (!d) {
    sel_ = SelectedView{};
    return;
  }
  sel_.index = DevSet.selected;
  sel_.id = d->id;
  sel_.mode = d->Mode();
  sel_.ip = d->IpText();
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
  ops_.Submit(OpRunner::kUser, [this, id] { return Pick(id); });
}

void TMainWin::UDPTimerTimer() {
  // Held back while a box or another modal window of the tool is open, so boxes cannot
  // pile up one inside the other; the next tick after it closes runs normally.
  if (modalDepth > 0 || closing_ || closeWhenIdle_) return;
  ops_.Submit(OpRunner::kTick, [this] { return Tick(); });
}

void TMainWin::DelLostBtnClick() {
  ops_.Submit(OpRunner::kUser, [this] { return DelLost(); });
}

void TMainWin::ReplaceBtnClick() {
  // The pair the user chose now; a tick that refreshes the group meanwhile does not change it.
  const int idx = ui->ReplCb->currentIndex();
  if (idx < 0) return;
  const auto pair = uint16_t(ui->ReplCb->itemData(idx).toUInt());
  ops_.Submit(OpRunner::kUser, [this, pair] { return Replace(pair); });
}

void TMainWin::WrCfgBtnClick() {
  ops_.Submit(OpRunner::kUser, [this] { return Write(); });
}

void TMainWin::RapCfgBtnClick() {
  ops_.Submit(OpRunner::kUser, [this] { return Report(); });
}

// --- Operations -------------------------------------------------------------------------

OpTask TMainWin::StartUp() {
  try {
    co_await Net([this] { DevSet.Search(); });
    co_await RefreshEthList();
  } catch (const UErr& e) {
    ShowError(Text(ErrorText(e)));
  } catch (const std::exception& e) {
    // The endpoint's failure has just been shown; ticks keep quiet about it until one of
    // them runs to its end, so the user sees it once, not again a second later.
    ShowTimerErrors = false;
    ShowError(QString::fromLocal8Bit(e.what()));
  }
}

OpTask TMainWin::Search() {
  try {
    co_await Net([this] { DevSet.Search(); });
    co_await RefreshEthList();
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::RefreshEthList() {
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
    co_return;
  }
  {
    FlagScope quiet(listUpdating_);
    for (int i = 0; i < n; ++i) {
      auto* item = new QListWidgetItem(Text(DevSet.dev[i].ListText()));
      item->setData(kIdRole, uint(DevSet.dev[i].id));
      box->addItem(item);
    }
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
  // The list may have been rebuilt since the click (a device found meanwhile moves lines);
  // the device picked is selected again before it is loaded.
  QListWidget* box = ui->EthLstBox;
  for (int r = 0; r < box->count(); ++r) {
    if (box->item(r)->data(kIdRole).toUInt() != id) continue;
    if (!box->item(r)->isSelected()) {
      FlagScope quiet(listUpdating_);
      box->setCurrentRow(r, QItemSelectionModel::ClearAndSelect);
    }
    break;
  }
  co_await SelectDevice();
}

OpTask TMainWin::ReadConfigOf(UdpDev* d) {
  // Read into the copy; `Cfg` takes it only when both answers arrived, as the link promises.
  netCfg_ = Cfg;
  co_await Net([this, d] { d->ReadConfig(netCfg_); });
  Cfg = netCfg_;
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
  if (line < DevSet.count) DevSet.selected = line;
  MirrorSelected();

  try {
    UdpDev* d = SelectedDev();
    // Emptied before anything can fail: whatever happens below, the model never keeps the
    // configuration of the device selected before, so it cannot be written to this one.
    ClearCfg(Cfg);
    if (d) {
      bool answered = false;
      co_await Net([d, &answered] { answered = d->ReadStatus(); });
      if (!answered) throw UErr(d, 1);
      box->item(line)->setText(Text(d->ListText()));
      if (IsController(d->id)) {
        if (d->Mode() < 2) throw UErr(d, 9);
        co_await ReadConfigOf(d);
      }
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
  RebuildDoorTabs();
}

OpTask TMainWin::Tick() {
  if (modalDepth > 0 || closing_) co_return;
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    if (DevSet.count == 0 || !d) co_return;
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
      for (int i = k; i < DevSet.count; i += 5) DevSet.dev[i].KeepSession();
    });
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

OpTask TMainWin::CollectAndRefresh() {
  bool added = false;
  co_await Net([this, &added] { added = DevSet.Collect(0); });
  if (added) co_await RefreshEthList();
}

OpTask TMainWin::DelLost() {
  try {
    co_await CollectAndRefresh();
    // A whole tick first, with its own guard: its errors do not end this handler.
    co_await Tick();
    UdpDev* d = SelectedDev();
    if (d) {
      co_await Net([d] { d->DeleteLost(); });
      co_await ReadConfigOf(d);
      RefreshDevList();
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Replace(uint16_t pair) {
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    // A pair the group no longer offers (the list changed meanwhile) is not sent.
    if (d && ui->ReplCb->findData(QVariant(uint(pair))) >= 0) {
      co_await Net([d, pair] { d->ReplaceDev(pair); });
      co_await ReadConfigOf(d);
      RefreshDevList();
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Write() {
  try {
    co_await CollectAndRefresh();
    UdpDev* d = SelectedDev();
    if (d) {
      // What is written is the model as it is now; edits made while it goes out stay unsaved.
      netCfg_ = Cfg;
      co_await Net([this, d] { d->WriteConfig(netCfg_); });
    }
  } catch (...) {
    ShowCaught(std::current_exception());
  }
}

OpTask TMainWin::Report() {
  ReportFlow();
  co_return;
}
