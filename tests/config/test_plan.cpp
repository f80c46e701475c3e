// Site plan: capture -> save -> open -> compare over random sites agrees everywhere, one
// random change is exactly the one drift, offline edits of an entry's model survive the
// file; broken files, unknown versions and duplicates are refused with the reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "cfg_builders.h"
#include "config/archive.h"
#include "config/plan.h"
#include "random_cfg.h"

using namespace cfgtest;

namespace {

// One simulated controller: its answers and what a read of it gives.
struct Ctrl {
  std::vector<uint8_t> rawD, rawC;
  std::unique_ptr<CtrlCfg> cfg = std::make_unique<CtrlCfg>();
  uint32_t id() const { return cfg->devs[0].id; }
  Archive Read() const {
    return MakeArchive(*cfg, id(), "10.77.0.10", 3, "Feldaro test", "2024-03-05T10:00:00Z", "",
                       rawD, rawC);
  }
  void Reencode() {
    uint8_t c[kCfgBufSize];
    rawC.assign(c, c + EncodeDoors(*cfg, c));
  }
};

std::vector<Ctrl> RandomSite(Rng& rng) {
  std::vector<Ctrl> site(size_t(1 + rng(6)));
  for (size_t i = 0; i < site.size(); ++i) {
    Ctrl& c = site[i];
    std::vector<DevSpec> devs;
    bool unique;
    do {
      devs = RandomDevices(rng);
      unique = true;
      for (size_t k = 0; k < i; ++k) unique = unique && site[k].id() != devs[0].id;
    } while (!unique);
    c.rawD = DevListPayload(devs);
    std::vector<DoorSpec> empty(size_t(rng(17)));
    EXPECT_TRUE(Load(*c.cfg, devs, empty));
    AssignLikeTheEditor(rng, *c.cfg);
    c.Reencode();
  }
  return site;
}

std::string TempPath(const std::string& name) {
  return testing::TempDir() + "/plan_" + std::to_string(getpid()) + "_" + name;
}

// One function changed on a controller the way the editor (or a plain parameter) would;
// returns the label of the changed function, or "" when nothing could be changed.
std::string ChangeOneFunction(Rng& rng, CtrlCfg& cfg, int& door) {
  if (cfg.doorCount == 0) return "";
  door = rng(cfg.doorCount);
  uint8_t* p = cfg.doors[door].params;
  switch (rng(4)) {
    case 0:
      p[kParBoltPulse] = uint8_t((p[kParBoltPulse] + 1 + rng(120)) % 128);
      return "Impuls otwarcia rygla";
    case 1:
      p[kParOpenTime] = uint8_t((p[kParOpenTime] + 1 + rng(120)) % 128);
      return "Dozw. czas otwarcia";
    case 2:
      p[kParFlags] ^= kFlagHandle;
      return "Otwieranie klamką";
    default: {
      // A reader: a free one in place of what is there, or nothing.
      const int r = rng(4);
      const std::vector<IoRef> free = List(cfg, kReaders);
      const IoRef now = cfg.doors[door].readers[r];
      const IoRef next = now == kNoRef ? (free.empty() ? kNoRef : free[0]) : kNoRef;
      if (next == now) {
        p[kParBoltPulse] = uint8_t((p[kParBoltPulse] + 1) % 128);
        return "Impuls otwarcia rygla";
      }
      SetReader(cfg, door, r, next);
      return "Czytnik " + std::to_string(r + 1);
    }
  }
}

}  // namespace

