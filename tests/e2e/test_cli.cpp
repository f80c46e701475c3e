// feldaro-cli over real UDP against feldaro-sim in network namespaces: backup, diff and
// restore onto the same and onto a replacement controller, refusals, the taken port, signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QDate>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "config/devname.h"
#include "e2e_env.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"
#include "ui/report.h"

using nlohmann::json;
using namespace std::chrono;

namespace {

json Bus(int reader) {
  return json::array(
      {{{"self", true}, {"outputs", 4}, {"inputs", 4}, {"readers", 2}, {"oc", true}},
       {{"type", 5}, {"serial", reader}, {"suffix", "A"}, {"number", 1}},
       {{"type", 220}, {"serial", 201}, {"suffix", "B"}, {"number", 1}, {"outputs", 2}}});
}

json Doors() {
  return json::array(
      {{{"outputs",
         {{{"slot", 0}, {"index", 0}}, nullptr, {{"slot", 0}, {"index", 3}, {"nc", true}}}},
        {"inputs", {nullptr, {{"slot", 0}, {"index", 1}, {"nc", true}}}},
        {"readers", {{{"slot", 1}, {"index", 0}}}},
        {"doorType", 1},
        {"boltPulse", 10},
        {"openTime", 30},
        {"airlock", 1}},
       {{"outputs",
         {{{"slot", 2}, {"index", 0}}, nullptr, {{"slot", 0}, {"index", 3}, {"nc", true}}}},
        {"readers", {{{"slot", 0}, {"index", 0}}}},
        {"doorType", 2}}});
}

// K27_00005 in use; K27_00009 its replacement, already wired with the same devices except
// a new reader R05_00109 in place of R05_00101; a Blokada controller that is never touched.
std::string Scenario(int delayMs = 0) {
  json k5 = {{"type", 327},     {"serial", 5},      {"address", "10.77.0.10"}, {"mode", "Serwis"},
             {"bus", Bus(101)}, {"doors", Doors()}, {"trainNumber", 77}};
  if (delayMs) k5["faults"] = {{"delayMs", delayMs}};
  json empty = json::array({json::object(), json::object()});
  json k9 = {{"type", 327},          {"serial", 9},     {"address", "10.77.0.11"},
             {"mode", "Instalacja"}, {"bus", Bus(109)}, {"doors", empty}};
  return json{{"devices", json::array({k5, k9})}}.dump();
}

struct CliRun {
  int rc = -1;
  std::string out;
};

CliRun Cli(SimLan& net, std::vector<std::string> args) {
  static int n = 0;
  args.insert(args.begin(), FELDARO_CLI_BIN);
  const std::string out = net.lab.File("cli" + std::to_string(++n) + ".out");
  Proc p(net.tool, args, out);
  int st = 0;
  CliRun r;
  if (p.Wait(seconds(30), st)) r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = ReadFile(out);
  return r;
}

// 'c' requests that reached a controller, counted from the log's line `from` on.
size_t Writes(SimLan& net, const std::string& dev, size_t from = 0) {
  const std::vector<LogLine> log = ReadSimLog(net.log);
  size_t n = 0;
  for (size_t i = from; i < log.size(); ++i)
    n += log[i].dir == "RX" && log[i].id == dev && log[i].cmd == "c" && log[i].tag == "MMDC";
  return n;
}

json Load(const std::string& path) {
  return json::parse(ReadFile(path));
}

void ExpectSchemaValid(const std::string& path) {
  const std::string cmd =
      "python3 -c 'import json,jsonschema,sys; jsonschema.validate("
      "json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' " +
      path + " " FELDARO_SOURCE_DIR "/config/feldaro-archive.schema.json";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << path << " does not follow the schema";
}

// What the window does: read the controller and, for a change, set the bolt of passage 2 to
// the controller's Out2 and "Zapisz"; the program then ends, which ends the session.
std::unique_ptr<CtrlCfg> LikeTheWindow(SimLan& net, bool change) {
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  LinkBinding bind(*ep, clock);
  auto set = std::make_unique<UdpDevSet>();
  set->Search();
  auto cfg = std::make_unique<CtrlCfg>();
  if (set->count < 1 || DevName(set->dev[0].id) != "K27_00005") return nullptr;
  UdpDev& k5 = set->dev[0];
  if (!k5.ReadStatus()) return nullptr;
  k5.ReadConfig(*cfg);
  if (change) {
    SetOutput(*cfg, 1, 0, IoRef(0x0001), 0);
    k5.WriteConfig(*cfg);
  }
  return cfg;
}

}  // namespace

