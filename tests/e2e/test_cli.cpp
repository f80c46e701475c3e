// feldaro-cli over real UDP against feldaro-sim in network namespaces: backup, diff and
// restore onto the same and onto a replacement controller, refusals, the taken port, signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QDate>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

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

CliRun Cli(SimLan& net, std::vector<std::string> args) {
  args.insert(args.begin(), FELDARO_CLI_BIN);
  return RunIn(net, std::move(args), seconds(30));
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

// feldaro-cli on a terminal of its own (script(1) makes one), for the confirmation prompt;
// the test types its answers through the returned process's input.
Proc CliOnTerminal(SimLan& net, const std::vector<std::string>& args, const std::string& out) {
  std::string cmd = FELDARO_CLI_BIN;
  for (const std::string& a : args) cmd += " '" + a + "'";
  return Proc(net.tool, {"/usr/bin/script", "-qfec", cmd, "/dev/null"}, out, true);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool WaitForText(const std::string& file, const std::string& what, size_t times = 1,
                 seconds timeout = seconds(15)) {
  const auto end = steady_clock::now() + timeout;
  while (Count(ReadFile(file), what) < times) {
    if (steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// Requests with this tag and letter that reached dev, from the log's line `from` on.
size_t Requests(SimLan& net, const std::string& dev, const std::string& tag, const std::string& cmd,
                size_t from = 0) {
  const std::vector<LogLine> log = ReadSimLog(net.log);
  size_t n = 0;
  for (size_t i = from; i < log.size(); ++i)
    n += log[i].dir == "RX" && log[i].id == dev && log[i].tag == tag && log[i].cmd == cmd;
  return n;
}

int ExitOf(Proc& p) {
  int st = 0;
  if (!p.Wait(seconds(30), st)) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
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

  // Unchanged: nothing to write, so nothing is sent (a write would confirm new devices).
  r = Cli(net, {"restore", arc, "10.77.0.10", "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Brak zmian"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 0u);

  // A change made the window's way shows in diff and is undone by restore.
  ASSERT_TRUE(LikeTheWindow(net, true));
  r = Cli(net, {"diff", arc, "K27_00005"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("Przejście 2:\n  Rygiel: K27_00005:Out2 -> Z20_00201:Out1\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Przejście 1:"), std::string::npos) << r.out;
  r = Cli(net, {"restore", arc, "K27_00005", "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Rygiel: K27_00005:Out2 -> Z20_00201:Out1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("odczyt kontrolny zgodny"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 2u);  // the window's and the restore's
  for (const LogLine& l : ReadSimLog(net.log)) {
    if (l.dir == "RX" && l.cmd == "c") {
      EXPECT_EQ(l.len, a.rawDoors.size() + 19);
    }
  }
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
  // Another model is not a replacement: a usage error.
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00009", "--yes", "--map", "R05_00101=Z20_00201"}).rc, 2);
  // Without --yes and without a terminal nothing is written either.
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00009", "--map", "R05_00101=R05_00109"}).rc, 1);
  EXPECT_EQ(Writes(net, "K27_00009"), 0u);

  // Device names in any letter case, as everywhere; a half that is no device name is wrong use.
  r = Cli(net, {"restore", arc, "K27_00009", "--dry-run", "--map", "r05_00101=r05_00109"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Czytnik 1: --- -> R05_00109:Rd1"), std::string::npos) << r.out;
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00009", "--dry-run", "--map", "R05_00101=czytnik"}).rc,
            2);
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
      {"beyond", ArchiveToJson(beyond), "K27_00005:Out6 – urządzenie ma 4 wyjścia"},
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
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 130) << st << ReadFile(net.lab.File("sig.out"));
  EXPECT_NE(ReadFile(net.lab.File("sig.out")).find("przerwano; nic nie zapisano."),
            std::string::npos)
      << ReadFile(net.lab.File("sig.out"));
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

// A late "t" meets a controller that changed meanwhile: the session was kept alive while the
// question waited, the change is read again before anything is written, the new list of
// changes is shown and asked again. A restore with nothing to change writes nothing, and
// one that would confirm a new bus device says so.
TEST(E2ECli, LateConfirmationIsCheckedAgainstAFreshReadAndNoopWritesNothing) {
  E2E_REQUIRE_NETNS();
  SimLan net("clic");
  net.StartSim(Scenario(), true);
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  CliRun r = Cli(net, {"restore", arc, "k27_00005", "--yes"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Brak zmian"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 0u) << "a restore with nothing to change wrote";

  // The window's change, then a new reader on the bus (the window's write would confirm it).
  ASSERT_TRUE(LikeTheWindow(net, true));
  net.Console("add K27_00005 5 110");
  r = Cli(net, {"restore", arc, "K27_00005", "--dry-run"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Zapis potwierdzi też nowe urządzenia na liście kontrolera: R05_00110"),
            std::string::npos)
      << r.out;

  size_t mark = ReadSimLog(net.log).size();
  const std::string out = net.lab.File("prompt.out");
  {
    Proc p = CliOnTerminal(net, {"restore", arc, "K27_00005"}, out);
    ASSERT_TRUE(WaitForText(out, "[t/N]")) << ReadFile(out);
    // The question waits; the session is kept alive meanwhile.
    ASSERT_TRUE(WaitForLog(
        net.log,
        [&](const std::vector<LogLine>& l) {
          for (size_t i = mark; i < l.size(); ++i)
            if (l[i].dir == "RX" && l[i].id == "K27_00005" && l[i].cmd == "S") return true;
          return false;
        },
        seconds(12)))
        << "no keep-alive while the question waited";
    // Another installer changes passage 2's bolt pulse to 10 s.
    net.Console("param K27_00005 2 4 20");
    p.Write("t\n");
    ASSERT_TRUE(WaitForText(out, "[t/N]", 2)) << ReadFile(out);
    const std::string shown = ReadFile(out);
    EXPECT_NE(shown.find("zmieniła się od wyświetlenia zmian"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Impuls otwarcia rygla: 10 s -> 0 s"), std::string::npos) << shown;
    EXPECT_EQ(Writes(net, "K27_00005", mark), 0u) << "wrote before the new list was confirmed";
    p.Write("n\n");
    EXPECT_EQ(ExitOf(p), 1) << ReadFile(out);
  }
  EXPECT_NE(ReadFile(out).find("nie zapisano: brak potwierdzenia."), std::string::npos)
      << ReadFile(out);
  EXPECT_EQ(Writes(net, "K27_00005", mark), 0u);
  // One session all along: kept alive, never opened anew behind the user's back.
  EXPECT_EQ(Requests(net, "K27_00005", "MMDK", "K", mark), 1u);

  // "Tak" confirms; the write then undoes the other change, as the list said.
  mark = ReadSimLog(net.log).size();
  const std::string out2 = net.lab.File("prompt2.out");
  {
    Proc p = CliOnTerminal(net, {"restore", arc, "K27_00005"}, out2);
    ASSERT_TRUE(WaitForText(out2, "[t/N]")) << ReadFile(out2);
    p.Write("Tak\n");
    EXPECT_EQ(ExitOf(p), 0) << ReadFile(out2);
  }
  EXPECT_NE(ReadFile(out2).find("odczyt kontrolny zgodny"), std::string::npos) << ReadFile(out2);
  EXPECT_EQ(Writes(net, "K27_00005", mark), 1u);
  EXPECT_EQ(Cli(net, {"diff", arc, "K27_00005"}).rc, 0);
}

// With --yes there is nobody to ask again: a change between the read and the write is
// refused and nothing is written. Every answer is slowed so the change lands in between,
// and so that an interrupt lands while the write is under way.
TEST(E2ECli, ChangeBetweenReadAndWriteWithYesIsRefused) {
  E2E_REQUIRE_NETNS();
  SimLan net("cliy");
  net.StartSim(Scenario(150), true);
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  ASSERT_TRUE(LikeTheWindow(net, true));
  const size_t mark = ReadSimLog(net.log).size();
  const std::string out = net.lab.File("yes.out");
  Proc p(net.tool, {FELDARO_CLI_BIN, "restore", arc, "K27_00005", "--yes"}, out);
  ASSERT_TRUE(WaitForLog(
      net.log,
      [&](const std::vector<LogLine>& l) {
        for (size_t i = mark; i < l.size(); ++i)
          if (l[i].dir == "TX" && l[i].id == "K27_00005" && l[i].cmd == "C") return true;
        return false;
      },
      seconds(10)));
  net.Console("param K27_00005 1 6 40");
  EXPECT_EQ(ExitOf(p), 1) << ReadFile(out);
  EXPECT_NE(ReadFile(out).find("zmieniła się od odczytu"), std::string::npos) << ReadFile(out);
  EXPECT_EQ(Writes(net, "K27_00005", mark), 0u);

  // Ctrl-C while the write is under way: exit 130 and one line of what was done.
  const std::string out2 = net.lab.File("int.out");
  Proc q(net.tool, {FELDARO_CLI_BIN, "restore", arc, "K27_00005", "--yes"}, out2);
  ASSERT_TRUE(WaitForLog(
      net.log, [&](const std::vector<LogLine>&) { return Writes(net, "K27_00005", mark) > 0; },
      seconds(10)));
  q.Signal(SIGINT);
  EXPECT_EQ(ExitOf(q), 130) << ReadFile(out2);
  EXPECT_NE(ReadFile(out2).find("feldaro-cli: przerwano; zapisano konfigurację przejść do "
                                "K27_00005; odczyt kontrolny nie został wykonany"),
            std::string::npos)
      << ReadFile(out2);
  EXPECT_EQ(ReadFile(out2).find("zgodny"), std::string::npos) << ReadFile(out2);
}

// --map never merges devices, and another controller model needs --other-model, with the
// train number neither taken from nor given to a model without one.
TEST(E2ECli, MapsThatMergeDevicesAndOtherModelsAreRefused) {
  E2E_REQUIRE_NETNS();
  SimLan net("clim");
  const std::string readers =
      R"({"type": 5, "serial": 201, "suffix": "A", "number": 1},
         {"type": 5, "serial": 202, "suffix": "B", "number": 1})";
  net.StartSim(R"({"devices": [
    {"type": 327, "serial": 20, "address": "10.77.0.20", "trainNumber": 1234,
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2}, )" +
               readers + R"(],
     "doors": [{"outputs": [{"slot": 0, "index": 0}], "readers": [{"slot": 1, "index": 0}],
                "boltPulse": 6},
               {"readers": [{"slot": 2, "index": 0}]}]},
    {"type": 327, "serial": 21, "address": "10.77.0.21", "trainNumber": 55,
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2},
             {"type": 5, "serial": 201, "suffix": "A", "number": 1},
             {"type": 5, "serial": 204, "suffix": "A", "number": 2},
             {"type": 5, "serial": 205, "suffix": "A", "number": 3, "inactive": true}],
     "doors": [{}, {}]},
    {"type": 312, "serial": 30, "address": "10.77.0.30",
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2}, )" +
               readers + R"(], "doors": [{}, {}]}]})");
  const std::string arc = net.lab.File("k20.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00020", "-o", arc}).rc, 0);
  const struct {
    std::vector<std::string> maps;
    const char* says;
  } refused[] = {
      {{"R05_00201=R05_00204", "R05_00202=R05_00204"}, "na jedno urządzenie R05_00204"},
      {{"R05_00202=R05_00201"}, "łączy dwa urządzenia"},
      {{"R05_00202=R05_00204", "R05_00202=R05_00205"}, "R05_00202 podane dwa razy"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"restore", arc, "K27_00021", "--yes"};
    for (const std::string& m : c.maps) args.insert(args.end(), {"--map", m});
    const CliRun r = Cli(net, args);
    EXPECT_EQ(r.rc, 1) << c.says << ": " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
  CliRun r = Cli(net, {"restore", arc, "K27_00021", "--dry-run", "--map", "R05_00202=R05_00205"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Uwaga: R05_00205 jest nieaktywne"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00021"), 0u);

  // A K27 archive onto a K12: refused without --other-model; with it, the K12 gets the
  // passages and the list says the train number stays out.
  r = Cli(net, {"restore", arc, "K12_00030", "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("--other-model"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K12_00030"), 0u);
  r = Cli(net, {"restore", arc, "K12_00030", "--yes", "--other-model"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Nr pociągu z archiwum (1234) pominięty: model K12"), std::string::npos)
      << r.out;
  EXPECT_EQ(Writes(net, "K12_00030"), 1u);
  // And back: the K27 keeps its own train number.
  const std::string k12 = net.lab.File("k12.json");
  ASSERT_EQ(Cli(net, {"backup", "K12_00030", "-o", k12}).rc, 0);
  r = Cli(net, {"restore", k12, "K27_00021", "--dry-run", "--other-model", "--map",
                "R05_00202=R05_00204"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Nr pociągu kontrolera (55) bez zmian"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Nr pociągu: 55 -> 0"), std::string::npos) << r.out;
}

// --all sends every broadcast, so a controller whose first answers were lost is found; a
// full device set is said, and the controllers beyond it are named in the closing line.
TEST(E2ECli, AllReachesLossyControllersAndNamesWhatItMissed) {
  E2E_REQUIRE_NETNS();
  auto controller = [](int serial, int octet, const std::string& extra) {
    return R"({"type": 327, "serial": )" + std::to_string(serial) + R"(, "address": "10.77.0.)" +
           std::to_string(octet) + R"(", "bus": [{"self": true}], "doors": [{}])" + extra + "}";
  };
  {
    SimLan net("clia");
    net.StartSim(R"({"devices": [)" + controller(1, 10, "") + ", " +
                 controller(2, 11, R"(, "discoveryLoss": 2)") + "]}");
    const std::string dir = net.lab.File("all");
    CliRun r = Cli(net, {"backup", "--all", "-o", dir});
    EXPECT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("zapisano 2 z 2"), std::string::npos) << r.out;
    const std::string k2 =
        dir + "/" + QDate::currentDate().toString(Qt::ISODate).toStdString() + "_K27_00002.json";
    EXPECT_EQ(Load(k2).ctrlId, MakeId(327, 2)) << r.out;
    // An earlier file of the same name stays without --force.
    r = Cli(net, {"backup", "--all", "-o", dir});
    EXPECT_EQ(r.rc, 1) << r.out;
    EXPECT_NE(r.out.find("zapisano 0 z 2; pominięto: K27_00001 (plik"), std::string::npos) << r.out;
    EXPECT_EQ(Cli(net, {"backup", "--all", "-o", dir, "--force"}).rc, 0);
  }
  SimLan net("cliA");
  std::string devs;
  for (int i = 0; i < kMaxDevices + 2; ++i)
    devs += (i ? ", " : "") + controller(100 + i, 10 + i, "");
  net.StartSim(R"({"devices": [)" + devs + "]}");
  const CliRun r = Cli(net, {"report", "--all", "-o", net.lab.File("rep")});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("zbiór urządzeń jest pełny (100 urządzeń"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("zapisano 100 z 102; pominięto: K27_"), std::string::npos) << r.out;
  EXPECT_EQ(Count(r.out, "poza pełnym zbiorem urządzeń"), 2u) << r.out;
}

// The exit status table, once per command: 0 success, 1 failure (diff: a difference),
// 2 usage (diff: any trouble); "-" for standard output and input.
TEST(E2ECli, ExitStatusOfEveryCommand) {
  E2E_REQUIRE_NETNS();
  SimLan net("clix");
  net.StartSim(Scenario());
  const std::string arc = net.lab.File("k5.json"), bad = net.lab.File("bad.json");
  EXPECT_EQ(Cli(net, {"list"}).rc, 0);
  EXPECT_EQ(Cli(net, {"list", "extra"}).rc, 2);
  EXPECT_EQ(Cli(net, {"show", "K27_00005"}).rc, 0);
  CliRun r = Cli(net, {"show", "K27_00077"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("(feldaro-cli list pokaże urządzenia w sieci)"), std::string::npos) << r.out;
  EXPECT_EQ(Cli(net, {"report", "K27_00005", "--output=" + net.lab.File("r.txt")}).rc, 0);
  EXPECT_EQ(Cli(net, {"report", "K27_00005", "-o", "a", "-o", "b"}).rc, 2);
  ASSERT_EQ(::mkfifo(net.lab.File("fifo").c_str(), 0600), 0);
  r = Cli(net, {"report", "K27_00005", "-o", net.lab.File("fifo")});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("potok nazwany"), std::string::npos) << r.out;
  r = Cli(net, {"backup", "K27_00005", "-o", "-"});
  EXPECT_EQ(r.rc, 0);
  WriteFile(arc, r.out);
  EXPECT_EQ(Load(arc).ctrlId, MakeId(327, 5));
  EXPECT_EQ(Cli(net, {"backup", "--", "K27_00005"}).rc, 2);  // no -o
  EXPECT_EQ(Cli(net, {"show", "--", "K27_00005"}).rc, 0);
  EXPECT_EQ(Cli(net, {"diff", arc, "K27_00005"}).rc, 0);
  WriteFile(bad, "{\"format\": ");
  EXPECT_EQ(Cli(net, {"diff", bad, "K27_00005"}).rc, 2);
  EXPECT_EQ(Cli(net, {"diff", arc, "K27_00077"}).rc, 2);
  ASSERT_TRUE(LikeTheWindow(net, true));
  r = Cli(net, {"diff", arc, "K27_00005", "--json"});
  EXPECT_EQ(r.rc, 1) << r.out;
  WriteFile(net.lab.File("diff.json"), r.out);
  const std::string check =
      "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
      "sys.exit(not (d[\"same\"] is False and d[\"changes\"] == [{\"passage\": 2, "
      "\"field\": \"Rygiel\", \"from\": \"K27_00005:Out2\", \"to\": \"Z20_00201:Out1\"}]))' " +
      net.lab.File("diff.json");
  EXPECT_EQ(std::system(check.c_str()), 0) << r.out;
  Proc in(net.tool,
          {"/bin/sh", "-c",
           std::string(FELDARO_CLI_BIN) + " restore - K27_00005 --dry-run --json < " + arc},
          net.lab.File("stdin.out"));
  EXPECT_EQ(ExitOf(in), 0) << ReadFile(net.lab.File("stdin.out"));
  EXPECT_NE(ReadFile(net.lab.File("stdin.out")).find("\"write\": true"), std::string::npos);
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00005"}).rc, 1);  // no terminal, no --yes
  EXPECT_EQ(Cli(net, {"restore", arc, "K27_00005", "--map", "R05_00101"}).rc, 2);
  EXPECT_EQ(Writes(net, "K27_00005"), 1u);  // the window's only
  EXPECT_EQ(Cli(net, {"help", "nosuch"}).rc, 2);
  EXPECT_EQ(Cli(net, {"help", "restore"}).rc, 0);
  r = Cli(net, {"restore", "x", "-V"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("feldaro-cli (Feldaro "), std::string::npos) << r.out;
}

// A file the user prepared is not replaced by accident: -o onto an existing file is refused
// before anything is sent, naming --force, and the file stays; with --force it is replaced.
TEST(E2ECli, AnExistingFileIsReplacedOnlyWithForce) {
  E2E_REQUIRE_NETNS();
  SimLan net("clif");
  net.StartSim(Scenario());
  const std::string prepared = net.lab.File("prepared.json");
  const std::string kept = "{\"site\": \"etykiety przygotowane przy biurku\"}\n";
  auto received = [&] {
    size_t n = 0;
    for (const LogLine& l : ReadSimLog(net.log)) n += l.dir == "RX";
    return n;
  };
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"backup", "K27_00005", "-o", prepared},
                                             {"report", "K27_00005", "-o", prepared},
                                             {"site", "capture", "-o", prepared},
                                             {"doc", "K27_00005", "-o", prepared}}) {
    WriteFile(prepared, kept);
    const size_t before = received();
    CliRun r = Cli(net, args);
    EXPECT_EQ(r.rc, 1) << args[0] << ": " << r.out;
    EXPECT_NE(
        r.out.find("plik " + prepared + " już istnieje; --force go zastąpi. Nic nie zapisano."),
        std::string::npos)
        << r.out;
    EXPECT_EQ(ReadFile(prepared), kept) << args[0];
    EXPECT_EQ(received(), before) << args[0] << " sent something before refusing";
    args.push_back("--force");
    r = Cli(net, args);
    EXPECT_EQ(r.rc, 0) << args[0] << ": " << r.out;
    EXPECT_NE(ReadFile(prepared), kept) << args[0];
  }
}

namespace {

// Lines of the impostor's log: signed frames and key requests that reached its addresses.
std::vector<std::string> SessionFramesToImpostor(const SimLan& net) {
  std::vector<std::string> out;
  for (const LogLine& l : ReadSimLog(net.impLog))
    if (l.dir == "RX" && l.to != "255.255.255.255" && (l.tag == "MMDC" || l.tag == "MMDK"))
      out.push_back(l.raw);
  return out;
}

}  // namespace

TEST(E2ECli, ImpostorNeverGetsTheSessionAndTwoAddressesStopTheRestore) {
  E2E_REQUIRE_NETNS();
  SimLan net("cimp");
  net.StartSim(Scenario(), /*console=*/true);
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  // The controller moves away from the archive, so the restore has something to write.
  net.Console("param K27_00005 1 6 40");
  // Another host claims K27_00005: from 10.77.0.66 it sends forged key material to the tool
  // every 100 ms and answers discovery only long after any command's wait for late answers;
  // from 10.77.0.67, hidden for now, it answers discovery at once.
  const std::string k5 = R"("type": 327, "serial": 5, "mode": "Serwis")";
  net.StartImpostor(R"({"devices": [
    {)" + k5 + R"(, "address": "10.77.0.66", "discoveryDelayMs": 60000,
     "impostor": {"announceMs": 100, "forge": "K"}},
    {)" + k5 + R"(, "address": "10.77.0.67", "hidden": true, "impostor": true}]})",
                    /*console=*/true);

  // The restore while the impostor talks: the write reaches the controller.
  const size_t before = ReadSimLog(net.log).size();
  CliRun r = Cli(net, {"restore", arc, "K27_00005", "--yes"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("odczyt kontrolny zgodny z zapisem"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005", before), 1u);
  size_t forged = 0;
  for (const LogLine& l : ReadSimLog(net.impLog)) forged += l.dir == "TX" && l.tag == "MMDK";
  EXPECT_GE(forged, 4u) << "the impostor did not speak during the restore";

  // The other impostor answers within the search: `list` shows both addresses, nothing is
  // sent, the words say why.
  net.ImpostorConsole("appear 1");
  r = Cli(net, {"list"});
  EXPECT_EQ(r.rc, 0) << r.out;
  // First seen in one search, either may be the first address.
  EXPECT_TRUE(r.out.find(" K27_00005,  10.77.0.10,  Serwis,  drugi adres: 10.77.0.67") !=
                  std::string::npos ||
              r.out.find(" K27_00005,  10.77.0.67,  Serwis,  drugi adres: 10.77.0.10") !=
                  std::string::npos)
      << r.out;
  const size_t before2 = ReadSimLog(net.log).size();
  r = Cli(net, {"restore", arc, "K27_00005", "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  const bool either = r.out.find("K27_00005 odpowiada z dwóch adresów: 10.77.0.10, 10.77.0.67") !=
                          std::string::npos ||
                      r.out.find("K27_00005 odpowiada z dwóch adresów: 10.77.0.67, 10.77.0.10") !=
                          std::string::npos;
  EXPECT_TRUE(either) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005", before2), 0u);

  const std::vector<std::string> leaked = SessionFramesToImpostor(net);
  EXPECT_TRUE(leaked.empty()) << leaked.size()
                              << " session frames reached the impostor, first: " << leaked.front();
}

TEST(E2ECli, ASlowControllerIsComparedBeforeAnySession) {
  E2E_REQUIRE_NETNS();
  SimLan net("cslow");
  // The controller answers every search 400 ms late; another host, in its name, at once.
  std::string sc = Scenario();
  sc.insert(sc.find("\"trainNumber\": 77") + 17, ", \"discoveryDelayMs\": 400");
  net.StartSim(sc, /*console=*/true);
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  net.Console("param K27_00005 1 6 40");  // something for the restore to write
  net.StartImpostor(
      R"({"devices": [{"type": 327, "serial": 5, "mode": "Serwis", "address": "10.77.0.66",
                       "bus": [{"self": true}], "doors": [{}], "impostor": true}]})");
  const size_t before = ReadSimLog(net.log).size();
  const std::vector<std::vector<std::string>> runs = {{"restore", arc, "K27_00005", "--yes"},
                                                      {"show", "K27_00005"},
                                                      {"diff", arc, "K27_00005"},
                                                      {"backup", "K27_00005", "-o", "-"}};
  for (const std::vector<std::string>& args : runs) {
    const CliRun r = Cli(net, args);
    EXPECT_EQ(r.rc, args[0] == "diff" ? 2 : 1) << args[0] << ": " << r.out;
    EXPECT_NE(r.out.find("K27_00005 odpowiada z dwóch adresów: 10.77.0.66, 10.77.0.10"),
              std::string::npos)
        << args[0] << ": " << r.out;
  }
  EXPECT_EQ(Writes(net, "K27_00005", before), 0u);
  const std::vector<std::string> leaked = SessionFramesToImpostor(net);
  EXPECT_TRUE(leaked.empty()) << leaked.size()
                              << " frames reached the other host, first: " << leaked.front();
}

TEST(E2ECli, AnotherAddressThanTheArchivesIsShownAndNeedsConsentWithYes) {
  E2E_REQUIRE_NETNS();
  SimLan net("caddr");
  net.StartSim(Scenario(), /*console=*/true);
  const std::string arc = net.lab.File("k5.json");
  ASSERT_EQ(Cli(net, {"backup", "K27_00005", "-o", arc}).rc, 0);
  // The archive was taken when the controller had another address (a DHCP lease since).
  std::string text = ReadFile(arc);
  text.replace(text.find("\"10.77.0.10\""), 12, "\"10.77.0.5\"");
  WriteFile(arc, text);
  net.Console("param K27_00005 1 6 40");
  const size_t before = ReadSimLog(net.log).size();
  CliRun r = Cli(net, {"restore", arc, "K27_00005", "--dry-run"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("):\nadres: 10.77.0.5 -> 10.77.0.10\nPrzejście 1:"), std::string::npos)
      << r.out;
  r = Cli(net, {"restore", arc, "K27_00005", "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("(adres: 10.77.0.5 -> 10.77.0.10); jeśli zmiana adresu jest oczekiwana, "
                       "dodaj --address-changed."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Writes(net, "K27_00005", before), 0u);
  r = Cli(net, {"restore", arc, "K27_00005", "--yes", "--address-changed"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005", before), 1u);
}