TEST(PlanProperty, CaptureSaveOpenCompareAgreesAndOneChangeIsTheOnlyDrift) {
  const std::string path = TempPath("site.json");
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    Rng rng(seed);
    std::vector<Ctrl> site = RandomSite(rng);
    SitePlan plan;
    plan.site = {"Biurowiec \"Zachód\"", "ul. Polna 1", "Jan Kowalski", "wiersz 1\nwiersz 2"};
    plan.created = plan.modified = "2024-03-05T10:00:00Z";
    plan.tool = "Feldaro test";
    for (size_t i = 0; i < site.size(); ++i)
      plan.ctrls.push_back({"Budynek B, parter " + std::to_string(i), site[i].Read()});
    std::string why;
    ASSERT_TRUE(SavePlan(path, plan, why)) << why;
    SitePlan open;
    ASSERT_TRUE(LoadPlan(path, open, why)) << "seed " << seed << ": " << why;
    ASSERT_EQ(open.ctrls.size(), site.size());
    EXPECT_EQ(open.site.notes, plan.site.notes);
    EXPECT_EQ(open.site.name, plan.site.name);
    EXPECT_EQ(PlanToJson(open), PlanToJson(plan)) << "seed " << seed;
    for (size_t i = 0; i < site.size(); ++i) {
      EXPECT_EQ(open.ctrls[i].label, plan.ctrls[i].label);
      const Archive now = site[i].Read();
      const CtrlDrift d =
          CompareCtrl(open.ctrls[size_t(FindPlanCtrl(open, site[i].id()))].arc, &now);
      EXPECT_EQ(d.state, DriftState::Agree) << "seed " << seed;
      EXPECT_TRUE(d.lines.empty());
    }

    // One function changes on one controller: that is the only drift.
    const size_t victim = size_t(rng(int(site.size())));
    int door = 0;
    const std::string label = ChangeOneFunction(rng, *site[victim].cfg, door);
    site[victim].Reencode();
    for (size_t i = 0; i < site.size(); ++i) {
      const Archive now = site[i].Read();
      const CtrlDrift d = CompareCtrl(open.ctrls[i].arc, &now);
      if (i != victim || label.empty()) {
        EXPECT_EQ(d.state, DriftState::Agree) << "seed " << seed;
        continue;
      }
      ASSERT_EQ(d.state, DriftState::Differs) << "seed " << seed;
      ASSERT_EQ(d.lines.size(), 2u) << "seed " << seed << ": " << d.lines.back();
      EXPECT_EQ(d.lines[0], "Przejście " + std::to_string(door + 1) + ":");
      EXPECT_EQ(d.lines[1].rfind("  " + label + ": ", 0), 0u) << d.lines[1];
    }
    EXPECT_EQ(CompareCtrl(open.ctrls[0].arc, nullptr).state, DriftState::Missing);
  }
  std::remove(path.c_str());
}

TEST(PlanEntry, TheModelOfAnEntryGivesTheRecordBackAndCarriesOfflineEdits) {
  const std::string path = TempPath("edit.json");
  for (uint32_t seed = 100; seed <= 160; ++seed) {
    Rng rng(seed);
    std::vector<Ctrl> site = RandomSite(rng);
    SitePlan plan;
    plan.site.name = "Hala";
    for (const Ctrl& c : site) plan.ctrls.push_back({"", c.Read()});
    // The model of each entry is the model a read gives, and gives the same record back.
    for (size_t i = 0; i < site.size(); ++i) {
      auto m = std::make_unique<CtrlCfg>();
      std::string why;
      ASSERT_TRUE(PlanEntryModel(plan.ctrls[i].arc, *m, why)) << "seed " << seed << ": " << why;
      uint8_t a[kCfgBufSize];
      const int n = EncodeDoors(*m, a);
      EXPECT_EQ(std::vector<uint8_t>(a, a + n), site[i].rawC) << "seed " << seed;
      for (int k = 0; k < m->listedCount; ++k) {
        const BusDev &x = m->devs[m->order[k]], &y = site[i].cfg->devs[site[i].cfg->order[k]];
        EXPECT_EQ(x.id, y.id);
        EXPECT_EQ(x.usedOutputs, y.usedOutputs);
        EXPECT_EQ(x.usedInputs, y.usedInputs);
        EXPECT_EQ(x.usedReaders, y.usedReaders);
        EXPECT_EQ(x.ocOutputs, y.ocOutputs);
        EXPECT_EQ(x.outputCount, y.outputCount);
      }
      const Archive back = ArchiveFromModel(*m, plan.ctrls[i].arc);
      EXPECT_EQ(back.rawDoors, site[i].rawC);
      EXPECT_EQ(ArchiveToJson(back), ArchiveToJson(plan.ctrls[i].arc)) << "seed " << seed;
    }
    // An offline edit of one entry: saved, opened, it is the one difference from the
    // controllers as they are, and a controller carrying it agrees with the plan.
    const size_t e = size_t(rng(int(site.size())));
    auto m = std::make_unique<CtrlCfg>();
    std::string why;
    ASSERT_TRUE(PlanEntryModel(plan.ctrls[e].arc, *m, why));
    int door = 0;
    const std::string label = ChangeOneFunction(rng, *m, door);
    if (label.empty()) continue;
    plan.ctrls[e].arc = ArchiveFromModel(*m, plan.ctrls[e].arc);
    ASSERT_TRUE(SavePlan(path, plan, why)) << why;
    SitePlan open;
    ASSERT_TRUE(LoadPlan(path, open, why)) << why;
    const Archive now = site[e].Read();
    const CtrlDrift d = CompareCtrl(open.ctrls[e].arc, &now);
    ASSERT_EQ(d.lines.size(), 2u) << "seed " << seed;
    EXPECT_EQ(d.lines[1].rfind("  " + label + ": ", 0), 0u) << d.lines[1];
    *site[e].cfg = *m;
    site[e].Reencode();
    const Archive edited = site[e].Read();
    EXPECT_EQ(CompareCtrl(open.ctrls[e].arc, &edited).state, DriftState::Agree);
  }
  std::remove(path.c_str());
}

