// feldaro-cli site over real UDP against feldaro-sim: capture a segment into a plan, change
// two controllers behind its back, check (exactly those differences), apply (only those two
// written, read back equal), check again; the other states of a check; apply's refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "config/devname.h"
#include "config/plan.h"
#include "e2e_env.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"

using namespace std::chrono;

namespace {

// Three controllers, each with itself and a reader on the bus and two passages; a fourth
// (K27_00021) hidden until a test lets it appear.
std::string Scenario() {
  std::string devs;
  const int serials[4] = {5, 9, 12, 21};
  for (int k = 0; k < 4; ++k) {
    const std::string s = std::to_string(serials[k]);
    devs += std::string(k ? ",\n" : "") + R"({"type": 327, "serial": )" + s +
            R"(, "address": "10.77.0.)" + std::to_string(10 + k) + R"(", "mode": "Serwis",)" +
            (k == 3 ? R"( "hidden": true,)" : "") +
            R"( "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true},
                        {"type": 5, "serial": )" +
            std::to_string(100 + serials[k]) + R"(, "suffix": "A", "number": 1}],
              "doors": [{"outputs": [{"slot": 0, "index": 0}], "inputs": [null, {"slot": 0, "index": 1}],
                         "readers": [{"slot": 1, "index": 0}], "doorType": 1, "boltPulse": 10,
                         "openTime": 30},
                        {"readers": [{"slot": 0, "index": 0}], "doorType": 2}]})";
  }
  // Every request takes the controller 20 ms, one after the other, as on a real one.
  return R"({"processingMs": 20, "devices": [)" + devs + "]}";
}

CliRun Cli(SimLan& net, std::vector<std::string> args) {
  args.insert(args.begin(), FELDARO_CLI_BIN);
  return RunIn(net, std::move(args), seconds(60));
}

// Another tool changes a controller: read it, change, write, end the session.
void ChangeController(SimLan& net, const std::string& name,
                      const std::function<void(CtrlCfg&)>& change) {
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  SystemClock clock;
  LinkBinding bind(*ep, clock);
  auto set = std::make_unique<UdpDevSet>();
  set->Search();
  for (int i = 0; i < set->count; ++i) {
    UdpDev& d = set->dev[i];
    if (DevName(d.id) != name) continue;
    ASSERT_TRUE(d.ReadStatus());
    auto cfg = std::make_unique<CtrlCfg>();
    d.ReadConfig(*cfg);
    change(*cfg);
    d.WriteConfig(*cfg);
    set->EndSessions();
    return;
  }
  FAIL() << name << " not found";
}

// The lines of a check's output, without the summary.
std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> v;
  std::istringstream is(out);
  for (std::string l; std::getline(is, l);)
    if (l.rfind("Plan ", 0) != 0) v.push_back(l);
  return v;
}

}  // namespace

