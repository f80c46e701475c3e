// The real feldaro program, offscreen, in a namespace of its own against feldaro-sim.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "e2e_env.h"
#include "link/posix_endpoint.h"

#ifndef FELDARO_BIN
#error "FELDARO_BIN must name the feldaro binary"
#endif

using nlohmann::json;
using namespace std::chrono;

namespace {

std::string Scenario() {
  json bus = json::array({{{"self", true}, {"outputs", 4}, {"inputs", 4}, {"readers", 2}},
                          {{"type", 5}, {"serial", 101}, {"suffix", "A"}, {"number", 1}}});
  json doors = json::array({{{"outputs", {{{"slot", 0}, {"index", 0}}}},
                             {"inputs", {nullptr, {{"slot", 0}, {"index", 1}}}},
                             {"readers", {{{"slot", 1}, {"index", 0}}}},
                             {"doorType", 1}}});
  json k = {{"type", 327},      {"serial", 5}, {"address", "10.77.0.10"},
            {"mode", "Serwis"}, {"bus", bus},  {"doors", doors}};
  json t = {{"type", 327}, {"serial", 9}, {"address", "10.77.0.11"}, {"mode", "Blokada"}};
  return json{{"devices", json::array({k, t})}}.dump();
}

bool FromTool(const LogLine& l) {
  return l.dir == "RX" && l.from.rfind("10.77.0.1:", 0) == 0;
}

// Index of the first request with letter cmd to K27_00005 at or after start; -1 if none.
long Find(const std::vector<LogLine>& log, const std::string& cmd, size_t start = 0) {
  for (size_t i = start; i < log.size(); ++i)
    if (FromTool(log[i]) && log[i].id == "K27_00005" && log[i].cmd == cmd && log[i].tag != "MMDT")
      return long(i);
  return -1;
}

std::vector<std::string> AppEnv(const NetLab& lab) {
  return {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + lab.dir(), "HOME=" + lab.dir()};
}

}  // namespace

TEST(E2EApp, ReadsTheFirstControllerKeepsTheSessionAndEndsItOnSigterm) {
  E2E_REQUIRE_NETNS();
  SimLan net("app");
  net.StartSim(Scenario());
  Proc app(net.tool, {FELDARO_BIN}, net.lab.File("app.out"), false, AppEnv(net.lab));

  // Start-up: discovery, then the first controller is read: status, key, list, passages.
  std::vector<LogLine> log;
  ASSERT_TRUE(WaitForLog(
      net.log, [](const std::vector<LogLine>& l) { return Find(l, "C") >= 0; }, seconds(20), &log))
      << "the program did not read the controller\n"
      << ReadFile(net.lab.File("app.out"));
  const long k = Find(log, "K"), d = Find(log, "D"), c = Find(log, "C");
  ASSERT_GE(k, 0);
  EXPECT_LT(k, d);
  EXPECT_LT(d, c);
  EXPECT_GE(Find(log, "O"), 0);
  EXPECT_LT(Find(log, "O"), k);
  const double readAt = log[size_t(c)].t;

  // The session is kept alive: 'S' within about five ticks of the read.
  ASSERT_TRUE(WaitForLog(
      net.log, [&](const std::vector<LogLine>& l) { return Find(l, "S", size_t(c)) >= 0; },
      seconds(8), &log));
  const double keepAt = log[size_t(Find(log, "S", size_t(c)))].t;
  EXPECT_LE(keepAt - readAt, 6.5);
  // The tick that sent it first queried the controller's status and polled its list.
  const long keep = Find(log, "S", size_t(c));
  const long tickStatus = Find(log, "O", size_t(c));
  const long tickPoll = Find(log, "D", size_t(c));
  EXPECT_GE(tickStatus, 0);
  EXPECT_LT(tickStatus, keep);
  EXPECT_LT(tickStatus, tickPoll);
  ASSERT_TRUE(app.Running());

  // SIGTERM closes the window: status query, then the end of the session, then exit.
  const size_t mark = ReadSimLog(net.log).size();
  app.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(app.Wait(seconds(6), status)) << "the program did not end after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  ASSERT_TRUE(WaitForLog(
      net.log,
      [&](const std::vector<LogLine>& l) {
        for (size_t i = mark; i < l.size(); ++i)
          if (l[i].dir == "TX" && l[i].cmd == "s") return true;
        return false;
      },
      seconds(2), &log))
      << "no end of session after SIGTERM";
  const long endAt = Find(log, "s", mark);
  ASSERT_GE(endAt, 0);
  // The last status query before it came after the signal... or just before it, from a tick
  // already running; either way the final two requests are 'O' then 's'.
  std::vector<const LogLine*> last;
  for (const LogLine& l : log)
    if (FromTool(l) && l.id == "K27_00005" && l.tag != "MMDT") last.push_back(&l);
  ASSERT_GE(last.size(), 2u);
  EXPECT_EQ(last[last.size() - 2]->cmd, "O");
  EXPECT_EQ(last.back()->cmd, "s");
  EXPECT_EQ(last.back()->check, "sig=ok");
  // The Blokada controller never got a session.
  for (const LogLine& l : log)
    if (FromTool(l) && l.id == "K27_00009") {
      EXPECT_NE(l.tag, "MMDK") << l.raw;
      EXPECT_NE(l.tag, "MMDC") << l.raw;
    }
}

