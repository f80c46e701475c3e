// As-built documentation model: the wiring list against the passages, as a property over
// random configurations, and the texts of the documented two-passage example.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cfg_builders.h"
#include "config/archive.h"
#include "config/asbuilt.h"
#include "config/devname.h"

using namespace cfgtest;

namespace {

struct Rng {
  std::mt19937 g;
  explicit Rng(uint32_t seed) : g(seed) {}
  int operator()(int n) { return int(g() % uint32_t(n)); }
  bool Chance(int pct) { return int(g() % 100) < pct; }
};

IoRef Take(Rng& r, std::vector<IoRef>& pool) {
  const size_t i = size_t(r(int(pool.size())));
  const IoRef v = pool[i];
  pool[i] = pool.back();
  pool.pop_back();
  return v;
}

// A random controller as read: devices with random terminals and states, passages that take
// terminals from the free pools (shared alarm and CCTV outputs, the hidden inputs included);
// with `odd`, also references past a device's terminal count and to empty slots.
void RandomCfg(Rng& r, CtrlCfg& cfg, bool odd) {
  std::vector<DevSpec> devs;
  const int n = 1 + r(30);
  for (int s = 0; s < n; ++s) {
    DevSpec d;
    d.id = s == 0 ? MakeId(327, uint32_t(r(65536))) : MakeId(uint32_t(r(800)), uint32_t(r(65536)));
    if (s > 0 && odd && r.Chance(8)) d.id = 0xFFFF0000u | uint32_t(r(65536));
    d.suffixNumber = uint8_t(r(9));
    d.state = r.Chance(20) ? uint8_t(r(256)) : 0;
    d.info2 = Info2(r(16), r(4), r.Chance(50));
    d.info3 = uint8_t(r(16));
    devs.push_back(d);
  }
  const auto dl = DevListPayload(devs);
  ASSERT_TRUE(DecodeDevList(cfg, dl.data(), dl.size()));
  std::vector<IoRef> pool[3];
  for (int k = 0; k < cfg.listedCount; ++k) {
    const int s = cfg.order[k];
    const BusDev& b = cfg.devs[s];
    for (int j = 0; j < b.outputCount; ++j) pool[kOutputs].push_back(Ref(s, j));
    for (int j = 0; j < b.inputCount; ++j) pool[kInputs].push_back(Ref(s, j));
    for (int j = 0; j < b.readerCount; ++j) pool[kReaders].push_back(Ref(s, j));
  }
  auto pick = [&](int kind, bool nc) -> IoRef {
    if (odd && r.Chance(4)) return Ref(r(n), 15 - r(3), nc);  // past the count, maybe empty
    if (pool[kind].empty()) return kNoRef;
    return IoRef(Take(r, pool[kind]) | (nc ? 0x80 : 0));
  };
  std::vector<DoorSpec> doors(size_t(r(17)));
  std::vector<IoRef> shared[4];
  for (DoorSpec& d : doors) {
    for (int s = 0; s < 4; ++s) {
      if (!r.Chance(60)) continue;
      if (s >= 2 && !shared[s].empty() && r.Chance(50))
        d.outputs[s] = shared[s][size_t(r(int(shared[s].size())))];
      else if ((d.outputs[s] = pick(kOutputs, r.Chance(30))) != kNoRef && s >= 2)
        shared[s].push_back(d.outputs[s]);
    }
    for (int s = 0; s < 10; ++s)
      if (r.Chance(s < 4 ? 60 : 10)) d.inputs[s] = pick(kInputs, r.Chance(30));
    for (IoRef& rd : d.readers)
      if (r.Chance(50)) rd = pick(kReaders, false);
    for (uint8_t& p : d.params) p = uint8_t(r(128));
    d.params[0] = uint8_t((r(16) << 4) | r(5));  // the editor's five passage types
  }
  const auto dr = DoorsPayload(doors, true, uint16_t(r(10000)));
  ASSERT_TRUE(DecodeDoors(cfg, dr.data(), dr.size()));
  MarkUsedIo(cfg);
}

std::string FnLabel(int kind, int slot) {
  static const char* const outs[4] = {"Rygiel", "Przypomnienie", "Alarm", "CCTV"};
  static const char* const ins[4] = {"Przycisk wyjścia", "Czujnik otwarcia", "Czujka alarmowa",
                                     "Sabotaż"};
  if (kind == kOutputs) return outs[slot];
  if (kind == kInputs) return slot < 4 ? ins[slot] : "Wejście " + std::to_string(slot + 1);
  return "Czytnik " + std::to_string(slot + 1);
}

IoRef RefAt(const DoorCfg& d, int kind, int slot) {
  return kind == kOutputs ? d.outputs[slot] : kind == kInputs ? d.inputs[slot] : d.readers[slot];
}

void CheckWiring(const CtrlCfg& cfg, const DocController& doc) {
  // Every assignment once, under the terminal it names, and nowhere else.
  int assignments = 0;
  for (int d = 0; d < cfg.doorCount; ++d)
    for (int kind : {kOutputs, kInputs, kReaders})
      for (int s = 0; s < (kind == kInputs ? 10 : 4); ++s) {
        const IoRef ref = RefAt(cfg.doors[d], kind, s);
        if (ref == kNoRef) continue;
        ++assignments;
        const std::string fn = FnLabel(kind, s);
        const bool nc = kind != kReaders && (ref & 0x80);
        int found = 0, elsewhere = 0;
        for (const DocWiringDevice& w : doc.wiring)
          for (const DocWire& wire : w.wires)
            for (const DocUse& u : wire.uses) {
              if (u.passage != d + 1 || u.function != fn) continue;
              // Readers by two bits, as the used masks count them.
              const int index = kind == kReaders ? ref & 3 : ref & 0x1F;
              const bool here =
                  w.slot == ((ref >> 8) & 0x7F) && wire.kind == kind && wire.index == index;
              if (!here) {
                ++elsewhere;
                continue;
              }
              ++found;
              EXPECT_EQ(u.nc, nc);
              const std::string use = "Przejście " + std::to_string(d + 1) + ", " + fn;
              EXPECT_NE(wire.text.find(use + (nc ? ", NC" : "")), std::string::npos) << wire.text;
              EXPECT_EQ(
                  wire.text.rfind(
                      TerminalText(DevName(cfg.devs[w.slot].id), kind, wire.index) + " → ", 0),
                  0u)
                  << wire.text;
            }
        EXPECT_EQ(found, 1) << "passage " << d + 1 << " " << fn;
        EXPECT_EQ(elsewhere, 0) << "passage " << d + 1 << " " << fn;
      }
  int uses = 0;
  for (const DocWiringDevice& w : doc.wiring)
    for (const DocWire& wire : w.wires) uses += int(wire.uses.size());
  EXPECT_EQ(uses, assignments);

  // Every free terminal listed as free, and nothing else.
  for (int kind : {kOutputs, kInputs, kReaders}) {
    IoRef free[kMaxDevs * 16];
    const int nf = FreeIo(cfg, kind, free);
    int listedFree = 0;
    for (const DocWiringDevice& w : doc.wiring)
      for (const DocWire& wire : w.wires)
        if (wire.kind == kind && wire.uses.empty()) {
          ++listedFree;
          EXPECT_EQ(wire.text,
                    TerminalText(DevName(cfg.devs[w.slot].id), kind, wire.index) + " – wolne");
        }
    EXPECT_EQ(listedFree, nf);
    for (int i = 0; i < nf; ++i) {
      const int slot = free[i] >> 8, index = free[i] & 0x1F;
      int hits = 0;
      for (const DocWiringDevice& w : doc.wiring)
        for (const DocWire& wire : w.wires)
          hits += w.slot == slot && wire.kind == kind && wire.index == index && wire.uses.empty();
      EXPECT_EQ(hits, 1) << "free " << TerminalText(DevName(cfg.devs[slot].id), kind, index);
    }
  }

  // The listed devices in display order, each once, as the bus device table has them.
  ASSERT_LE(doc.devices.size(), doc.wiring.size());
  for (size_t k = 0; k < doc.devices.size(); ++k) {
    EXPECT_EQ(doc.wiring[k].slot, doc.devices[k].slot);
    EXPECT_TRUE(doc.wiring[k].listed);
  }
}

}  // namespace

