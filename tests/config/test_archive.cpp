// Configuration archive: round trip over random configurations built only from the passage
// editor's candidate lists, and refusal of an archive that breaks a rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "cfg_builders.h"
#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "config/plural.h"
#include "random_cfg.h"

using namespace cfgtest;

TEST(ArchiveProperty, ReadArchiveParseRestoreGivesTheBytesRead) {
  int refused = 0;
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    Rng rng(seed);
    const std::vector<DevSpec> devs = RandomDevices(rng);
    auto edit = std::make_unique<CtrlCfg>();
    std::vector<DoorSpec> empty(size_t(rng(17)));
    ASSERT_TRUE(Load(*edit, devs, empty));
    AssignLikeTheEditor(rng, *edit);
    uint8_t c[kCfgBufSize];
    const int lc = EncodeDoors(*edit, c);
    const std::vector<uint8_t> rawC(c, c + lc), rawD = DevListPayload(devs);

    // What a read of that controller gives, its archive, and the archive read back.
    auto read = std::make_unique<CtrlCfg>();
    ASSERT_TRUE(DecodeDevList(*read, rawD.data(), rawD.size()));
    ASSERT_TRUE(DecodeDoors(*read, rawC.data(), rawC.size()));
    MarkUsedIo(*read);
    const uint32_t ctrl = devs[0].id;
    const std::string text = ArchiveToJson(
        MakeArchive(*read, ctrl, "10.77.0.10", 2, "Feldaro 1.2.1", "2024-03-05T10:00:00Z",
                    seed % 2 ? "Hala \"B\", piętro 2" : "", rawD, rawC));
    Archive arc;
    std::string why;
    ASSERT_TRUE(ParseArchive(text, arc, why)) << "seed " << seed << ": " << why;
    EXPECT_EQ(arc.rawDoors, rawC);
    EXPECT_TRUE(DiffCfg(arc.cfg, ResolveCfg(*read)).empty()) << "seed " << seed;

    auto out = std::make_unique<CtrlCfg>();
    ASSERT_TRUE(BuildRestore(arc.cfg, *read, {{ctrl, ctrl}}, *out, why))
        << "seed " << seed << ": " << why;
    uint8_t w[kCfgBufSize];
    ASSERT_EQ(EncodeDoors(*out, w), lc) << "seed " << seed;
    EXPECT_EQ(std::vector<uint8_t>(w, w + lc), rawC) << "seed " << seed;

    // The same archive with one output put into a second function is refused.
    for (int d = 0; d < int(arc.cfg.doors.size()); ++d) {
      ArcDoor& door = arc.cfg.doors[size_t(d)];
      const int from = rng(2) ? 0 : 1, to = 1 - from;  // bolt <-> reminder
      if (door.outputs[from].set && !door.outputs[to].set) {
        door.outputs[to] = door.outputs[from];
        door.outputs[to].nc = false;
        EXPECT_FALSE(BuildRestore(arc.cfg, *read, {{ctrl, ctrl}}, *out, why)) << "seed " << seed;
        EXPECT_NE(why.find("jest już użyte"), std::string::npos) << why;
        ++refused;
        break;
      }
    }
  }
  EXPECT_GT(refused, 40) << "too few archives were broken to test the refusal";
}

TEST(ArchiveReader, RefusesShapesARestoreCannotTrust) {
  auto read = std::make_unique<CtrlCfg>();
  ASSERT_TRUE(Load(*read, {{MakeId(327, 5), 1, 0, Info2(4, 2), 4}}, {DoorSpec{}}));
  const std::string good = ArchiveToJson(
      MakeArchive(*read, MakeId(327, 5), "10.0.0.1", 2, "t", "2024-03-05T10:00:00Z", "", {}, {}));
  Archive arc;
  std::string why;
  ASSERT_TRUE(ParseArchive(good, arc, why)) << why;
  auto bad = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    t.replace(at, from.size(), to);
    return !ParseArchive(t, arc, why) ? why : std::string("accepted");
  };
  EXPECT_NE(bad("\"boltPulse\": 10", "\"boltPulse\": 128").find("poza zakresem 0-127"),
            std::string::npos);
  EXPECT_NE(bad("\"format\": \"feldaro-archive\"", "\"format\": \"x\"").find("format"),
            std::string::npos);
  EXPECT_NE(bad("\"name\": \"K27_00005\"", "\"name\": \"K27_00006\"").find("nie pasuje"),
            std::string::npos);
  EXPECT_NE(bad("\"readers\": [\n        null,", "\"readers\": [").find("4 pozycji"),
            std::string::npos);
  EXPECT_NE(bad("\"number\": 1", "\"number\": 2").find("nie po kolei"), std::string::npos);
}

