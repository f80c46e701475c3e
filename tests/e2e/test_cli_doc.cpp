// feldaro-cli doc over real UDP against feldaro-sim in network namespaces: the segment's
// documentation with one controller that cannot be read (listed as missing, exit 1, the
// document made all the same), one controller to standard output, no display anywhere.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/plan.h"
#include "e2e_env.h"

using namespace std::chrono;

namespace {

// K27_00005 readable (Serwis); K27_00009 in mode Konfiguration, which allows no read.
const char* const kScenario = R"({"devices": [
    {"type": 327, "serial": 5, "address": "10.77.0.10", "mode": "Serwis", "trainNumber": 77,
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true},
             {"type": 5, "serial": 101, "suffix": "A", "number": 1},
             {"type": 220, "serial": 201, "suffix": "B", "number": 1, "outputs": 2}],
     "doors": [{"outputs": [{"slot": 0, "index": 0}, null, {"slot": 0, "index": 3, "nc": true}],
                "inputs": [null, {"slot": 0, "index": 1, "nc": true}],
                "readers": [{"slot": 1, "index": 0}],
                "doorType": 1, "boltPulse": 10, "openTime": 30, "airlock": 1},
               {"outputs": [{"slot": 2, "index": 0}, null, {"slot": 0, "index": 3, "nc": true}],
                "readers": [{"slot": 0, "index": 0}], "doorType": 2}]},
    {"type": 327, "serial": 9, "address": "10.77.0.11", "mode": "Konfiguracja",
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2}], "doors": [{}]}]})";

int Sh(SimLan& net, const std::string& cmd, std::string& out) {
  static int n = 0;
  const std::string file = net.lab.File("doc" + std::to_string(++n) + ".out");
  // No display in the namespace, and none asked for: the command must not need one.
  Proc p(net.tool, {"/bin/sh", "-c", "unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM; " + cmd}, file,
         false);
  int st = 0;
  int rc = -1;
  if (p.Wait(seconds(60), st)) rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  out = ReadFile(file);
  return rc;
}

std::string PdfText(const std::string& pdf, int page = 0) {
  const std::string range =
      page ? " -f " + std::to_string(page) + " -l " + std::to_string(page) : std::string();
  std::string out;
  FILE* f = popen(("pdftotext -layout -enc UTF-8" + range + " '" + pdf + "' -").c_str(), "r");
  if (!f) return out;
  char buf[4096];
  size_t k;
  while ((k = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, k);
  pclose(f);
  // One blank for any run of blanks and line ends.
  std::string flat;
  for (char c : out) {
    const bool blank = c == ' ' || c == '\n' || c == '\f';
    if (!blank || (!flat.empty() && flat.back() != ' ')) flat += blank ? ' ' : c;
  }
  return flat;
}

}  // namespace

TEST(E2ECliDoc, SegmentDocumentListsTheUnreadableControllerAndExitsOne) {
  E2E_REQUIRE_NETNS();
  SimLan net("clidoc");
  net.StartSim(kScenario);
  const std::string pdf = net.lab.File("obiekt.pdf");
  std::string out;
  const int rc = Sh(net,
                    std::string(FELDARO_CLI_BIN) + " doc --all -o '" + pdf +
                        "' --installer 'Jan Łęcki' --location 'ul. Źródlana 5, Łódź'",
                    out);
  EXPECT_EQ(rc, 1) << out;
  EXPECT_NE(out.find("nie odczytano K27_00009"), std::string::npos) << out;
  // The closing line counts as the cover page does: every controller, and those not read.
  EXPECT_NE(out.find(" (kontrolery: 2 (nieodczytane: 1), przejścia: "), std::string::npos) << out;
  const std::string cover = PdfText(pdf, 1);
  ASSERT_FALSE(cover.empty()) << "no document: " << out;
  EXPECT_NE(cover.find("Jan Łęcki"), std::string::npos) << cover;
  EXPECT_NE(cover.find("ul. Źródlana 5, Łódź"), std::string::npos) << cover;
  EXPECT_NE(cover.find("Kontrolery: 2 (nieodczytane: 1)"), std::string::npos) << cover;
  EXPECT_NE(cover.find("Kontrolery nieodczytane K27_00009 (10.77.0.11): tryb Konfiguracja"),
            std::string::npos)
      << cover;
  const std::string all = PdfText(pdf);
  EXPECT_NE(all.find("Kontroler K27_00005"), std::string::npos);
  EXPECT_NE(all.find("Nr pociągu: 77"), std::string::npos);
  EXPECT_NE(all.find("Rygiel K27_00005:Out1 Z20_00201:Out1"), std::string::npos) << all;
  EXPECT_NE(all.find("K27_00005 Out1 → Przejście 1, Rygiel"), std::string::npos);
  EXPECT_NE(all.find("K27_00005 Out4 → Przejście 1, Alarm, NC; Przejście 2, Alarm, NC"),
            std::string::npos);
  EXPECT_NE(all.find("K27_00005 In2 → Przejście 1, Czujnik otwarcia, NC"), std::string::npos);
  EXPECT_NE(all.find("R05_00101 Rd1 → Przejście 1, Czytnik 1"), std::string::npos);
  EXPECT_NE(all.find("Z20_00201 Out2 – wolne"), std::string::npos);
}

