// The as-built PDF read back with poppler: every controller, every passage's bolt in its
// column, every wiring line and the Polish letters come out of pdftotext; every font is
// embedded; the table of contents points at the pages where the controllers start.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cfg_builders.h"
#include "config/asbuilt.h"
#include "config/devname.h"
#include "doc/asbuiltpdf.h"

using namespace cfgtest;
namespace fs = std::filesystem;

namespace {

const std::string kPolish = "Zażółć gęślą jaźń – ŁÓDŹ, ĄĘŚĆŃ";

std::string Sh(const std::string& cmd) {
  std::string out;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  pclose(f);
  return out;
}

// Runs of blanks, line ends and page breaks as one blank.
std::string Flat(const std::string& s) {
  std::string out;
  for (char c : s) {
    const bool blank = c == ' ' || c == '\n' || c == '\f' || c == '\t' || c == '\r';
    if (blank) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(Flat(l));
  for (std::string& l : v) {
    if (!l.empty() && l.front() == ' ') l.erase(0, 1);
    if (!l.empty() && l.back() == ' ') l.pop_back();
  }
  return v;
}

// A controller with 16 passages over twelve readers and the controller's own terminals.
DocController BigController() {
  auto cfg = std::make_unique<CtrlCfg>();
  std::vector<DevSpec> devs = {{MakeId(327, 5), 1, 0, Info2(4, 2, true), 4}};
  for (int i = 0; i < 12; ++i)
    devs.push_back({MakeId(5, uint32_t(101 + i)), uint8_t(1 + i % 3),
                    uint8_t(i == 3   ? kStNew
                            : i == 7 ? kStInactive
                                     : 0),
                    Info2(2, 1), 3});
  std::vector<DoorSpec> doors(16);
  for (int k = 0; k < 16; ++k) {
    const int dev = 1 + k % 12, hi = k / 12;
    doors[size_t(k)].outputs[0] = Ref(dev, hi, k % 5 == 0);
    doors[size_t(k)].inputs[1] = Ref(dev, hi);
    doors[size_t(k)].inputs[0] = Ref(dev, 2, k % 2);
    if (k < 12) doors[size_t(k)].readers[0] = Ref(dev, 0);
    doors[size_t(k)].outputs[2] = Ref(0, 2, true);  // one alarm output for all
    doors[size_t(k)].params[kParBoltPulse] = uint8_t(4 + k);
    doors[size_t(k)].params[kParFlags] = k % 4 == 0 ? kFlagAirlock | kFlagHandle : 0;
  }
  doors[15].inputs[7] = Ref(0, 3);
  EXPECT_TRUE(Load(*cfg, devs, doors, true, 4321));
  return BuildControllerDoc(*cfg, DocIdentity{MakeId(327, 5), "10.77.0.10", 2, "Hala A"});
}

DocController SmallController() {
  auto cfg = std::make_unique<CtrlCfg>();
  std::vector<DevSpec> devs = {{MakeId(301, 77), 1, 0, Info2(4, 2), 4},
                               {MakeId(220, 301), 2, 0, Info2(2, 1, true), 2}};
  std::vector<DoorSpec> doors(2);
  doors[0].outputs[0] = Ref(1, 0, true);
  doors[0].inputs[1] = Ref(1, 1);
  doors[1].outputs[0] = Ref(0, 1);
  doors[1].readers[1] = Ref(0, 1);
  doors[1].params[kParType] = 4;
  EXPECT_TRUE(Load(*cfg, devs, doors));
  return BuildControllerDoc(*cfg, DocIdentity{MakeId(301, 77), "10.77.0.11", 3, kPolish});
}

class AsBuiltPdf : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("feldaro-doc-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    doc_.site = {"Biurowiec Źródlana", kPolish, "Jan Łęcki", "2024-03-05", "Feldaro 1.2.1"};
    doc_.controllers.push_back(BigController());
    doc_.controllers.push_back(SmallController());
    doc_.controllers.push_back(MissingControllerDoc(
        DocIdentity{MakeId(327, 42), "10.77.0.12", 1, ""},
        "tryb Konfiguracja; konfigurację można odczytać tylko w trybie Serwis lub Instalacja"));
    // More controllers than one contents page lists: the contents run over pages.
    for (int i = 0; i < 70; ++i) {
      DocController c = SmallController();
      c.ident.label = "Klatka " + std::to_string(i + 1);
      c.name = DevName(MakeId(301, uint32_t(1000 + i)));
      doc_.controllers.push_back(c);
    }
    pdf_ = (dir_ / "dok.pdf").string();
    std::string err;
    ASSERT_TRUE(WriteAsBuiltPdf(doc_, pdf_, err)) << err;
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir_);
  }