// Every refusal names the place (JSON path, or line and column) and the value as written.
TEST(ArchiveReader, RefusalsNameThePlaceAndTheValueAsWritten) {
  auto read = std::make_unique<CtrlCfg>();
  DoorSpec first;
  first.params[4] = 4;  // "boltPulse": 10 only in the second passage
  ASSERT_TRUE(Load(*read, {{MakeId(327, 5), 1, 0, Info2(4, 2), 4}}, {first, DoorSpec{}}));
  const std::string good = ArchiveToJson(
      MakeArchive(*read, MakeId(327, 5), "10.0.0.1", 2, "t", "2024-03-05T10:00:00Z", "", {}, {}));
  const size_t pulse = good.find("\"boltPulse\": 10");
  ASSERT_NE(pulse, std::string::npos) << good;
  const std::string pulseLine =
      "w wierszu " + std::to_string(1 + std::count(good.begin(), good.begin() + long(pulse), '\n'));
  auto edit = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) t.replace(at, from.size(), to);
    return t;
  };
  std::string type9 = good;
  const size_t second = type9.find("\"number\": 2");
  const size_t type = type9.find("\"type\": 1", second);
  ASSERT_NE(type, std::string::npos);
  type9.replace(type, 9, "\"type\": 9");
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> says;
  } cases[] = {
      {"duplicate key",
       edit("\"boltPulse\": 10", "\"boltPulse\": 10, \"boltPulse\": 3"),
       {"passages[1].boltPulse: klucz podany dwa razy"}},
      {"duplicate top key",
       edit("\"version\": 1", "\"version\": 1, \"version\": 1"),
       {"version: klucz podany dwa razy"}},
      {"type beyond the editor", type9, {"passages[1].type: wartość 9 poza zakresem 0-4"}},
      {"2^64-1",
       edit("\"boltPulse\": 10", "\"boltPulse\": 18446744073709551615"),
       {"passages[1].boltPulse: wartość 18446744073709551615 poza zakresem 0-127"}},
      {"negative",
       edit("\"boltPulse\": 10", "\"boltPulse\": -1"),
       {"passages[1].boltPulse: wartość -1 poza zakresem 0-127"}},
      {"fraction",
       edit("\"boltPulse\": 10", "\"boltPulse\": 1.5"),
       {"passages[1].boltPulse: oczekiwano liczby całkowitej, jest 1.5"}},
      {"syntax",
       edit("\"boltPulse\": 10", "\"boltPulse\": 1 0"),
       {"błąd składni", pulseLine + ", kolumnie "}},
      {"truncated", good.substr(0, pulse + 5), {"dokument urwany", pulseLine}},
      {"number beyond a double",
       edit("\"boltPulse\": 10", "\"boltPulse\": 1e999"),
       {"liczba 1e999 poza zakresem", pulseLine + ", kolumnie 20"}},
      {"not UTF-8", edit("\"tool\": \"t\"", "\"tool\": \"t\xff\""), {"UTF-8", "w wierszu 4"}},
  };
  for (const auto& c : cases) {
    Archive arc;
    std::string why;
    EXPECT_FALSE(ParseArchive(c.text, arc, why)) << c.name;
    for (const std::string& s : c.says)
      EXPECT_NE(why.find(s), std::string::npos) << c.name << ": " << why;
  }
}

// Counted nouns in the messages: 1, 2-4 (not 12-14), the rest.
TEST(ArchiveTexts, PolishPluralForms) {
  const struct {
    long long n;
    const char* text;
  } cases[] = {{0, "0 przejść"},     {1, "1 przejście"},   {2, "2 przejścia"},
               {4, "4 przejścia"},   {5, "5 przejść"},     {11, "11 przejść"},
               {12, "12 przejść"},   {14, "14 przejść"},   {21, "21 przejść"},
               {22, "22 przejścia"}, {112, "112 przejść"}, {124, "124 przejścia"}};
  for (const auto& c : cases) EXPECT_EQ(CountPl(c.n, "przejście", "przejścia", "przejść"), c.text);
  // After "z" and "do" the genitive: one controller, else the plural's genitive.
  EXPECT_EQ(CtrlsGen(1), "1 kontrolera");
  for (long long n : {0, 2, 4, 5, 12, 22, 101})
    EXPECT_EQ(CtrlsGen(n), std::to_string(n) + " kontrolerów");
}