TEST(E2EApp, PortAlreadyBoundKeepsTheProgramAliveAndSilent) {
  E2E_REQUIRE_NETNS();
  SimLan net("appb");
  net.StartSim(Scenario());
  std::unique_ptr<PosixEndpoint> holder;
  {
    NetnsScope in(net.tool);
    holder = std::make_unique<PosixEndpoint>();
  }
  ASSERT_TRUE(holder->ok());
  Proc app(net.tool, {FELDARO_BIN}, net.lab.File("app.out"), false, AppEnv(net.lab));
  std::this_thread::sleep_for(milliseconds(2500));
  ASSERT_TRUE(app.Running()) << "the program ended when its port was taken\n"
                             << ReadFile(net.lab.File("app.out"));
  // Nothing went out from the program: its socket never existed.
  for (const LogLine& l : ReadSimLog(net.log)) EXPECT_FALSE(FromTool(l)) << l.raw;
  app.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(app.Wait(seconds(6), status)) << "the program did not end after SIGTERM";
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
}

namespace {

// Whether the tool's UDP port is free in namespace ns: a new endpoint can bind it.
bool PortFree(const std::string& ns) {
  NetnsScope in(ns);
  PosixEndpoint ep;
  return ep.ok();
}

// 's' from the tool to K27_00005 at or after line `from` of the log.
bool SessionEnded(const std::string& log, size_t from) {
  return WaitForLog(
      log, [&](const std::vector<LogLine>& l) { return Find(l, "s", from) >= 0; }, seconds(3));
}

}  // namespace

// A signal ends the program in every state: while the start-up box about a refused plan is
// open, and with a plan window open over the main window. Each time the session ends and
// the port is free again.
TEST(E2EApp, ASignalEndsTheProgramOverARefusedPlanBoxAndOverAPlanWindow) {
  E2E_REQUIRE_NETNS();
  SimLan net("appp");
  net.StartSim(Scenario());
  WriteFile(net.lab.File("zly.json"), "{\"format\": \"feldaro-site\", ");
  WriteFile(net.lab.File("pusty.json"),
            R"({"format": "feldaro-site", "version": 1, "tool": "", "created": "",
                "modified": "", "site": {"name": "Hala"}, "controllers": []})");
  size_t from = 0;
  for (const char* plan : {"zly.json", "pusty.json"}) {
    SCOPED_TRACE(plan);
    Proc app(net.tool, {FELDARO_BIN, net.lab.File(plan)}, net.lab.File("app.out"), false,
             AppEnv(net.lab));
    // The controller is read (its session open) while the box or the plan window is up.
    ASSERT_TRUE(WaitForLog(
        net.log, [&](const std::vector<LogLine>& l) { return Find(l, "C", from) >= 0; },
        seconds(20)))
        << ReadFile(net.lab.File("app.out"));
    std::this_thread::sleep_for(milliseconds(300));
    from = ReadSimLog(net.log).size();
    app.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(app.Wait(seconds(6), status)) << "the program did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(SessionEnded(net.log, from)) << "no end of session";
    EXPECT_TRUE(PortFree(net.tool));
    from = ReadSimLog(net.log).size();
  }
}
