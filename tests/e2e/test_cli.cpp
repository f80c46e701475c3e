// feldaro-cli over real UDP against feldaro-sim in network namespaces: backup, diff and
// restore onto the same and onto a replacement controller, refusals, the taken port, signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QDate>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "config/archive.h"
#include "config/devname.h"
#include "e2e_env.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"
#include "ui/report.h"

using namespace std::chrono;

namespace {

// K27_00005 in use; K27_00009 its replacement, already wired with the same devices except
// a new reader R05_00109 in place of R05_00101.
std::string Scenario(int delayMs = 0) {
  std::string text = R"({"devices": [
    {"type": 327, "serial": 5, "address": "10.77.0.10", "mode": "Serwis", "trainNumber": 77,
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true},
             {"type": 5, "serial": 101, "suffix": "A", "number": 1},
             {"type": 220, "serial": 201, "suffix": "B", "number": 1, "outputs": 2}],
     "doors": [{"outputs": [{"slot": 0, "index": 0}, null, {"slot": 0, "index": 3, "nc": true}],
                "inputs": [null, {"slot": 0, "index": 1, "nc": true}],
                "readers": [{"slot": 1, "index": 0}],
                "doorType": 1, "boltPulse": 10, "openTime": 30, "airlock": 1},
               {"outputs": [{"slot": 2, "index": 0}, null, {"slot": 0, "index": 3, "nc": true}],
                "readers": [{"slot": 0, "index": 0}], "doorType": 2}]FAULTS},
    {"type": 327, "serial": 9, "address": "10.77.0.11", "mode": "Instalacja",
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true},
             {"type": 5, "serial": 109, "suffix": "A", "number": 1},
             {"type": 220, "serial": 201, "suffix": "B", "number": 1, "outputs": 2}],
     "doors": [{}, {}]}]})";
  const std::string faults =
      delayMs ? ", \"faults\": {\"delayMs\": " + std::to_string(delayMs) + "}" : "";
  text.replace(text.find("FAULTS"), 6, faults);
  return text;
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

Archive Load(const std::string& path) {
  Archive arc;
  std::string why;
  EXPECT_TRUE(ParseArchive(ReadFile(path), arc, why)) << path << ": " << why;
  return arc;
}