  std::string Text(int first = 0, int last = 0, const char* mode = "-layout") const {
    std::string range = first ? " -f " + std::to_string(first) + " -l " + std::to_string(last) : "";
    return Sh(std::string("pdftotext ") + mode + " -enc UTF-8" + range + " '" + pdf_ + "' -");
  }
  // The text of every page; pdftotext ends each page with a form feed.
  std::vector<std::string> PageTexts() const {
    std::vector<std::string> pages;
    const std::string all = Text();
    for (size_t from = 0, ff; (ff = all.find('\f', from)) != std::string::npos; from = ff + 1)
      pages.push_back(all.substr(from, ff - from));
    return pages;
  }
  int Pages() const {
    std::smatch m;
    const std::string info = Sh("pdfinfo '" + pdf_ + "'");
    return std::regex_search(info, m, std::regex("Pages:\\s+(\\d+)")) ? std::stoi(m[1]) : 0;
  }

  fs::path dir_;
  AsBuiltDoc doc_;
  std::string pdf_;
};

}  // namespace

TEST_F(AsBuiltPdf, TextComesBackWholeWithPolishLetters) {
  const std::string text = Text();
  ASSERT_FALSE(text.empty()) << "pdftotext gave nothing";
  const std::string flat = Flat(text);
  const std::vector<std::string> lines = Lines(text);
  EXPECT_NE(flat.find(kPolish), std::string::npos);
  EXPECT_NE(flat.find("Jan Łęcki"), std::string::npos);
  EXPECT_NE(flat.find("Biurowiec Źródlana"), std::string::npos);
  for (const DocController& c : doc_.controllers) {
    EXPECT_NE(flat.find("Kontroler " + c.name), std::string::npos) << c.name;
    if (c.missing) continue;
    for (const DocDevice& d : c.devices) EXPECT_NE(flat.find(d.label), std::string::npos);
    // The bolt row of each block of four holds every passage's bolt in its column.
    std::vector<std::string> boltRows;
    for (size_t first = 0; first < c.passages.size(); first += 4) {
      std::string row = "Rygiel";
      for (size_t k = first; k < std::min(first + 4, c.passages.size()); ++k)
        row += " " + c.passages[k].cells[0];
      boltRows.push_back(row);
    }
    for (const std::string& row : boltRows)
      EXPECT_TRUE(std::find(lines.begin(), lines.end(), row) != lines.end()) << row;
    for (const DocWiringDevice& w : c.wiring) {
      EXPECT_NE(flat.find(w.heading), std::string::npos) << w.heading;
      for (const DocWire& wire : w.wires)
        EXPECT_NE(flat.find(Flat(wire.text)), std::string::npos) << wire.text;
    }
  }
  // The passage settings in the report's words. The layout mode sets text on a character
  // grid and may swallow the narrow blank of "2 s"; the reading order keeps it.
  EXPECT_NE(Flat(Text(0, 0, "-raw")).find("Impuls otwarcia rygla 2 s 2,5 s 3 s 3,5 s"),
            std::string::npos);
  EXPECT_NE(flat.find("Typ przejścia Normalne Zablokowane"), std::string::npos);
  EXPECT_NE(flat.find("Otwieranie klamką tak nie nie nie"), std::string::npos);
  EXPECT_NE(flat.find("Nr pociągu: 4321"), std::string::npos);
  EXPECT_NE(flat.find("Wejście 8"), std::string::npos);
  // The missing controller on the cover page, with its reason.
  const std::string cover = Flat(Text(1, 1));
  EXPECT_NE(cover.find("Kontrolery nieodczytane"), std::string::npos) << cover;
  EXPECT_NE(cover.find("K27_00042 (10.77.0.12): tryb Konfiguracja; konfigurację można odczytać"),
            std::string::npos)
      << cover;
  EXPECT_NE(cover.find("Kontrolery: 73 (nieodczytane: 1)"), std::string::npos) << cover;
  EXPECT_NE(cover.find("Feldaro 1.2.1"), std::string::npos);
}