TEST(AsBuilt, WiringListHoldsEveryAssignmentOnceAndEveryFreeTerminal) {
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng r(seed);
    auto cfg = std::make_unique<CtrlCfg>();
    RandomCfg(r, *cfg, seed % 3 == 0);
    if (HasFatalFailure()) return;
    const DocController doc = BuildControllerDoc(*cfg, DocIdentity{cfg->devs[0].id, "", 2, ""});
    CheckWiring(*cfg, doc);
    ASSERT_EQ(int(doc.passages.size()), cfg->doorCount);
    for (const DocPassage& p : doc.passages) ASSERT_EQ(p.cells.size(), doc.functions.size());
    if (HasFailure()) return;
  }
}

// A configuration kept as an archive (or a plan's controller record) documents the same as
// the configuration it was made from.
TEST(AsBuilt, ArchiveRecordDocumentsLikeTheConfiguration) {
  for (uint32_t seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Rng r(seed);
    auto cfg = std::make_unique<CtrlCfg>();
    RandomCfg(r, *cfg, false);
    if (HasFatalFailure()) return;
    const DocIdentity ident{cfg->devs[0].id, "10.1.2.3", 3, "Budynek B"};
    const Archive arc = MakeArchive(*cfg, ident.id, ident.address, ident.mode, "Feldaro 1.2.1",
                                    "2024-03-05T10:00:00Z", "", {}, {});
    Archive back;
    std::string err;
    ASSERT_TRUE(ParseArchive(ArchiveToJson(arc), back, err)) << err;
    const DocController a = BuildControllerDoc(*cfg, ident);
    const DocController b = ArchiveControllerDoc(back, "Budynek B");
    ASSERT_FALSE(b.missing) << b.reason;
    EXPECT_EQ(b.modeText, "Instalacja");
    ASSERT_EQ(a.devices.size(), b.devices.size());
    for (size_t k = 0; k < a.devices.size(); ++k) {
      EXPECT_EQ(a.devices[k].label, b.devices[k].label);
      EXPECT_EQ(a.devices[k].state, b.devices[k].state);
    }
    EXPECT_EQ(a.functions, b.functions);
    ASSERT_EQ(a.passages.size(), b.passages.size());
    for (size_t k = 0; k < a.passages.size(); ++k) {
      EXPECT_EQ(a.passages[k].cells, b.passages[k].cells);
      EXPECT_EQ(a.passages[k].type, b.passages[k].type);
      EXPECT_EQ(a.passages[k].boltPulse, b.passages[k].boltPulse);
      EXPECT_EQ(a.passages[k].flags, b.passages[k].flags);
      EXPECT_EQ(a.passages[k].airlock, b.passages[k].airlock);
    }
    ASSERT_EQ(a.wiring.size(), b.wiring.size());
    for (size_t k = 0; k < a.wiring.size(); ++k)
      for (size_t i = 0; i < a.wiring[k].wires.size(); ++i)
        EXPECT_EQ(a.wiring[k].wires[i].text, b.wiring[k].wires.at(i).text);
    if (HasFailure()) return;
  }
}