TEST(E2ECliDoc, OneControllerToStandardOutput) {
  E2E_REQUIRE_NETNS();
  SimLan net("clidoc1");
  net.StartSim(kScenario);
  const std::string pdf = net.lab.File("k5.pdf");
  std::string out;
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc K27_00005 -o - > '" + pdf + "'", out), 0)
      << out;
  EXPECT_EQ(ReadFile(pdf).rfind("%PDF-", 0), 0u);
  const std::string all = PdfText(pdf);
  EXPECT_NE(all.find("Kontroler K27_00005"), std::string::npos) << all;
  EXPECT_EQ(all.find("K27_00009"), std::string::npos);

  // The controller that cannot be read alone: a document that says so, and exit 1.
  const std::string k9 = net.lab.File("k9.pdf");
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc K27_00009 -o '" + k9 + "'", out), 1)
      << out;
  EXPECT_NE(PdfText(k9).find("Nie odczytano: tryb Konfiguracja"), std::string::npos);
}

// --all reaches every controller as backup --all does: one whose first discovery answers are
// lost is in the document all the same, and the run succeeds. Wrong use is status 2.
TEST(E2ECliDoc, AllReachesALossyControllerAndUsageIsTwo) {
  E2E_REQUIRE_NETNS();
  SimLan net("clidocl");
  net.StartSim(R"({"devices": [
      {"type": 327, "serial": 1, "address": "10.77.0.10", "bus": [{"self": true}], "doors": [{}]},
      {"type": 327, "serial": 2, "address": "10.77.0.11", "bus": [{"self": true}], "doors": [{}],
       "discoveryLoss": 2}]})");
  const std::string pdf = net.lab.File("all.pdf");
  std::string out;
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc --all -o '" + pdf + "'", out), 0) << out;
  const std::string all = PdfText(pdf);
  EXPECT_NE(all.find("Kontroler K27_00001"), std::string::npos) << all;
  EXPECT_NE(all.find("Kontroler K27_00002"), std::string::npos) << out << all;
  EXPECT_NE(out.find("kontrolery: 2,"), std::string::npos) << out;
  EXPECT_EQ(out.find("pominięto"), std::string::npos) << out;

  const std::string x = net.lab.File("x.pdf");
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc --all", out), 2) << out;  // no -o
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc --all K27_00001 -o '" + x + "'", out), 2)
      << out;
  EXPECT_EQ(Sh(net, std::string(FELDARO_CLI_BIN) + " doc -o '" + x + "'", out), 2) << out;
  EXPECT_EQ(ReadFile(x), "") << "a file was made";
}