TEST(E2ESite, CaptureChangeTwoCheckApplyCheck) {
  E2E_REQUIRE_NETNS();
  SimLan net("site");
  net.StartSim(Scenario());
  const std::string plan = net.lab.File("plan.json");
  CliRun r = Cli(net, {"site", "capture", "-o", plan, "--name", "Hala \"Zachód\"", "--location",
                       "ul. Polna 1"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("3 z 3 kontrolerów"), std::string::npos) << r.out;
  SitePlan p;
  std::string why;
  ASSERT_TRUE(LoadPlan(plan, p, why)) << why;
  ASSERT_EQ(p.ctrls.size(), 3u);
  EXPECT_EQ(p.site.name, "Hala \"Zachód\"");
  EXPECT_EQ(p.site.address, "ul. Polna 1");
  EXPECT_EQ(DevName(p.ctrls[2].arc.ctrlId), "K27_00012");
  for (const PlanCtrl& c : p.ctrls) {
    // Each entry holds its own controller's answers (its own reader on the bus).
    ASSERT_EQ(c.arc.devices.size(), 2u);
    EXPECT_EQ(DevName(c.arc.devices[1].id),
              "R05_00" + std::to_string(100 + IdSerial(c.arc.ctrlId)));
  }
  // The controllers were read at once: all three sessions opened before any passages read.
  std::set<std::string> sessions;
  for (const LogLine& l : ReadSimLog(net.log)) {
    if (l.dir != "RX") continue;
    if (l.tag == "MMDK") sessions.insert(l.id);
    if (l.tag == "MMDC" && l.cmd == "C") break;
  }
  EXPECT_EQ(sessions.size(), 3u) << "the controllers were read one after the other";

  r = Cli(net, {"site", "check", plan});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"K27_00005: zgodny", "K27_00009: zgodny",
                                                    "K27_00012: zgodny"}));

  // Two controllers change behind the plan's back.
  ChangeController(net, "K27_00005", [](CtrlCfg& c) { c.doors[0].params[kParBoltPulse] = 20; });
  ChangeController(net, "K27_00012", [](CtrlCfg& c) { SetOutput(c, 1, 0, IoRef(0x0001), 0); });
  r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"K27_00005: różni się",
                                      "  Przejście 1:", "    Impuls otwarcia rygla: 10 s -> 5 s",
                                      "K27_00009: zgodny", "K27_00012: różni się",
                                      "  Przejście 2:", "    Rygiel: K27_00012:Out2 -> ---"}))
      << r.out;
  // The same in JSON.
  r = Cli(net, {"site", "check", plan, "--json"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.out.find("\"state\": \"differs\""), std::string::npos) << r.out;

  // Nothing is written on a dry run or without a confirmation.
  const size_t before5 = Writes(net, "K27_00005"), before12 = Writes(net, "K27_00012");
  r = Cli(net, {"site", "apply", plan, "--dry-run"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("Impuls otwarcia rygla: 10 s -> 5 s"), std::string::npos) << r.out;
  EXPECT_EQ(Cli(net, {"site", "apply", plan}).rc, 1);
  EXPECT_EQ(Writes(net, "K27_00005"), before5);
  EXPECT_EQ(Writes(net, "K27_00012"), before12);

  r = Cli(net, {"site", "apply", plan, "--yes"});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("K27_00009: zgodny z planem, nic do zapisania"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("zapisano 2, zgodnych bez zapisu 1, nie doprowadzono do zgodności 0"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), before5 + 1);
  EXPECT_EQ(Writes(net, "K27_00012"), before12 + 1);
  EXPECT_EQ(Writes(net, "K27_00009"), 0u) << "wrote to a controller that agreed";
  r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 0) << r.out;
}