TEST_F(AsBuiltPdf, EveryFontIsEmbedded) {
  const std::vector<std::string> rows = Lines(Sh("pdffonts '" + pdf_ + "'"));
  ASSERT_GE(rows.size(), 3u) << "pdffonts listed no font";
  int fonts = 0;
  for (size_t i = 2; i < rows.size(); ++i) {
    if (rows[i].empty()) continue;
    std::vector<std::string> t;
    std::istringstream in(rows[i]);
    for (std::string w; in >> w;) t.push_back(w);
    ASSERT_GE(t.size(), 7u) << rows[i];
    EXPECT_EQ(t[t.size() - 5], "yes") << "not embedded: " << rows[i];
    EXPECT_NE(t[0].find("DejaVuSans"), std::string::npos) << rows[i];
    ++fonts;
  }
  EXPECT_GE(fonts, 2);  // regular and bold
}

TEST_F(AsBuiltPdf, ContentsPointAtThePagesWhereControllersStart) {
  const int pages = Pages();
  const std::vector<std::string> text = PageTexts();
  ASSERT_GT(pages, 3);
  ASSERT_EQ(int(text.size()), pages);
  auto page = [&](int p) { return Flat(text[size_t(p - 1)]); };
  // The contents follow the cover and run until the first controller's page.
  std::map<std::string, int> toc;
  const std::regex entry("^(\\S{3}_\\d{5}) .*?(\\d+)$");
  int p = 2;
  for (; p <= pages && page(p).find("Spis treści") != std::string::npos; ++p)
    for (const std::string& l : Lines(text[size_t(p - 1)])) {
      std::smatch m;
      if (std::regex_match(l, m, entry)) toc[m[1]] = std::stoi(m[2]);
    }
  EXPECT_GT(p, 3) << "70 and more controllers take more than one contents page";
  ASSERT_EQ(toc.size(), doc_.controllers.size());
  for (const DocController& c : doc_.controllers) {
    ASSERT_TRUE(toc.count(c.name)) << c.name;
    const int at = toc[c.name];
    ASSERT_GE(at, p);
    ASSERT_LE(at, pages);
    EXPECT_NE(page(at).find("Kontroler " + c.name + " "), std::string::npos)
        << c.name << " page " << at;
    EXPECT_EQ(page(at - 1).find("Kontroler " + c.name + " "), std::string::npos)
        << c.name << " already on page " << at - 1;
  }
  // Every page's footer counts the same total.
  for (int k = 1; k <= pages; ++k)
    EXPECT_NE(page(k).find("strona " + std::to_string(k) + " z " + std::to_string(pages)),
              std::string::npos)
        << k;
}