std::string Name(const ArcRef& r) {
  return r.set ? DevName(r.dev) : "---";
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
  const Archive a = Load(arc);
  ASSERT_EQ(a.cfg.doors.size(), 2u);
  EXPECT_EQ(DevName(a.ctrlId), "K27_00005");
  EXPECT_EQ(a.location, "Hala 2");
  EXPECT_EQ(Name(a.cfg.doors[1].outputs[0]), "Z20_00201");
  EXPECT_TRUE(a.cfg.doors[0].outputs[2].nc);
  EXPECT_EQ(a.cfg.trainNumber, 77);
  // Every session the program opened was ended before it exited.
  EXPECT_EQ(ReadSimLog(net.log).back().cmd, "s");

  // Unchanged: one 'c' whose payload is the 'C' payload read, so a new backup reads the same.
  r = Cli(net, {"restore", arc, "10.77.0.10", "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Brak zmian"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 1u);
  for (const LogLine& l : ReadSimLog(net.log)) {
    if (l.dir == "RX" && l.cmd == "c") {
      EXPECT_EQ(l.len, a.rawDoors.size() + 19);
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
  EXPECT_EQ(Load(again).rawDoors, a.rawDoors);

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
  const Archive b = Load(k9);
  ASSERT_EQ(b.cfg.doors.size(), 2u);
  EXPECT_EQ(Name(b.cfg.doors[0].readers[0]), "R05_00109");
  EXPECT_EQ(Name(b.cfg.doors[1].outputs[2]), "K27_00009");
  EXPECT_TRUE(b.cfg.doors[1].outputs[2].nc);
  EXPECT_EQ(b.cfg.doors[0].params[kParFlags] & (kFlagAirlock | 3), kFlagAirlock);
}

TEST(E2ECli, BrokenArchivesAreRefusedWithNothingSent) {
  E2E_REQUIRE_NETNS();
  SimLan net("clib");
  net.StartSim(Scenario());
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  const std::string text = ReadFile(arc);
  const Archive a = Load(arc);
  struct Case {
    const char* name;
    std::string body;
    const char* reason;
  };
  Archive twice = a, beyond = a;
  twice.cfg.doors[0].outputs[1] = a.cfg.doors[1].outputs[0];
  beyond.cfg.doors[0].outputs[1] = a.cfg.doors[0].outputs[0];
  beyond.cfg.doors[0].outputs[1].index = 5;
  std::string version = text;
  version.replace(version.find("\"version\": 1"), 12, "\"version\": 2");
  const Case cases[] = {
      {"twice", ArchiveToJson(twice), "jest już użyte w innej funkcji"},
      {"beyond", ArchiveToJson(beyond), "K27_00005:Out6 – urządzenie ma 4 wyjść"},
      {"truncated", text.substr(0, text.size() / 2), "uszkodzony lub obcięty"},
      {"version", version, "nieobsługiwana wersja archiwum 2"},
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
  const CliRun list = Cli(net, {"list", "--json"});
  ASSERT_EQ(list.rc, 0) << list.out;
  WriteFile(net.lab.File("list.json"), list.out);
  const std::string check =
      "python3 -c 'import json,sys; l=json.load(open(sys.argv[1])); "
      "sys.exit(not [d[\"name\"]+d[\"modeText\"] for d in l] == "
      "[\"K27_00005Serwis\", \"K27_00009Instalacja\"])' " +
      net.lab.File("list.json");
  EXPECT_EQ(std::system(check.c_str()), 0) << list.out;

  // SIGTERM while the slow controller is read (the controllers are read at once; the other
  // one is long done): its passages are not read after it, and every session opened ends.
  Proc p(net.tool, {FELDARO_CLI_BIN, "backup", "--all", "-o", net.lab.File("all")},
         net.lab.File("sig.out"));
  std::vector<LogLine> log;
  ASSERT_TRUE(WaitForLog(
      net.log,
      [](const std::vector<LogLine>& l) {
        for (const LogLine& x : l)
          if (x.dir == "RX" && x.tag == "MMDK" && x.id == "K27_00005") return true;
        return false;
      },
      seconds(10), &log));
  p.Signal(SIGTERM);
  int st = 0;
  ASSERT_TRUE(p.Wait(seconds(10), st));
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st << ReadFile(net.lab.File("sig.out"));
  log = ReadSimLog(net.log);
  std::map<std::string, int> opened, ended;
  for (const LogLine& l : log) {
    if (l.dir != "RX") continue;
    opened[l.id] += l.tag == "MMDK";
    ended[l.id] += l.tag == "MMDC" && l.cmd == "s";
    EXPECT_FALSE(l.id == "K27_00005" && l.tag == "MMDC" && l.cmd == "C")
        << "passages read after SIGTERM: " << l.raw;
  }
  for (const auto& [id, n] : opened) {
    if (n > 0) {
      EXPECT_GE(ended[id], 1) << "no end of session of " << id << " after SIGTERM";
    }
  }
  EXPECT_GE(ended["K27_00005"], 1) << "no end of session after SIGTERM";
  // Interrupted before the files: none is written.
  EXPECT_TRUE(std::filesystem::is_empty(net.lab.File("all")));
}

TEST(E2ECli, FullBusTableOf128SlotsIsBackedUp) {
  E2E_REQUIRE_NETNS();
  std::string bus = R"({"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true})";
  for (int s = 1; s < kMaxDevs; ++s)
    bus +=
        R"(, {"type": 5, "suffix": "A", "number": 1, "serial": )" + std::to_string(300 + s) + "}";
  SimLan net("c128");
  net.StartSim(R"({"devices": [{"type": 327, "serial": 5, "address": "10.77.0.10",
                 "mode": "Serwis", "doors": [{}], "bus": [)" +
               bus + "]}]}");
  const std::string arc = net.lab.File("full.json");
  const CliRun r = Cli(net, {"backup", "K27_00005", "-o", arc});
  ASSERT_EQ(r.rc, 0) << r.out;
  const Archive a = Load(arc);
  EXPECT_EQ(a.rawDevList.size(), size_t(kDevListSize));
  EXPECT_EQ(a.devices.size(), size_t(kMaxDevs));
}
