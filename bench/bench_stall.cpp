// How long the window's thread stalls while the link waits on the network: the main window
// runs as the program builds it (its one-second tick running) against feldaro-sim over real
// UDP, and a 5 ms probe timer on the window's thread notes every firing. A gap between two
// firings longer than 5 ms is time in which the window could neither paint nor take input.
//
//   bench_stall muted CONSOLE [DEV] [--link worker|inline]
//       loads the first controller found, probes 2 s, writes "hide DEV" (default 0) into
//       CONSOLE (the simulator's console, a FIFO), probes 6 s while ticks query the silent
//       controller
//   bench_stall lossy [WRITES] [--link worker|inline]
//       loads the first controller found (its answers get lost now and then), then presses
//       "Zapisz" WRITES times (default 20), each time once the window is idle again
//
// --link worker (the program's way, the default) or inline (the network on the window's
// thread). Run it inside a network namespace of its own (scripts/bench does). Prints "key
// value" lines; exits non-zero with a message when the controller never loads or the
// scenario did not happen as planned, so no figure stands for a run that did not take place.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/quiethost.h"
#include "link/posix_endpoint.h"
#include "mainwin.h"

namespace {

using Clk = std::chrono::steady_clock;

constexpr int kProbeMs = 5;

double Ms(Clk::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The probe: a precise 5 ms timer on the window's thread noting when it fires.
class Probe {
 public:
  struct Gap {
    Clk::time_point end;
    double ms;
  };

  Probe() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kProbeMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const Clk::time_point now = Clk::now();
      gaps_.push_back({now, Ms(now - last_)});
      last_ = now;
    });
    gaps_.reserve(1 << 16);
  }
  void Start() {
    last_ = Clk::now();
    timer_.start();
  }

  struct Stats {
    int fired = 0;
    double longest = 0;   // longest stall: the longest gap beyond the 5 ms interval
    double p99 = 0;       // 99th percentile of lateness, held-back probes included
    double p99Fired = 0;  // the same over the probes that fired only
    double stalled = 0;   // time spent in gaps of more than 16 ms, in ms
  };

  // Over the gaps that ended in [from, to). A stall of g ms holds back not only the probe
  // that fires at its end (late by g - 5) but also those due meanwhile (late by g - 10,
  // g - 15, ...): counting them gives the lateness an input arriving at any moment meets.
  Stats Over(Clk::time_point from, Clk::time_point to) const {
    Stats s;
    std::vector<double> fired, all;
    for (const Gap& g : gaps_) {
      if (g.end < from || g.end >= to) continue;
      const double late = std::max(0.0, g.ms - kProbeMs);
      ++s.fired;
      fired.push_back(late);
      s.longest = std::max(s.longest, late);
      if (g.ms > 16) s.stalled += g.ms;
      for (double l = late; l > 0; l -= kProbeMs) all.push_back(l);
      if (late <= 0) all.push_back(0);
    }
    s.p99 = Percentile(all, 0.99);
    s.p99Fired = Percentile(fired, 0.99);
    return s;
  }

 private:
  static double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, size_t(std::ceil(q * double(v.size()))) - 1);
    std::nth_element(v.begin(), v.begin() + long(k), v.end());
    return v[k];
  }

  QTimer timer_;
  Clk::time_point last_;
  std::vector<Gap> gaps_;
};

// Lets the event loop run for `ms`: the probe, the tick and the window's operations go on.
void RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop until `done` holds, at most `limitMs`; tells whether it held.
bool RunUntil(const std::function<bool()>& done, int limitMs) {
  const Clk::time_point end = Clk::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (Clk::now() >= end) return false;
    RunFor(10);
  }
  return true;
}

int Fail(const std::string& what, const QuietHost& host) {
  std::fprintf(stderr, "bench_stall: %s (errors shown: %d, last: %s)\n", what.c_str(), host.errors,
               host.last.trimmed().toStdString().c_str());
  return 1;
}

void Print(const char* prefix, const Probe::Stats& s) {
  std::printf(
      "%s_probes %d\n%s_longest_stall_ms %.3f\n%s_p99_lateness_ms %.3f\n"
      "%s_p99_fired_ms %.3f\n%s_stalled_ms %.1f\n",
      prefix, s.fired, prefix, s.longest, prefix, s.p99, prefix, s.p99Fired, prefix, s.stalled);
}

struct Args {
  std::string scenario;  // muted | lossy
  std::string console;
  std::string dev = "0";
  int writes = 20;
  LinkThread link = LinkThread::Worker;
};