TEST_F(AsBuiltPdf, FileIsReplacedWholeOrNotAtAll) {
  std::string err;
  const std::string bad = (dir_ / "brak" / "dok.pdf").string();
  EXPECT_FALSE(WriteAsBuiltPdf(doc_, bad, err));
  EXPECT_NE(err.find(bad), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(bad));
  // Replacing a file leaves no temporary file beside it.
  ASSERT_TRUE(WriteAsBuiltPdf(doc_, pdf_, err)) << err;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_EQ(Sh("head -c 5 '" + pdf_ + "'"), "%PDF-");
}

// A long site name and a long label fit the running header on one line, elided, without
// touching each other or the margins; a label typed over two lines keeps them in the body.
TEST(AsBuiltPdfLayout, RunningHeaderFitsAndALabelKeepsItsLines) {
  const fs::path dir = fs::temp_directory_path() / ("feldaro-doc-hdr-" + std::to_string(getpid()));
  fs::create_directories(dir);
  AsBuiltDoc doc;
  std::string name = "Centrum Logistyczne Źródlana, magazyn wysokiego składowania";
  while (name.size() < 120) name += " i hala";
  doc.site = {name.substr(0, 120), "ul. Polna 1", "Jan Łęcki", "2024-03-05", "Feldaro 1.2.1"};
  DocController c = SmallController();
  c.ident.label =
      "Budynek B, parter, klatka schodowa numer 3 od strony rampy\nwejście od ul. "
      "Źródlanej, pomieszczenie techniczne 0.14";
  doc.controllers.push_back(c);
  const std::string pdf = (dir / "naglowek.pdf").string();
  std::string err;
  ASSERT_TRUE(WriteAsBuiltPdf(doc, pdf, err)) << err;

  // Every word of the controller's page with its box, in points.
  const std::string box = Sh("pdftotext -bbox -f 3 -l 3 '" + pdf + "' -");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(box, m, std::regex("<page width=\"([\\d.]+)\"")));
  const double width = std::stod(m[1]);
  const std::regex word(
      "<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" yMax=\"([\\d.]+)\">");
  std::vector<std::pair<double, double>> header;  // xMin, xMax of the words above the rule
  for (auto it = std::sregex_iterator(box.begin(), box.end(), word); it != std::sregex_iterator();
       ++it)
    if (std::stod((*it)[4]) < 45) header.emplace_back(std::stod((*it)[1]), std::stod((*it)[3]));
  ASSERT_GE(header.size(), 4u) << box;
  std::sort(header.begin(), header.end());
  EXPECT_GE(header.front().first, 50 - 0.5);
  for (const auto& [x0, x1] : header) EXPECT_LE(x1, width - 50 + 0.5) << "runs off the page";
  for (size_t i = 1; i < header.size(); ++i)
    EXPECT_LE(header[i - 1].second, header[i].first + 0.1) << "header words overlap";
  const std::string head = Sh("pdftotext -layout -f 3 -l 3 -y 0 -H 45 -W 600 -x 0 '" + pdf + "' -");
  EXPECT_NE(head.find("Centrum Logistyczne"), std::string::npos) << head;
  EXPECT_NE(head.find("…"), std::string::npos) << "nothing elided: " << head;
  std::vector<std::string> headLines = Lines(head);
  headLines.erase(std::remove(headLines.begin(), headLines.end(), ""), headLines.end());
  EXPECT_EQ(headLines.size(), 1u) << head;

  const std::vector<std::string> body =
      Lines(Sh("pdftotext -layout -f 3 -l 3 -enc UTF-8 '" + pdf + "' -"));
  const auto at = std::find_if(body.begin(), body.end(), [](const std::string& l) {
    return l.find("Lokalizacja:") != std::string::npos;
  });
  ASSERT_NE(at, body.end());
  EXPECT_NE(at->find("strony rampy"), std::string::npos) << *at;
  EXPECT_EQ(at->find("wejście"), std::string::npos) << *at;
  ASSERT_NE(at + 1, body.end());
  EXPECT_EQ((at + 1)->rfind("wejście od ul. Źródlanej", 0), 0u) << *(at + 1);
  if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}