// A site plan is documented from the file alone: no network, the site from the plan, the
// installer given on the command line. Wrong use is refused with status 2 and no file.
TEST(E2ECliDoc, PlanFromTheFileAloneAndUsageErrors) {
  const std::string dir = "/tmp/feldaro-clidoc-" + std::to_string(getpid());
  ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
  SitePlan plan;
  plan.site = {"Biurowiec Źródlana", "ul. Żeglarska 3, Gdańsk", "Anna Nowak", ""};
  plan.created = plan.modified = "2024-03-05T10:00:00Z";
  plan.tool = "Feldaro 1.2.1";
  Archive arc;
  std::string err;
  ASSERT_TRUE(ParseArchive(R"({"format": "feldaro-archive", "version": 1, "tool": "Feldaro 1.2.1",
    "created": "2024-03-05T10:00:00Z", "controller": {"id": 558301189, "address": "10.77.0.10",
    "mode": 2}, "devices": [{"slot": 0, "id": 558301189, "suffixNumber": 1, "state": 0,
    "outputs": 4, "inputs": 4, "readers": 2, "oc": true}], "passages": [{"number": 1,
    "outputs": [{"id": 558301189, "kind": "Out", "index": 0}, null, null, null],
    "inputs": [null, null, null, null, null, null, null, null, null, null],
    "readers": [null, null, null, null], "type": 1, "boltPulse": 10, "openTime": 30,
    "handleOpening": false, "fullBoltPulse": false, "airlock": null,
    "params": "0100000000000000"}], "trainNumber": 12, "raw": {"D": "", "C": ""}})",
                           arc, err))
      << err;
  plan.ctrls.push_back(PlanCtrl{"Budynek B, parter", arc});
  ASSERT_TRUE(SavePlan(dir + "/plan.json", plan, err)) << err;
  const std::string cli = std::string(FELDARO_CLI_BIN) + " doc ";
  auto run = [&](const std::string& args) {
    const std::string cmd = "unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM; " + cli + args + " >" +
                            dir + "/out.txt 2>&1";
    const int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  EXPECT_EQ(run("--plan " + dir + "/plan.json -o " + dir + "/plan.pdf --installer 'Jan Łęcki'"), 0)
      << ReadFile(dir + "/out.txt");
  const std::string text = PdfText(dir + "/plan.pdf");
  EXPECT_NE(text.find("Obiekt: Biurowiec Źródlana"), std::string::npos) << text;
  EXPECT_NE(text.find("Adres: ul. Żeglarska 3, Gdańsk"), std::string::npos);
  EXPECT_NE(text.find("Instalator: Jan Łęcki"), std::string::npos);
  EXPECT_NE(text.find("K27_00005 Budynek B, parter"), std::string::npos);  // contents
  EXPECT_NE(text.find("Nr pociągu: 12"), std::string::npos);
  EXPECT_NE(text.find("K27_00005 Out1 → Przejście 1, Rygiel"), std::string::npos);

  EXPECT_EQ(run("--plan " + dir + "/plan.json"), 2);  // no -o
  EXPECT_EQ(run("--all --plan " + dir + "/plan.json -o " + dir + "/x.pdf"), 2);
  EXPECT_EQ(run("K27_00005 --plan " + dir + "/plan.json -o " + dir + "/x.pdf"), 2);
  EXPECT_EQ(run("--plan " + dir + "/brak.json -o " + dir + "/x.pdf"), 1);
  // File errors in Polish, the path once.
  EXPECT_EQ(
      ReadFile(dir + "/out.txt"),
      "feldaro-cli: plan " + dir + "/brak.json odrzucony: nie ma takiego pliku ani katalogu\n");
  EXPECT_EQ(run("--plan " + dir + "/plan.json -o " + dir + "/brak/x.pdf"), 1);
  EXPECT_EQ(ReadFile(dir + "/out.txt"), "feldaro-cli: nie można zapisać pliku " + dir +
                                            "/brak/x.pdf: nie ma takiego pliku ani katalogu; "
                                            "nic nie zapisano\n");
  EXPECT_EQ(std::system(("test -e " + dir + "/x.pdf").c_str()), 256) << "a file was made";
  std::system(("rm -rf " + dir).c_str());
}

// A controller held in another party's session: the document gives the link's error alone,
// not the window's advice on what may have caused it.
TEST(E2ECliDoc, AnUnreadableControllerCarriesTheErrorAlone) {
  E2E_REQUIRE_NETNS();
  SimLan net("clidoh");
  net.StartSim(R"({"devices": [{"type": 327, "serial": 5, "address": "10.77.0.10",
      "mode": "Serwis", "foreignSession": true,
      "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2}], "doors": [{}]}]})");
  const std::string pdf = net.lab.File("k5.pdf");
  std::string out;
  Sh(net, std::string(FELDARO_CLI_BIN) + " doc K27_00005 -o '" + pdf + "'", out);
  const std::string all = PdfText(pdf);
  ASSERT_FALSE(all.empty()) << "no document: " << out;
  EXPECT_NE(all.find("Błąd nr 2"), std::string::npos) << all;
  EXPECT_NE(all.find("Kontroler ma obcą sesję."), std::string::npos) << all;
  EXPECT_EQ(all.find("Możliwe przyczyny"), std::string::npos) << all;
  EXPECT_EQ(all.find("30s"), std::string::npos) << all;
}