TEST(E2ESite, CheckNamesMissingUnreadableAndForeignControllers) {
  E2E_REQUIRE_NETNS();
  SimLan net("sites");
  net.StartSim(Scenario(), true);
  const std::string plan = net.lab.File("plan.json");
  ASSERT_EQ(Cli(net, {"site", "capture", "-o", plan}).rc, 0);
  net.Console("hide K27_00009");
  net.Console("appear K27_00021");
  CliRun r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"K27_00005: zgodny",
                                      "K27_00009: brak w sieci (zastąpiony? użyj --map "
                                      "K27_00009=K27_00021)",
                                      "K27_00012: zgodny", "K27_00021: spoza planu (tryb Serwis)"}))
      << r.out;
  net.Console("mode K27_00012 0");
  r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 2) << r.out;
  EXPECT_NE(r.out.find("K27_00012: nie do odczytu (tryb Blokada)\n"), std::string::npos) << r.out;

  // Apply brings in line what it can and says which it could not.
  r = Cli(net, {"site", "apply", plan, "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("nie doprowadzono do zgodności 2 (K27_00009, K27_00012)"), std::string::npos)
      << r.out;
  // A controller the plan lacks, and a refused plan, are refused before anything is sent.
  r = Cli(net, {"site", "apply", plan, "K27_00021", "--yes"});
  EXPECT_EQ(r.rc, 2) << r.out;
  WriteFile(plan,
            ReadFile(plan).replace(ReadFile(plan).find("\"version\": 1"), 12, "\"version\": 7"));
  r = Cli(net, {"site", "apply", plan, "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("nieobsługiwana wersja planu obiektu 7"), std::string::npos) << r.out;
  r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 2) << "a refused plan is trouble, not drift: " << r.out;
  for (const char* d : {"K27_00005", "K27_00009", "K27_00012", "K27_00021"})
    EXPECT_EQ(Writes(net, d), 0u) << d;
}

// The principle of the write: the list of changes shown is checked against a fresh read just
// before each write. A controller whose bus changed while the question was open gets nothing;
// the other one is written.
TEST(E2ESite, ApplySendsNothingToAControllerThatChangedWhileTheQuestionWasOpen) {
  E2E_REQUIRE_NETNS();
  SimLan net("sitew");
  net.StartSim(Scenario(), true);
  const std::string plan = net.lab.File("plan.json");
  ASSERT_EQ(Cli(net, {"site", "capture", "-o", plan}).rc, 0);
  ChangeController(net, "K27_00005", [](CtrlCfg& c) { c.doors[0].params[kParBoltPulse] = 20; });
  ChangeController(net, "K27_00012", [](CtrlCfg& c) { c.doors[0].params[kParOpenTime] = 40; });
  // A terminal for the question: script(1) gives the program one and passes our input on.
  const std::string out = net.lab.File("asked.out");
  Proc p(net.tool,
         {"/usr/bin/script", "-qec", std::string(FELDARO_CLI_BIN) + " site apply " + plan,
          "/dev/null"},
         out, true);
  const auto end = steady_clock::now() + seconds(20);
  while (ReadFile(out).find("[t/N]") == std::string::npos && steady_clock::now() < end)
    std::this_thread::sleep_for(milliseconds(20));
  ASSERT_NE(ReadFile(out).find("[t/N]"), std::string::npos) << ReadFile(out);
  EXPECT_NE(ReadFile(out).find("Zapisać zmiany do 2 kontrolerów (K27_00005, K27_00012)?"),
            std::string::npos)
      << ReadFile(out);
  // Meanwhile a reader is added on K27_00005's bus.
  net.Console("add K27_00005 5 150");
  p.Write("t\n");
  int st = 0;
  ASSERT_TRUE(p.Wait(seconds(30), st));
  const std::string text = ReadFile(out);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st << text;
  EXPECT_NE(text.find("K27_00005: nic nie wysłano: konfiguracja kontrolera zmieniła się od "
                      "odczytu (lista urządzeń magistrali)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("K27_00012: zapisano"), std::string::npos) << text;
  EXPECT_NE(text.find("nie doprowadzono do zgodności 1 (K27_00005)"), std::string::npos) << text;
  EXPECT_EQ(Writes(net, "K27_00005"), 1u) << "only the other tool's change was written";
  EXPECT_EQ(Writes(net, "K27_00012"), 2u);
}

// --map names devices in any letter case: a reader replaced on a controller's bus takes the
// planned one's passages, and only that controller is written.
TEST(E2ESite, ApplyMapsAReplacedReaderGivenInLowerCase) {
  E2E_REQUIRE_NETNS();
  SimLan net("sitem");
  net.StartSim(Scenario(), true);
  const std::string plan = net.lab.File("plan.json");
  CliRun r = Cli(net, {"site", "capture", "-o", plan});
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("odczytano K27_00005: 2 urządzenia, 2 przejścia\n"), std::string::npos)
      << r.out;
  net.Console("add K27_00005 5 150");
  r = Cli(net, {"site", "apply", plan, "K27_00005", "--yes", "--map", "r05_00105=r05_00150"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("nie doprowadzono do zgodności 0 z 1 kontrolera planu."), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Czytnik 1: R05_00105:Rd1 -> R05_00150:Rd1"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), 1u) << r.out;
  EXPECT_EQ(Writes(net, "K27_00009"), 0u);
  EXPECT_EQ(Cli(net, {"site", "apply", plan, "--yes", "--map", "r05_00105=nowy"}).rc, 2);
  // A plan that is not there: the path once, the reason in Polish.
  const std::string none = net.lab.File("brak.json");
  r = Cli(net, {"site", "check", none});
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(r.out, "feldaro-cli: plan obiektu " + none +
                       " odrzucony: nie ma takiego pliku ani katalogu. Nic nie sprawdzono.\n");
  EXPECT_EQ(Writes(net, "K27_00005"), 1u);
}

// A controller is written only when the user named it. An address names no entry of a plan
// (the one on record may belong to another controller by now); a reader never stands for a
// controller; a plan entry whose name answers under another identifier is not taken for it
// unless --map says so, and then the difference is shown.
TEST(E2ESite, ApplyWritesOnlyTheControllerTheUserNamed) {
  E2E_REQUIRE_NETNS();
  SimLan net("siten");
  net.StartSim(Scenario(), true);
  const std::string plan = net.lab.File("plan.json");
  ASSERT_EQ(Cli(net, {"site", "capture", "-o", plan}).rc, 0);
  SitePlan p;
  std::string why;
  ASSERT_TRUE(LoadPlan(plan, p, why)) << why;
  // Recorded at each other's address, K27_00012's entry for a suffix-B controller.
  std::swap(p.ctrls[0].arc.ctrlAddress, p.ctrls[1].arc.ctrlAddress);
  Archive& e12 = p.ctrls[2].arc;
  const uint32_t asRead = e12.ctrlId, suffixB = asRead | (1u << 26);
  e12.ctrlId = e12.devices[0].id = suffixB;
  e12.cfg = MapDevices(e12.cfg, {{asRead, suffixB}});
  ASSERT_TRUE(SavePlan(plan, p, why)) << why;
  for (const char* d : {"K27_00005", "K27_00009", "K27_00012"})
    ChangeController(net, d, [](CtrlCfg& c) { c.doors[0].params[kParBoltPulse] = 20; });
  const size_t from = ReadSimLog(net.log).size();

  CliRun r = Cli(net, {"site", "apply", plan, "10.77.0.10", "--yes"});
  EXPECT_EQ(r.rc, 2) << r.out;
  EXPECT_NE(r.out.find("site apply wskazuje kontroler tylko nazwą"), std::string::npos) << r.out;
  r = Cli(net, {"site", "apply", plan, "--map", "R05_00105=K27_00009", "--yes"});
  EXPECT_EQ(r.rc, 2) << r.out;
  EXPECT_NE(r.out.find("K27_00009 nie jest urządzeniem tego samego modelu co R05_00105"),
            std::string::npos)
      << r.out;

  r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 1) << r.out;
  const std::string pair =
      "K27_00012: brak w sieci (pod 10.77.0.12 odpowiada K27_00012 o innym identyfikatorze: "
      "litera sufiksu A, w planie B; użyj --map K27_00012=K27_00012)";
  EXPECT_EQ(Lines(r.out).back(), pair) << r.out;
  EXPECT_EQ(r.out.find("spoza planu ("), std::string::npos) << r.out;
  r = Cli(net, {"site", "apply", plan, "K27_00012", "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("nie do zastosowania: brak w sieci (pod 10.77.0.12"), std::string::npos)
      << r.out;
  for (const char* d : {"K27_00005", "K27_00009", "K27_00012"})
    EXPECT_EQ(Writes(net, d, from), 0u) << d << " was not named";

  r = Cli(net, {"site", "apply", plan, "--map", "k27_00012=K27_00012", "K27_00012", "--yes"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("K27_00012 -> K27_00012 (litera sufiksu A, w planie B): zapisano"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Writes(net, "K27_00012", from), 1u);
  EXPECT_EQ(Writes(net, "K27_00005", from) + Writes(net, "K27_00009", from), 0u);
}

TEST(E2ESite, AnotherAddressThanThePlansIsADifferenceAndNeedsConsentWithYes) {
  E2E_REQUIRE_NETNS();
  SimLan net("saddr");
  net.StartSim(Scenario());
  const std::string plan = net.lab.File("plan.json");
  ASSERT_EQ(Cli(net, {"site", "capture", "-o", plan}).rc, 0);
  // The plan recorded K27_00005 at another address, and the controller changed since.
  std::string text = ReadFile(plan);
  text.replace(text.find("\"10.77.0.10\""), 12, "\"10.77.0.5\"");
  WriteFile(plan, text);
  ChangeController(net, "K27_00005", [](CtrlCfg& c) { c.doors[0].params[kParBoltPulse] = 20; });
  CliRun r = Cli(net, {"site", "check", plan});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_EQ(Lines(r.out),
            (std::vector<std::string>{"K27_00005: różni się", "  adres: 10.77.0.5 -> 10.77.0.10",
                                      "  Przejście 1:", "    Impuls otwarcia rygla: 10 s -> 5 s",
                                      "K27_00009: zgodny", "K27_00012: zgodny"}))
      << r.out;
  const size_t before = Writes(net, "K27_00005");
  r = Cli(net, {"site", "apply", plan, "--yes"});
  EXPECT_EQ(r.rc, 1) << r.out;
  EXPECT_NE(r.out.find("zmiany (kontroler -> plan):\n  adres: 10.77.0.5 -> 10.77.0.10\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("dodaj --address-changed"), std::string::npos) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), before);
  r = Cli(net, {"site", "apply", plan, "--yes", "--address-changed"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(Writes(net, "K27_00005"), before + 1);
}
