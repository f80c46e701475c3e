// Shared set-up of the real-UDP tests: the skip rule, and a LAN with the tool's namespace
// and the devices' namespace served by feldaro-sim.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "link/endpoint.h"
#include "netlab.h"

#ifndef FELDARO_SIM_BIN
#error "FELDARO_SIM_BIN must name the feldaro-sim binary"
#endif

// Without the rights to create namespaces the tests skip, except in CI where they must run.
#define E2E_REQUIRE_NETNS()                                                         \
  do {                                                                              \
    std::string why_;                                                               \
    if (!NetnsUsable(why_)) {                                                       \
      const char* ci_ = std::getenv("CI");                                          \
      if (ci_ && std::string(ci_) == "true") FAIL() << why_ << " (required in CI)"; \
      GTEST_SKIP() << why_;                                                         \
    }                                                                               \
  } while (0)

// Starts feldaro-sim in namespace ns with the scenario text, adding the devices' addresses
// to its eth0; returns once it serves.
inline Proc StartSimIn(NetLab& lab, const std::string& ns, const std::string& scenarioJson,
                       const std::string& log, const std::string& name, bool console) {
  std::string path = lab.File(name + ".json");
  WriteFile(path, scenarioJson);
  // The devices' own generators as the in-memory tests seed them: repeatable runs.
  std::vector<std::string> argv = {FELDARO_SIM_BIN, "--log",  log,    "--add-addrs",
                                   "eth0",          "--seed", "12345"};
  if (!console) argv.push_back("--no-console");
  argv.push_back(path);
  Proc p(ns, argv, lab.File(name + ".out"), console);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ReadFile(log).find("# feldaro-sim") == std::string::npos) {
    if (!p.Running() || std::chrono::steady_clock::now() > end)
      throw std::runtime_error("feldaro-sim did not start:\n" + ReadFile(lab.File(name + ".out")));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return p;
}

// The tool at 10.77.0.1 and the devices' namespace (10.77.0.250 plus the devices' own
// addresses) on one LAN.
struct SimLan {
  NetLab lab;
  int lan;
  std::string tool, devs;
  std::string log;
  Proc sim;

  explicit SimLan(const std::string& tag, bool toolDefaultRoute = true) : lab(tag) {
    lan = lab.AddLan();
    tool = lab.AddHost("tool");
    devs = lab.AddHost("dev");
    lab.Connect(tool, lan, "eth0", "10.77.0.1/24", toolDefaultRoute ? "10.77.0.254" : "");
    lab.Connect(devs, lan, "eth0", "10.77.0.250/24", "10.77.0.254");
    log = lab.File("sim.log");
  }

  // Another copy of the tool on the same LAN.
  std::string AddTool(const std::string& name, const std::string& cidr) {
    std::string ns = lab.AddHost(name);
    lab.Connect(ns, lan, "eth0", cidr, "10.77.0.254");
    return ns;
  }

  void StartSim(const std::string& scenarioJson, bool console = false) {
    sim = StartSimIn(lab, devs, scenarioJson, log, "sim", console);
  }

  // A third host on the LAN, 10.77.0.251 (plus its devices' addresses), with a feldaro-sim
  // of its own: another host answering in a device's name. Its log is impLog.
  std::string impNs, impLog;
  Proc imp;
  void StartImpostor(const std::string& scenarioJson, bool console = false) {
    impNs = lab.AddHost("imp");
    lab.Connect(impNs, lan, "eth0", "10.77.0.251/24", "10.77.0.254");
    impLog = lab.File("imp.log");
    imp = StartSimIn(lab, impNs, scenarioJson, impLog, "imp", console);
  }

  // Sends a console line to feldaro-sim and waits until it has carried it out.
  void Console(const std::string& line) { ConsoleOf(sim, log, line); }
  void ImpostorConsole(const std::string& line) { ConsoleOf(imp, impLog, line); }

  static void ConsoleOf(Proc& p, const std::string& logPath, const std::string& line) {
    size_t before = CountCmd(logPath);
    p.Write(line + "\n");
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (CountCmd(logPath) == before) {
      if (std::chrono::steady_clock::now() > end)
        throw std::runtime_error("feldaro-sim did not run: " + line);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  size_t CountCmd() const { return CountCmd(log); }
  static size_t CountCmd(const std::string& logPath) {
    size_t n = 0;
    for (const LogLine& l : ReadSimLog(logPath)) n += l.dir == "CMD";
    return n;
  }
};

// 'c' requests that reached device dev, counted from the simulator log's line `from` on.
inline size_t Writes(const SimLan& net, const std::string& dev, size_t from = 0) {
  const std::vector<LogLine> log = ReadSimLog(net.log);
  size_t n = 0;
  for (size_t i = from; i < log.size(); ++i)
    n += log[i].dir == "RX" && log[i].id == dev && log[i].cmd == "c" && log[i].tag == "MMDC";
  return n;
}

// A run of a program in the tool's namespace: its exit status (-1 when it did not end in
// time or was killed) and what it printed.
struct CliRun {
  int rc = -1;
  std::string out;
};

inline CliRun RunIn(SimLan& net, std::vector<std::string> argv, std::chrono::seconds timeout) {
  static int n = 0;
  const std::string out = net.lab.File("run" + std::to_string(++n) + ".out");
  Proc p(net.tool, argv, out);
  int st = 0;
  CliRun r;
  if (p.Wait(timeout, st)) r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = ReadFile(out);
  return r;
}

// Hands an endpoint and a clock to the link for one scope.
struct LinkBinding {
  LinkBinding(Endpoint& ep, Clock& clock) {
    LinkSetEndpoint(&ep);
    LinkSetClock(&clock);
  }
  ~LinkBinding() {
    LinkSetEndpoint(nullptr);
    LinkSetClock(nullptr);
  }
};