// Opening a plan, taking every entry into the editor's model and saving it with no edit
// writes the file as it was, byte for byte, whatever raw answers the controllers gave; one
// edit changes its own entry and the time of change, nothing else.
TEST(PlanSave, AnUnchangedPlanIsWrittenAsItWasAndAnEditChangesOnlyItsEntry) {
  for (uint32_t seed = 200; seed <= 260; ++seed) {
    Rng rng(seed);
    std::vector<Ctrl> site = RandomSite(rng);
    SitePlan plan;
    plan.site = {"Hala", "ul. Polna 1", "Jan", "uwagi"};
    plan.created = plan.modified = "2024-03-05T10:00:00Z";
    plan.tool = "Feldaro 1.0";
    for (Ctrl& c : site) {
      // A controller's 'C' answer may carry bytes beyond what the encoder writes.
      for (int k = 1 + rng(4); k > 0; --k) c.rawC.push_back(uint8_t(rng(256)));
      plan.ctrls.push_back({"E", c.Read()});
    }
    const std::string text = PlanToJson(plan);
    SitePlan open;
    std::string why;
    ASSERT_TRUE(ParsePlan(text, open, why)) << why;
    std::vector<std::unique_ptr<CtrlCfg>> models;
    for (const PlanCtrl& c : open.ctrls) {
      models.push_back(std::make_unique<CtrlCfg>());
      ASSERT_TRUE(PlanEntryModel(c.arc, *models.back(), why)) << why;
    }
    auto save = [&] {
      SitePlan out = open;
      for (size_t i = 0; i < out.ctrls.size(); ++i)
        out.ctrls[i].arc = ArchiveFromModel(*models[i], open.ctrls[i].arc);
      StampSaved(out, open, "2030-01-01T00:00:00Z", "Feldaro 9.9");
      return out;
    };
    EXPECT_EQ(PlanToJson(save()), text) << "seed " << seed;

    const size_t e = size_t(rng(int(site.size())));
    int door = 0;
    if (ChangeOneFunction(rng, *models[e], door).empty()) continue;
    const SitePlan edited = save();
    EXPECT_EQ(edited.modified, "2030-01-01T00:00:00Z");
    EXPECT_EQ(edited.tool, "Feldaro 9.9");
    EXPECT_EQ(edited.created, plan.created);
    for (size_t i = 0; i < site.size(); ++i) {
      if (i == e) continue;
      EXPECT_EQ(ArchiveToJson(edited.ctrls[i].arc), ArchiveToJson(plan.ctrls[i].arc));
    }
    uint8_t c[kCfgBufSize];
    EXPECT_EQ(edited.ctrls[e].arc.rawDoors, std::vector<uint8_t>(c, c + EncodeDoors(*models[e], c)))
        << "an edited entry records what its write would send";
  }
}

