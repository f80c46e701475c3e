// The configuration report of a fully equipped controller (16 passages, 128 bus devices),
// next to writing the same bytes line by line into a stream: the formatting's own cost.
#include <benchmark/benchmark.h>

#include <QDate>
#include <sstream>
#include <string>
#include <vector>

#include "bench/scenario.h"
#include "report.h"

namespace {

struct Model {
  CtrlCfg cfg;
  std::string name, location, text;
  std::vector<std::string> lines;
  bool ok = false;
  Model() {
    SimDevice ctrl(MakeId(327, 123), scenario::Ip(10, 1, 0, 2), 3);
    scenario::FillBigController(ctrl);
    ok =
        scenario::LoadModel(ctrl, cfg) && cfg.doorCount == kMaxDoors && cfg.listedCount == kMaxDevs;
    name = DevName(ctrl.id);
    location = ToCp1250("Budynek B, piętro 2, serwerownia");
    std::ostringstream os;
    WriteReportTo(os, name, cfg, location, QDate(2024, 6, 11));
    text = os.str();
    for (size_t pos = 0; pos < text.size();) {
      size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
  }
};

const Model& TheModel() {
  static const Model m;
  return m;
}

void BM_Report(benchmark::State& state) {
  const Model& m = TheModel();
  if (!m.ok) {
    state.SkipWithError("the controller model did not load");
    return;
  }
  const QDate date(2024, 6, 11);
  size_t bytes = 0;
  for (auto _ : state) {
    std::ostringstream os;
    WriteReportTo(os, m.name, m.cfg, m.location, date);
    bytes = os.str().size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = double(bytes);
  state.counters["lines"] = double(m.lines.size());
}
BENCHMARK(BM_Report);

// The floor: the finished lines written into the same kind of stream.
void BM_ReportPlainWrite(benchmark::State& state) {
  const Model& m = TheModel();
  for (auto _ : state) {
    std::ostringstream os;
    for (const std::string& line : m.lines) os << line << "\r\n";
    benchmark::DoNotOptimize(os.str().size());
  }
  state.counters["bytes"] = double(m.text.size());
}
BENCHMARK(BM_ReportPlainWrite);

}  // namespace

BENCHMARK_MAIN();