TEST(AsBuilt, TextsOfTheTwoPassageExample) {
  auto cfg = std::make_unique<CtrlCfg>();
  std::vector<DevSpec> devs = {{MakeId(301, 123), 1, 0, Info2(4, 2), 4},
                               {MakeId(1, 456), 2, kStNew, Info2(0, 1), 2},
                               {MakeId(201, 789), 3, kStInactive | kStNew, Info2(2, 1, true), 2}};
  std::vector<DoorSpec> doors(2);
  doors[0].outputs[0] = Ref(0, 0);
  doors[0].inputs[1] = Ref(0, 0);
  doors[0].inputs[0] = Ref(0, 1, true);
  doors[0].readers[0] = Ref(1, 0);
  doors[0].outputs[2] = Ref(0, 2, true);
  doors[0].params[kParFlags] = kFlagAirlock | kFlagHandle;
  doors[0].params[kParBoltPulse] = 7;
  doors[1].outputs[0] = Ref(2, 0, true);
  doors[1].inputs[1] = Ref(2, 0);
  doors[1].inputs[6] = Ref(2, 1);
  doors[1].readers[0] = Ref(2, 0);
  doors[1].outputs[2] = Ref(0, 2, true);
  doors[1].params[kParType] = 2;
  ASSERT_TRUE(Load(*cfg, devs, doors));
  const DocController c = BuildControllerDoc(*cfg, DocIdentity{MakeId(301, 123), "", 2, ""});
  EXPECT_EQ(c.name, "K01_00123");
  EXPECT_EQ(c.model, "K01");
  EXPECT_EQ(c.modeText, "Serwis");
  EXPECT_FALSE(c.hasTrainNumber);
  ASSERT_EQ(c.devices.size(), 3u);
  EXPECT_EQ(c.devices[1].label, "R01_00456/A2");
  EXPECT_EQ(c.devices[1].kind, "Czytnik");
  EXPECT_EQ(c.devices[1].state, "(nowy)");
  EXPECT_EQ(c.devices[2].state, "(nieaktywny) (nowy)");
  EXPECT_TRUE(c.devices[2].inactive && c.devices[2].isNew);
  // The report's rows, then the hidden input that passage 2 holds.
  const std::vector<std::string> fns = {"Rygiel",
                                        "Czujnik otwarcia",
                                        "Przycisk wyjścia",
                                        "Czujka alarmowa",
                                        "Sabotaż",
                                        "Czytnik 1",
                                        "Czytnik 2",
                                        "Czytnik 3",
                                        "Czytnik 4",
                                        "Przypomnienie",
                                        "Alarm",
                                        "CCTV",
                                        "Wejście 7"};
  EXPECT_EQ(c.functions, fns);
  ASSERT_EQ(c.passages.size(), 2u);
  EXPECT_EQ(c.passages[0].cells[0], "K01_00123:Out1");
  EXPECT_EQ(c.passages[0].cells[2], "K01_00123:In2 NC");
  EXPECT_EQ(c.passages[1].cells[0], "Z01_00789:Out1 NC");
  EXPECT_EQ(c.passages[1].cells[12], "Z01_00789:In2");
  EXPECT_EQ(c.passages[0].cells[12], "---");
  EXPECT_EQ(c.passages[0].boltPulse, "3,5 s");
  EXPECT_EQ(c.passages[0].airlock, "Śluza 1");
  EXPECT_EQ(c.passages[0].flags, std::vector<std::string>{"Otwieranie klamką"});
  EXPECT_EQ(c.passages[1].type, "Bistabilne");
  EXPECT_EQ(c.passages[1].airlock, "---");
  ASSERT_EQ(c.wiring.size(), 3u);
  const auto& k = c.wiring[0].wires;
  EXPECT_EQ(c.wiring[0].heading, "K01_00123/A1, Kontroler");
  ASSERT_EQ(k.size(), 4u + 4u + 2u);
  EXPECT_EQ(k[0].text, "K01_00123 Out1 → Przejście 1, Rygiel");
  EXPECT_EQ(k[1].text, "K01_00123 Out2 – wolne");
  EXPECT_EQ(k[2].text, "K01_00123 Out3 → Przejście 1, Alarm, NC; Przejście 2, Alarm, NC");
  EXPECT_EQ(k[5].text, "K01_00123 In2 → Przejście 1, Przycisk wyjścia, NC");
  EXPECT_EQ(k[9].text, "K01_00123 Rd2 – wolne");
  EXPECT_EQ(c.wiring[1].wires.back().text, "R01_00456 Rd1 → Przejście 1, Czytnik 1");
  EXPECT_EQ(c.wiring[2].wires[0].text, "Z01_00789 Out1 → Przejście 2, Rygiel, NC");
  EXPECT_EQ(c.wiring[2].wires[3].text, "Z01_00789 In2 → Przejście 2, Wejście 7");

  const DocController m =
      MissingControllerDoc(DocIdentity{MakeId(327, 5), "10.0.0.7", 1, ""}, "tryb Konfiguracja");
  EXPECT_TRUE(m.missing);
  EXPECT_TRUE(m.hasTrainNumber);
  EXPECT_EQ(m.name, "K27_00005");
  EXPECT_EQ(m.reason, "tryb Konfiguracja");
}