TEST(E2ECli, BackupDiffRestoreOnTheSameControllerWritesWhatWasRead) {
  E2E_REQUIRE_NETNS();
  SimLan net("cli");
  net.StartSim(Scenario());
  const std::string arc = net.lab.File("k5.json");
  CliRun r = Cli(net, {"backup", "K27_00005", "-o", arc, "--location", "Hala 2"});
  ASSERT_EQ(r.rc, 0) << r.out;
  ExpectSchemaValid(arc);
  const json a = Load(arc);
  EXPECT_EQ(a["controller"]["name"], "K27_00005");
  EXPECT_EQ(a["passages"][1]["outputs"][0]["device"], "Z20_00201");
  EXPECT_EQ(a["passages"][0]["outputs"][2]["nc"], true);
  EXPECT_EQ(a["trainNumber"], 77);
  // Every session the program opened was ended before it exited.
  EXPECT_EQ(ReadSimLog(net.log).back().cmd, "s");

  // Unchanged: one 'c' whose payload is the 'C' payload read, so a new backup reads the same.
  r = Cli(net, {"restore", arc, "10.77.0.10", "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Brak zmian"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 1u);
  for (const LogLine& l : ReadSimLog(net.log)) {
    if (l.dir == "RX" && l.cmd == "c") {
      EXPECT_EQ(l.len, a["raw"]["C"].get<std::string>().size() / 2 + 19);
    }
  }

  // A change made the window's way shows in diff and is undone by restore.
  ASSERT_TRUE(LikeTheWindow(net, true));
  r = Cli(net, {"diff", arc, "K27_00005"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("Przejście 2:\n  Rygiel: Z20_00201:Out1 -> K27_00005:Out2\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Przejście 1:"), std::string::npos) << r.out;
  r = Cli(net, {"restore", arc, "K27_00005", "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Rygiel: K27_00005:Out2 -> Z20_00201:Out1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("odczyt kontrolny zgodny"), std::string::npos) << r.out;
  r = Cli(net, {"diff", arc, "K27_00005"});
  EXPECT_EQ(r.rc, 0) << r.out;
  const std::string again = net.lab.File("again.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", again}).rc, 0);
  EXPECT_EQ(Load(again)["raw"]["C"], a["raw"]["C"]);

  // The report is the window's, byte for byte, for the same configuration and location.
  const std::string rep = net.lab.File("k5.txt");
  ASSERT_EQ(Cli(net, {"report", "K27_00005", "-o", rep, "--location", "Budynek B, piętro"}).rc, 0);
  const std::unique_ptr<CtrlCfg> read = LikeTheWindow(net, false);
  ASSERT_TRUE(read);
  std::ostringstream os;
  WriteReportTo(os, "K27_00005", *read, ToCp1250("Budynek B, piętro"), QDate::currentDate());
  EXPECT_EQ(ReadFile(rep), os.str());
}

TEST(E2ECli, ReplacementControllerAndReaderRestoreWithMapOnly) {
  E2E_REQUIRE_NETNS();
  SimLan net("clir");
  net.StartSim(Scenario());
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);

  CliRun r = Cli(net, {"restore", arc, "K27_00009", "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("brak urządzenia R05_00101 na kontrolerze K27_00009"), std::string::npos)
      << r.out;
  EXPECT_EQ(Writes(net, "K27_00009"), 0u);
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00009", "--yes", "--map", "R05_00101=Z20_00201"}).rc, 1);
  // Without --yes and without a terminal nothing is written either.
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00009", "--map", "R05_00101=R05_00109"}).rc, 1);
  EXPECT_EQ(Writes(net, "K27_00009"), 0u);

  r = Cli(net, {"restore", arc, "K27_00009", "--yes", "--map", "R05_00101=R05_00109"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Czytnik 1: --- -> R05_00109:Rd1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Rygiel: --- -> K27_00009:Out1"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00009"), 1u);
  EXPECT_EQ(Writes(net, "K27_00005"), 0u) << "wrote to a controller it was not given";
  // The replacement now holds the archive, read back through the controller's own answer.
  const std::string k9 = net.lab.File("k9.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00009", "-o", k9}).rc, 0);
  const json b = Load(k9);
  EXPECT_EQ(b["passages"][0]["readers"][0]["device"], "R05_00109");
  EXPECT_EQ(b["passages"][1]["outputs"][2]["device"], "K27_00009");
  EXPECT_EQ(b["passages"][1]["outputs"][2]["nc"], true);
  EXPECT_EQ(b["passages"][0]["airlock"], 1);
}

TEST(E2ECli, BrokenArchivesAreRefusedWithNothingSent) {
  E2E_REQUIRE_NETNS();
  SimLan net("clib");
  net.StartSim(Scenario());
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  const std::string text = ReadFile(arc);
  const json a = json::parse(text);
  struct Case {
    const char* name;
    std::string body;
    const char* reason;
  };
  json twice = a, beyond = a, version = a;
  twice["passages"][0]["outputs"][1] = twice["passages"][1]["outputs"][0];
  beyond["passages"][0]["outputs"][1] = a["passages"][0]["outputs"][0];
  beyond["passages"][0]["outputs"][1]["index"] = 5;
  version["version"] = 2;
  const Case cases[] = {
      {"twice", twice.dump(), "jest już użyte w innej funkcji"},
      {"beyond", beyond.dump(), "K27_00005:Out6 – urządzenie ma 4 wyjść"},
      {"truncated", text.substr(0, text.size() / 2), "uszkodzony lub obcięty"},
      {"version", version.dump(), "nieobsługiwana wersja archiwum 2"},
  };
  for (const Case& c : cases) {
    const std::string path = net.lab.File(std::string(c.name) + ".json");
    WriteFile(path, c.body);
    const CliRun r = Cli(net, {"restore", path, "K27_00005", "--yes"});
    EXPECT_EQ(r.rc, 1) << c.name << ": " << r.out;
    EXPECT_NE(r.out.find(c.reason), std::string::npos) << c.name << ": " << r.out;
    EXPECT_NE(r.out.find("Nic nie wysłano"), std::string::npos) << c.name << ": " << r.out;
  }
  EXPECT_EQ(Writes(net, "K27_00005"), 0u);
}

TEST(E2ECli, TakenPortSaysFeldaroIsOpenAndSigtermEndsTheSession) {
  E2E_REQUIRE_NETNS();
  SimLan net("clis");
  net.StartSim(Scenario(120));
  {
    std::unique_ptr<PosixEndpoint> window;
    {
      NetnsScope in(net.tool);
      window = std::make_unique<PosixEndpoint>();
    }
    ASSERT_TRUE(window->ok());
    const CliRun r = Cli(net, {"list"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.out.find("port UDP 45389 jest zajęty. Czy Feldaro jest otwarte?"),
              std::string::npos)
        << r.out;
  }
  EXPECT_EQ(Cli(net, {"show"}).rc, 2);

  // SIGTERM while the first controller is read: nothing more is read, its session ends.
  Proc p(net.tool, {FELDARO_CLI_BIN, "backup", "--all", "-o", net.lab.File("all")},
         net.lab.File("sig.out"));
  std::vector<LogLine> log;
  ASSERT_TRUE(WaitForLog(
      net.log,
      [](const std::vector<LogLine>& l) {
        for (const LogLine& x : l)
          if (x.dir == "RX" && x.tag == "MMDK") return true;
        return false;
      },
      seconds(10), &log));
  p.Signal(SIGTERM);
  int st = 0;
  ASSERT_TRUE(p.Wait(seconds(10), st));
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st << ReadFile(net.lab.File("sig.out"));
  log = ReadSimLog(net.log);
  bool ended = false;
  for (const LogLine& l : log) {
    ended = ended || (l.dir == "RX" && l.id == "K27_00005" && l.cmd == "s");
    EXPECT_FALSE(l.dir == "RX" && l.id == "K27_00009" && l.tag == "MMDC") << l.raw;
  }
  EXPECT_TRUE(ended) << "no end of session after SIGTERM";
}
