// Configuration archive: round trip over random configurations built only from the passage
// editor's candidate lists, and refusal of an archive that breaks a rule.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "cfg_builders.h"
#include "config/archive.h"
#include "config/ctrlcfg.h"
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
