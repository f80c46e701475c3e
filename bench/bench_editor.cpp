// Cost of one passage editor refresh at the largest configuration the controller can
// report, against filling the same drop-downs item by item.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sim/memnet.h"
#include "ui/editor_model.h"
#include "ui/mainwin.h"

namespace {

class NullHost : public UiHost {
 public:
  void ErrorBox(QWidget*, const QString&, const QString&) override {}
  int ExecDialog(QDialog*) override { return 0; }
  QString SaveFileName(QWidget*, const QString&, const QString&, const QString&) override {
    return {};
  }
  void OpenUrl(const QString&) override {}
};

// 128 listed bus devices with 15 outputs, 15 inputs and 3 readers each, nothing assigned,
// 16 passages.
void FillLargest(CtrlCfg& cfg) {
  ClearCfg(cfg);
  cfg.devCount = cfg.listedCount = kMaxDevs;
  for (int s = 0; s < kMaxDevs; ++s) {
    BusDev& d = cfg.devs[s];
    d = BusDev{};
    d.id = s == 0 ? MakeId(327, 1) : MakeId(1, uint32_t(s));
    d.outputCount = 15;
    d.inputCount = 15;
    d.readerCount = 3;
    d.ocOutputs = s % 2;
    cfg.order[s] = s;
  }
  cfg.doorCount = kMaxDoors;
  for (DoorCfg& d : cfg.doors) {
    for (IoRef& r : d.outputs) r = kNoRef;
    for (IoRef& r : d.inputs) r = kNoRef;
    for (IoRef& r : d.readers) r = kNoRef;
    std::memset(d.params, 0, sizeof d.params);
  }
}

struct Env {
  VirtualClock clock;
  MemNet net{clock};
  NullHost host;
  std::unique_ptr<TMainWin> win;
  Env() {
    win = std::make_unique<TMainWin>(host, net, clock, false);
    FillLargest(win->Cfg);
    win->RebuildDoorTabs();
  }
};

Env& World() {
  static Env* env = new Env;  // lives to the end of the process with the application
  return *env;
}

void BM_RefreshDoorEditor(benchmark::State& state) {
  Env& env = World();
  env.win->hide();
  for (auto _ : state) env.win->RefreshDoorEditor();
  state.counters["bolt_items"] = env.win->DoorEd->InRows[0].cb->count();
}
BENCHMARK(BM_RefreshDoorEditor)->Unit(benchmark::kMicrosecond);

void BM_RefreshDoorEditorShown(benchmark::State& state) {
  Env& env = World();
  env.win->show();
  QApplication::processEvents();
  for (auto _ : state) env.win->RefreshDoorEditor();
  QApplication::processEvents();
  env.win->hide();
}
BENCHMARK(BM_RefreshDoorEditorShown)->Unit(benchmark::kMicrosecond);

// A user's pick of a bolt and its release: two assignments, each followed by a refresh.
void BM_PickAndClearBolt(benchmark::State& state) {
  Env& env = World();
  for (auto _ : state) {
    SetOutput(env.win->Cfg, 0, 0, IoRef(0x0503), 0);
    env.win->RefreshDoorEditor();
    SetOutput(env.win->Cfg, 0, 0, kNoRef, 0);
    env.win->RefreshDoorEditor();
  }
}
BENCHMARK(BM_PickAndClearBolt)->Unit(benchmark::kMicrosecond);

// Opening the bolt's list: the view asks for the texts of the 1921 candidates here.
void BM_OpenBoltPopup(benchmark::State& state) {
  Env& env = World();
  env.win->show();
  QApplication::processEvents();
  QComboBox* bolt = env.win->findChild<QComboBox*>("RygielCb");
  for (auto _ : state) {
    env.win->RefreshDoorEditor();  // a fresh model, as after every change
    bolt->showPopup();
    QApplication::processEvents();
    bolt->hidePopup();
  }
  env.win->hide();
}
BENCHMARK(BM_OpenBoltPopup)->Unit(benchmark::kMicrosecond);

// The candidate lists alone, without any widget.
void BM_CandidateLists(benchmark::State& state) {
  Env& env = World();
  const CtrlCfg& cfg = env.win->Cfg;
  FreeList free;
  std::vector<IoRef> items;
  for (auto _ : state) {
    size_t total = 0;
    TakeFree(cfg, kOutputs, free);
    for (int slot = 0; slot < 2; ++slot, total += items.size())
      PlainListItems(cfg.doors[0].outputs[slot], free, items);
    for (int slot = 2; slot < 4; ++slot, total += items.size())
      SharedListItems(cfg, 0, slot, free, items);
    TakeFree(cfg, kInputs, free);
    OpenSensorItems(cfg.doors[0].inputs[1], cfg.doors[0].outputs[0], free, items);
    total += items.size();
    for (int slot : {0, 2, 3}) {
      PlainListItems(cfg.doors[0].inputs[slot], free, items);
      total += items.size();
    }
    TakeFree(cfg, kReaders, free);
    for (int slot = 0; slot < 4; ++slot, total += items.size())
      PlainListItems(cfg.doors[0].readers[slot], free, items);
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_CandidateLists)->Unit(benchmark::kMicrosecond);

// Reference: the same twelve lists filled with QComboBox::addItem, text and value per item.
void BM_AddItemFillReference(benchmark::State& state) {
  Env& env = World();
  const CtrlCfg& cfg = env.win->Cfg;
  std::vector<std::unique_ptr<QComboBox>> boxes;
  for (int i = 0; i < 12; ++i) boxes.push_back(std::make_unique<QComboBox>());
  FreeList free;
  std::vector<IoRef> items;
  auto fill = [&](QComboBox& box, const char* kind) {
    box.clear();
    for (IoRef r : items)
      box.addItem(QString::fromStdString(RefItemText(cfg, r, kind)),
                  QVariant::fromValue<quint16>(r));
    box.setCurrentIndex(0);
  };
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    int b = 0;
    TakeFree(cfg, kOutputs, free);
    for (int slot = 0; slot < 2; ++slot, total += items.size()) {
      PlainListItems(cfg.doors[0].outputs[slot], free, items);
      fill(*boxes[size_t(b++)], "Out");
    }
    for (int slot = 2; slot < 4; ++slot, total += items.size()) {
      SharedListItems(cfg, 0, slot, free, items);
      fill(*boxes[size_t(b++)], "Out");
    }
    TakeFree(cfg, kInputs, free);
    OpenSensorItems(cfg.doors[0].inputs[1], cfg.doors[0].outputs[0], free, items);
    fill(*boxes[size_t(b++)], "In");
    total += items.size();
    for (int slot : {0, 2, 3}) {
      PlainListItems(cfg.doors[0].inputs[slot], free, items);
      fill(*boxes[size_t(b++)], "In");
      total += items.size();
    }
    TakeFree(cfg, kReaders, free);
    for (int slot = 0; slot < 4; ++slot, total += items.size()) {
      PlainListItems(cfg.doors[0].readers[slot], free, items);
      fill(*boxes[size_t(b++)], "Rd");
    }
  }
  state.counters["items"] = double(total);
}
BENCHMARK(BM_AddItemFillReference)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