TEST(PlanReader, RefusesBrokenFilesUnknownVersionsAndDuplicatesAndOpensAnArchive) {
  Rng rng(7);
  std::vector<Ctrl> site = RandomSite(rng);
  SitePlan plan;
  plan.site.name = "Hala";
  plan.created = plan.modified = "2024-03-05T10:00:00Z";
  plan.ctrls.push_back({"Wejście główne", site[0].Read()});
  const std::string good = PlanToJson(plan);
  SitePlan out;
  std::string why;
  ASSERT_TRUE(ParsePlan(good, out, why)) << why;
  auto bad = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    t.replace(at, from.size(), to);
    if (ParsePlan(t, out, why)) return std::string("accepted");
    EXPECT_TRUE(out.ctrls.empty());
    return why;
  };
  EXPECT_NE(bad("\"version\": 1", "\"version\": 2").find("nieobsługiwana wersja planu obiektu 2"),
            std::string::npos);
  EXPECT_NE(bad("\"format\": \"feldaro-site\"", "\"format\": \"inny\"").find("format"),
            std::string::npos);
  EXPECT_NE(bad("\"label\": \"Wejście główne\"", "\"label\": 5").find("controllers[0].label"),
            std::string::npos);
  EXPECT_NE(bad("\"boltPulse\": ", "\"boltPulse\": 200, \"x\": ").find("controllers[0]"),
            std::string::npos);
  EXPECT_FALSE(ParsePlan(good.substr(0, good.size() / 2), out, why));
  EXPECT_NE(why.find("uszkodzony lub obcięty"), std::string::npos) << why;
  // Read as an archive is read: a key given twice is refused with its path (the last value
  // winning would write what the user did not see), a syntax error and a byte that is not
  // UTF-8 with their place.
  auto lineOf = [&](const std::string& what) {
    return "w wierszu " +
           std::to_string(1 + std::count(good.begin(), good.begin() + long(good.find(what)), '\n'));
  };
  EXPECT_EQ(bad("\"openTime\": ", "\"openTime\": 40, \"openTime\": "),
            "controllers[0].passages[0].openTime: klucz podany dwa razy");
  EXPECT_EQ(bad("\"name\": \"Hala\"", "\"name\": \"Hala\", \"name\": \"Hala\""),
            "site.name: klucz podany dwa razy");
  std::string why2 = bad("\"label\": \"Wejście główne\"",
                         "\"label\": \"Wej\xb6"
                         "cie\"");
  EXPECT_NE(why2.find("nie jest tekstem UTF-8: bajt 0xB6 " + lineOf("\"label\"") + ", kolumnie 19"),
            std::string::npos)
      << why2;
  EXPECT_EQ(why2.find("uszkodzony"), std::string::npos) << why2;
  why2 = bad("\"installer\": ", "\"installer\" ");
  EXPECT_NE(why2.find("błąd składni " + lineOf("\"installer\"") + ", kolumnie 18"),
            std::string::npos)
      << why2;
  // The same controller twice.
  SitePlan twice = plan;
  twice.ctrls.push_back(plan.ctrls[0]);
  EXPECT_FALSE(ParsePlan(PlanToJson(twice), out, why));
  EXPECT_NE(why.find("więcej niż raz"), std::string::npos) << why;
  // An archive of one controller opens as a plan of that controller.
  Archive arc = site[0].Read();
  arc.location = "Budynek B, parter";
  ASSERT_TRUE(ParsePlan(ArchiveToJson(arc), out, why)) << why;
  ASSERT_EQ(out.ctrls.size(), 1u);
  EXPECT_EQ(out.ctrls[0].label, "Budynek B, parter");
  EXPECT_EQ(ArchiveToJson(out.ctrls[0].arc), ArchiveToJson(arc));
  // It is known to be an archive (a save must not turn it into a plan); a plan is not one.
  EXPECT_TRUE(out.fromArchive);
  ASSERT_TRUE(ParsePlan(PlanToJson(out), out, why)) << why;
  EXPECT_FALSE(out.fromArchive);
  // An archive of an unknown version is refused as the archive reader refuses it.
  std::string v2 = ArchiveToJson(arc);
  v2.replace(v2.find("\"version\": 1"), 12, "\"version\": 9");
  EXPECT_FALSE(ParsePlan(v2, out, why));
  EXPECT_NE(why.find("wersja archiwum 9"), std::string::npos) << why;
  // A missing file names itself.
  EXPECT_FALSE(LoadPlan(TempPath("nie-ma.json"), out, why));
  EXPECT_NE(why.find("nie-ma.json"), std::string::npos) << why;
}

TEST(PlanReader, APlanFollowsItsSchema) {
  Rng rng(11);
  std::vector<Ctrl> site = RandomSite(rng);
  SitePlan plan;
  plan.site = {"Hala", "ul. Polna 1", "", ""};
  plan.created = plan.modified = "2024-03-05T10:00:00Z";
  plan.tool = "Feldaro test";
  for (size_t i = 0; i < site.size(); ++i)
    plan.ctrls.push_back({"K" + std::to_string(i), site[i].Read()});
  const std::string path = TempPath("schema.json");
  std::string why;
  ASSERT_TRUE(SavePlan(path, plan, why)) << why;
  // The archive's schema is given to the validator by its identifier: nothing is fetched.
  const std::string cmd =
      "python3 -c 'import json,sys,jsonschema,referencing\n"
      "arc=json.load(open(sys.argv[2])); site=json.load(open(sys.argv[3]))\n"
      "reg=referencing.Registry().with_resource(arc[\"$id\"], "
      "referencing.Resource.from_contents(arc))\n"
      "jsonschema.Draft202012Validator(site, registry=reg).validate(json.load(open(sys.argv[1])))"
      "' " +
      path +
      " " FELDARO_SOURCE_DIR "/config/feldaro-archive.schema.json " FELDARO_SOURCE_DIR
      "/config/feldaro-site.schema.json";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << path << " does not follow the schema";
  // And the schema is not one that takes anything: a plan without controllers fails it.
  std::string text = PlanToJson(plan);
  text.replace(text.find("\"controllers\""), 13, "\"kontrolery\"");
  std::ofstream(path, std::ios::trunc) << text;
  EXPECT_NE(std::system((cmd + " 2>/dev/null").c_str()), 0);
  std::remove(path.c_str());
}