bool ParseArgs(int argc, char** argv, Args& a) {
  std::vector<std::string> pos;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--link" && i + 1 < argc) {
      const std::string v = argv[++i];
      if (v != "worker" && v != "inline") return false;
      a.link = v == "worker" ? LinkThread::Worker : LinkThread::Inline;
    } else {
      pos.push_back(s);
    }
  }
  if (pos.empty()) return false;
  a.scenario = pos[0];
  if (a.scenario == "muted") {
    if (pos.size() < 2 || pos.size() > 3) return false;
    a.console = pos[1];
    if (pos.size() == 3) a.dev = pos[2];
    return true;
  }
  if (a.scenario == "lossy") {
    if (pos.size() > 2) return false;
    if (pos.size() == 2) a.writes = std::atoi(pos[1].c_str());
    return a.writes > 0;
  }
  return false;
}

// One line into the simulator's console.
bool Tell(const std::string& path, const std::string& line) {
  const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = line + "\n";
  const bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: bench_stall muted CONSOLE [DEV] [--link worker|inline]\n"
                 "       bench_stall lossy [WRITES] [--link worker|inline]\n");
    return 2;
  }
  static int qargc = 3;
  static char a0[] = "bench_stall", a1[] = "-platform", a2[] = "offscreen";
  static char* qargv[] = {a0, a1, a2, nullptr};
  QApplication app(qargc, qargv);

  // As the program builds it: endpoint and clock first, the tick running, shown.
  SystemClock clock;
  PosixEndpoint udp;
  if (!udp.ok()) {
    std::fprintf(stderr, "bench_stall: no endpoint: %s\n", udp.error().c_str());
    return 1;
  }
  QuietHost host;
  auto win = std::make_unique<TMainWin>(host, udp, clock, true, args.link);
  MainWin = win.get();
  auto* list = win->findChild<QListWidget*>(QStringLiteral("EthLstBox"));
  auto* write = win->findChild<QPushButton*>(QStringLiteral("WrCfgBtn"));
  auto* search = win->findChild<QPushButton*>(QStringLiteral("SearchEthBtn"));
  if (!list || !write || !search) return Fail("the window lacks its controls", host);

  Probe probe;
  probe.Start();
  const Clk::time_point begin = Clk::now();
  win->show();
  win->FormCreate();
  // Lost answers may cost the first search or load; the user would search again.
  auto loaded = [&] { return win->Idle() && win->Cfg.doorCount > 0; };
  bool ok = false;
  for (int attempt = 0; attempt < 5 && !ok; ++attempt) {
    if (attempt > 0) search->click();
    ok = RunUntil([&] { return loaded() || win->Idle(); }, 10000) && loaded();
  }
  if (!ok) return Fail("the controller was never loaded", host);
  const double loadMs = Ms(Clk::now() - begin);
  // Inline, the load itself was one long gap; the figures start with the probes after it.
  RunFor(20);
  const Clk::time_point loadedAt = Clk::now();
  std::printf("link %s\nscenario %s\nload_ms %.1f\npassages %d\nbus_devices %d\n",
              args.link == LinkThread::Worker ? "worker" : "inline", args.scenario.c_str(), loadMs,
              win->Cfg.doorCount, win->Cfg.devCount);

  if (args.scenario == "muted") {
    RunFor(2000);
    const Clk::time_point mutedAt = Clk::now();
    Print("answering", probe.Over(loadedAt, mutedAt));
    if (!Tell(args.console, "hide " + args.dev))
      return Fail("cannot write to the simulator's console " + args.console, host);
    RunFor(6000);
    const Clk::time_point end = Clk::now();
    // The ticks must have met the silence: the list shows the controller as unreachable.
    const QListWidgetItem* line = list->item(std::max(0, list->currentRow()));
    if (!line || !line->text().contains(QStringLiteral("Niedostępny")))
      return Fail("the controller still answers after it was muted", host);
    Print("muted", probe.Over(mutedAt, end));
  } else {
    RunFor(1000);
    const Clk::time_point first = Clk::now();
    const int errorsBefore = host.errors;
    double slowest = 0;
    for (int i = 0; i < args.writes; ++i) {
      if (!write->isEnabled()) return Fail("\"Zapisz\" is disabled", host);
      const Clk::time_point t0 = Clk::now();
      write->click();
      if (!RunUntil([&] { return win->Idle(); }, 15000))
        return Fail("write " + std::to_string(i) + " never ended", host);
      slowest = std::max(slowest, Ms(Clk::now() - t0));
      // Ticks and idle time between the presses, as between a user's.
      RunFor(150);
    }
    const Clk::time_point end = Clk::now();
    if (host.errors - errorsBefore >= args.writes) return Fail("every write failed", host);
    std::printf("writes %d\nerrors_during_writes %d\nslowest_write_ms %.1f\n", args.writes,
                host.errors - errorsBefore, slowest);
    Print("writing", probe.Over(first, end));
  }
  win.reset();
  MainWin = nullptr;
  return 0;
}
