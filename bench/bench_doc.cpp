// As-built documentation of a whole site: a plan of 100 controllers with 16 passages each
// (33 bus devices apiece, every passage function assigned), put into a PDF by the real
// program, `feldaro-cli doc --plan PLAN -o FILE.pdf`, with no display. Wall time from start
// to exit and the peak resident set size (the child's rusage) of each run.
//
//   bench_doc FELDARO_CLI [RUNS [DIR]]
//
// With DIR, the plan (plan.json) and the document (dok.pdf) are kept there.
//
// Prints "key value" lines: doc_ms (median wall time), doc_ms_max, doc_cpu_ms (median user +
// system time of the child), peak_rss_kb (largest), pages, bytes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/devname.h"
#include "config/plan.h"

namespace {

constexpr int kControllers = 100;
constexpr int kDevices = 32;  // beside the controller itself

IoRef Ref(int slot, int index, bool nc = false) {
  return IoRef((slot << 8) | index | (nc ? 0x80 : 0));
}

void AddDev(CtrlCfg& cfg, uint32_t id, int outs, int ins, int rds, bool oc) {
  const int s = cfg.devCount++;
  BusDev& b = cfg.devs[s];
  b.id = id;
  b.suffixNumber = uint8_t(1 + s % 4);
  b.outputCount = uint16_t(outs);
  b.inputCount = uint16_t(ins);
  b.readerCount = uint16_t(rds);
  b.ocOutputs = oc;
  cfg.order[cfg.listedCount++] = s;
}

// A controller with every passage function of its 16 passages on its bus devices.
Archive Controller(int i) {
  auto cfg = std::make_unique<CtrlCfg>();
  std::memset(cfg.get(), 0, sizeof *cfg);
  const uint32_t ctrl = MakeId(327, uint32_t(100 + i));
  AddDev(*cfg, ctrl, 4, 4, 2, true);
  for (int d = 1; d <= kDevices; ++d)
    AddDev(*cfg, d % 2 ? MakeId(5, uint32_t(1000 * i + d)) : MakeId(220, uint32_t(1000 * i + d)), 3,
           4, 1, d % 2 == 0);
  cfg->doorCount = kMaxDoors;
  for (int k = 0; k < kMaxDoors; ++k) {
    DoorCfg& p = cfg->doors[k];
    std::fill(std::begin(p.inputs), std::end(p.inputs), kNoRef);
    const int a = 1 + 2 * k, b = 2 + 2 * k;
    p.outputs[0] = Ref(a, 0, k % 3 == 0);
    p.outputs[1] = Ref(a, 1);
    p.outputs[2] = Ref(b, 0);
    p.outputs[3] = Ref(0, 3);  // one CCTV output for every passage
    p.inputs[0] = Ref(a, 0);
    p.inputs[1] = Ref(a, 1, true);
    p.inputs[2] = Ref(a, 2);
    p.inputs[3] = Ref(b, 0);
    p.readers[0] = Ref(a, 0);
    p.readers[1] = Ref(b, 0);
    p.readers[2] = p.readers[3] = kNoRef;
    const uint8_t params[8] = {
        uint8_t(1 + k % 3), 0, uint8_t(k % 4 == 0 ? 0x44 : 0x80), 0, uint8_t(6 + k), 0,
        uint8_t(20 + k),    0};
    std::copy(params, params + 8, p.params);
  }
  cfg->trainNumber = uint16_t(i);
  MarkUsedIo(*cfg);
  char ip[32];
  std::snprintf(ip, sizeof ip, "10.99.1.%d", 10 + i);
  return MakeArchive(*cfg, ctrl, ip, 2 + i % 2, "Feldaro 1.2.1", "2024-03-05T10:00:00Z",
                     "Budynek " + std::to_string(1 + i / 10) + ", piętro " + std::to_string(i % 10),
                     {}, {});
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_doc FELDARO_CLI [RUNS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const bool keep = argc > 3;
  const std::filesystem::path dir = keep ? std::filesystem::path(argv[3])
                                         : std::filesystem::temp_directory_path() /
                                               ("feldaro-bench-doc-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string planPath = (dir / "plan.json").string(), out = (dir / "dok.pdf").string();

  SitePlan plan;
  plan.site = {"Kampus Zachodni", "ul. Źródlana 5, 90-001 Łódź", "Jan Łęcki", ""};
  plan.created = plan.modified = "2024-03-05T10:00:00Z";
  plan.tool = "Feldaro 1.2.1";
  for (int i = 0; i < kControllers; ++i) {
    Archive a = Controller(i);
    plan.ctrls.push_back(PlanCtrl{a.location, a});
  }
  std::string err;
  if (!SavePlan(planPath, plan, err)) {
    std::fprintf(stderr, "bench_doc: %s\n", err.c_str());
    return 1;
  }

  std::vector<double> ms, cpu;
  long peakKb = 0;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      const int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, STDOUT_FILENO);
      execl(cli.c_str(), "feldaro-cli", "doc", "--plan", planPath.c_str(), "-o", out.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int st = 0;
    rusage ru{};
    if (pid < 0 || wait4(pid, &st, 0, &ru) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
      std::fprintf(stderr, "bench_doc: feldaro-cli doc failed (status %d)\n", st);
      return 1;
    }
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    peakKb = std::max(peakKb, ru.ru_maxrss);
    cpu.push_back((ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                  (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3);
  }
  std::ifstream f(out, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string pdf = ss.str();
  size_t pages = 0;
  for (size_t p = pdf.find("/Type /Page"); p != std::string::npos;
       p = pdf.find("/Type /Page", p + 1))
    pages += pdf.compare(p, 12, "/Type /Pages") != 0;
  std::printf(
      "doc_ms %.1f\ndoc_ms_max %.1f\ndoc_cpu_ms %.1f\npeak_rss_kb %ld\npages %zu\nbytes %zu\n",
      Median(ms), *std::max_element(ms.begin(), ms.end()), Median(cpu), peakKb, pages, pdf.size());
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
