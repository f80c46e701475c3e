// Randomised editing sessions: random device tables and passages, then only the edits the
// passage editor can make (its candidate lists), checking the model's rules after each.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cfg_builders.h"
#include "config/ctrlcfg.h"

using namespace cfgtest;

namespace {

constexpr int kSequences = 2000;
constexpr int kOpsPerSequence = 200;

struct Rng {
  std::mt19937 g;
  explicit Rng(uint32_t seed) : g(seed) {}
  uint32_t operator()(uint32_t n) { return static_cast<uint32_t>(g() % n); }
  bool Chance(int pct) { return static_cast<int>(g() % 100) < pct; }
};

int Dev(IoRef r) {
  return (r >> 8) & 0x7F;
}

std::vector<IoRef> FreeList(const CtrlCfg& cfg, int kind) {
  IoRef out[kMaxDevs * 16];
  const int n = FreeIo(cfg, kind, out);
  return std::vector<IoRef>(out, out + n);
}

IoRef Pick(Rng& r, const std::vector<IoRef>& v) {
  return v[r(static_cast<uint32_t>(v.size()))];
}

IoRef TakeFrom(Rng& r, std::vector<IoRef>& pool) {
  const size_t i = r(static_cast<uint32_t>(pool.size()));
  const IoRef v = pool[i];
  pool[i] = pool.back();
  pool.pop_back();
  return v;
}

// A random device table and a random configuration that keeps the rules, decoded from
// its wire form just as a read from the controller would be.
void BuildRandom(Rng& r, CtrlCfg& cfg, std::vector<DevSpec>& devs) {
  const int n = r.Chance(5) ? 1 + static_cast<int>(r(128)) : 1 + static_cast<int>(r(24));
  devs.clear();
  for (int s = 0; s < n; ++s) {
    DevSpec d;
    if (s == 0)
      d.id = r.Chance(50) ? MakeId(327, r(65536), r(4), 2)
                          : MakeId(300 + r(100), r(65536), r(4), r(16));
    else if (r.Chance(10))
      d.id = 0xFFFF0000u | r(65536);
    else
      d.id = MakeId(r(1024), r(65536), r(4), r(16));
    d.suffixNumber = static_cast<uint8_t>(r(256));
    d.state = static_cast<uint8_t>(r(256));
    d.info2 = static_cast<uint8_t>(r(256));
    d.info3 = static_cast<uint8_t>(r(256));
    devs.push_back(d);
  }
  const auto dl = DevListPayload(devs);
  ASSERT_TRUE(DecodeDevList(cfg, dl.data(), dl.size()));

  std::vector<IoRef> outs, ins, rds;
  for (int i = 0; i < cfg.listedCount; ++i) {
    const int s = cfg.order[i];
    const BusDev& d = cfg.devs[s];
    for (int j = 0; j < d.outputCount; ++j) outs.push_back(Ref(s, j));
    for (int j = 0; j < d.inputCount; ++j) ins.push_back(Ref(s, j));
    for (int j = 0; j < d.readerCount; ++j) rds.push_back(Ref(s, j));
  }
  const int nd = r.Chance(3) ? 0 : 1 + static_cast<int>(r(16));
  std::vector<DoorSpec> doors(nd);
  std::vector<IoRef> shared[4];
  for (auto& d : doors) {
    for (int slot = 0; slot < 4; ++slot) {
      if (!r.Chance(slot == 0 ? 60 : slot == 1 ? 30 : 50)) continue;
      if (slot >= 2 && !shared[slot].empty() && r.Chance(50)) {
        d.outputs[slot] = Pick(r, shared[slot]);  // exactly the value others hold
      } else if (!outs.empty()) {
        d.outputs[slot] = static_cast<IoRef>(TakeFrom(r, outs) | (r.Chance(30) ? 0x80 : 0));
        if (slot >= 2) shared[slot].push_back(d.outputs[slot]);
      }
    }
    if (d.outputs[0] != kNoRef && r.Chance(60)) {
      std::vector<size_t> same;
      for (size_t i = 0; i < ins.size(); ++i)
        if (Dev(ins[i]) == Dev(d.outputs[0])) same.push_back(i);
      if (!same.empty()) {
        const size_t i = same[r(static_cast<uint32_t>(same.size()))];
        d.inputs[1] = static_cast<IoRef>(ins[i] | (r.Chance(30) ? 0x80 : 0));
        ins[i] = ins.back();
        ins.pop_back();
      }
    }
    for (int slot : {0, 2, 3, 4, 5, 6, 7, 8, 9})
      if (!ins.empty() && r.Chance(slot < 4 ? 40 : 15))
        d.inputs[slot] = static_cast<IoRef>(TakeFrom(r, ins) | (r.Chance(30) ? 0x80 : 0));
    for (auto& rd : d.readers)
      if (!rds.empty() && r.Chance(40)) rd = TakeFrom(r, rds);
    for (auto& p : d.params) p = static_cast<uint8_t>(r(256));
  }
  // The decoder reads a train number word whenever one is sent.
  const auto dr = DoorsPayload(doors, r.Chance(70), static_cast<uint16_t>(r(65536)));
  ASSERT_TRUE(DecodeDoors(cfg, dr.data(), dr.size()));
  MarkUsedIo(cfg);
}

const IoRef* Refs(const DoorCfg& d, int kind, int& n) {
  n = kind == kInputs ? 10 : 4;
  return kind == kOutputs ? d.outputs : kind == kInputs ? d.inputs : d.readers;
}

// Which indices of each device each kind of passage slot holds, from the passages alone
// (reader masks use the low two index bits).
struct Held {
  bool at[3][kMaxDevs][32] = {};
  explicit Held(const CtrlCfg& cfg) {
    for (int p = 0; p < cfg.doorCount; ++p)
      for (int kind : {kOutputs, kInputs, kReaders}) {
        int n;
        const IoRef* refs = Refs(cfg.doors[p], kind, n);
        for (int i = 0; i < n; ++i)
          if (refs[i] != kNoRef)
            at[kind][Dev(refs[i])][kind == kReaders ? (refs[i] & 3) : (refs[i] & 0x1F)] = true;
      }
  }
};

std::string Fmt(const char* f, int a, int b = 0, int c = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, f, a, b, c);
  return buf;
}

std::string CheckRules(const CtrlCfg& cfg) {
  // Used masks as a fresh MarkUsedIo computes them.
  auto scratch = std::make_unique<CtrlCfg>(cfg);
  for (auto& d : scratch->devs) d.usedOutputs = d.usedInputs = d.usedReaders = 0;
  MarkUsedIo(*scratch);
  for (int s = 0; s < kMaxDevs; ++s) {
    const BusDev &a = cfg.devs[s], &b = scratch->devs[s];
    if (a.usedOutputs != b.usedOutputs || a.usedInputs != b.usedInputs ||
        a.usedReaders != b.usedReaders)
      return Fmt("used masks of slot %d differ from a fresh marking", s);
  }
  // The free lists are exactly the listed I/O that no passage holds.
  const auto held = std::make_unique<Held>(cfg);
  for (int kind : {kOutputs, kInputs, kReaders}) {
    std::vector<IoRef> expect;
    for (int i = 0; i < cfg.listedCount; ++i) {
      const int s = cfg.order[i];
      const BusDev& d = cfg.devs[s];
      const int n = kind == kOutputs  ? d.outputCount
                    : kind == kInputs ? d.inputCount
                                      : d.readerCount;
      for (int j = 0; j < n; ++j)
        if (!held->at[kind][s][j]) expect.push_back(Ref(s, j));
    }
    if (FreeList(cfg, kind) != expect) return Fmt("free list of kind %d is wrong", kind);
  }
  // One I/O, one function; only alarm and CCTV outputs may be shared, within their slot,
  // and a shared output carries one NC flag.
  for (int kind : {kOutputs, kInputs, kReaders}) {
    std::map<int, std::vector<std::array<int, 3>>> uses;  // physical I/O -> (door, slot, value)
    for (int p = 0; p < cfg.doorCount; ++p) {
      int n;
      const IoRef* refs = Refs(cfg.doors[p], kind, n);
      for (int i = 0; i < n; ++i)
        if (refs[i] != kNoRef) uses[refs[i] & kRefMask].push_back({p, i, refs[i]});
    }
    for (const auto& [io, list] : uses) {
      if (list.size() < 2) continue;
      for (const auto& u : list) {
        if (kind != kOutputs || u[1] < 2 || u[1] != list[0][1])
          return Fmt("I/O %04x of kind %d serves two functions (door %d)", io, kind, u[0]);
        if (u[2] != list[0][2])
          return Fmt("shared output %04x disagrees on NC (door %d)", io, u[0]);
      }
    }
  }
  // The open sensor is on the bolt's device.
  for (int p = 0; p < cfg.doorCount; ++p) {
    const IoRef bolt = cfg.doors[p].outputs[0], sensor = cfg.doors[p].inputs[1];
    if (sensor == kNoRef) continue;
    if (bolt == kNoRef) return Fmt("door %d has an open sensor but no bolt", p);
    if (Dev(bolt) != Dev(sensor)) return Fmt("door %d open sensor off the bolt's device", p);
  }
  // Encode, decode, encode again: the same bytes.
  uint8_t a[kCfgBufSize], b[kCfgBufSize];
  const int na = EncodeDoors(cfg, a);
  auto copy = std::make_unique<CtrlCfg>(cfg);
  if (!DecodeDoors(*copy, a, static_cast<size_t>(na))) return "encoded passages rejected";
  const int nb = EncodeDoors(*copy, b);
  if (na != nb || std::memcmp(a, b, static_cast<size_t>(na)) != 0) return "round trip differs";
  if (na != 2 + 44 * cfg.doorCount + (HasTrainNumber(cfg.devs[0].id) ? 2 : 0))
    return Fmt("encoded length %d for %d passages", na, cfg.doorCount);
  return std::string();
}

enum Op {
  kOpBoltReminder,
  kOpAlarmCctv,
  kOpOpenSensor,
  kOpInput,
  kOpReader,
  kOpOutputNc,
  kOpInputNc,
  kOpAirlock,
  kOpParams,
  kOpPoll,
  kOpCount
};
const char* const kOpNames[kOpCount] = {"bolt/reminder", "alarm/CCTV",    "open sensor", "input",
                                        "reader",        "output NC",     "input NC",    "airlock",
                                        "parameters",    "poll re-decode"};

// Candidates the editor offers: current value (if any), the empty choice, the free list.
std::vector<IoRef> OwnAndFree(IoRef cur, const std::vector<IoRef>& free) {
  std::vector<IoRef> v;
  if (cur != kNoRef) v.push_back(cur);
  v.push_back(kNoRef);
  v.insert(v.end(), free.begin(), free.end());
  return v;
}

// One edit; returns false when the editor would offer nothing to do.
bool ApplyOp(Rng& r, CtrlCfg& cfg, std::vector<DevSpec>& devs, Op op) {
  if (op == kOpPoll) {
    // The controller's view of its devices changes; the poll decodes the list again and
    // re-marks the passages held in memory.
    auto v = devs;
    for (int k = 0, n = 1 + static_cast<int>(r(3)); k < n; ++k) {
      auto& d = v[r(static_cast<uint32_t>(v.size()))];
      d.state =
          static_cast<uint8_t>(r.Chance(50) ? d.state ^ (0x10 << r(4)) : r(16) | (d.state & 0xF0));
      if (r.Chance(30)) d.suffixNumber = static_cast<uint8_t>(r(256));
    }
    bool expectChange = false;
    for (size_t s = 0; s < v.size(); ++s)
      expectChange |= (v[s].state & 0xF0) != (devs[s].state & 0xF0);
    const auto p = DevListPayload(v);
    EXPECT_EQ(DevListChanged(cfg, p.data(), p.size()), expectChange);
    if (DevListChanged(cfg, p.data(), p.size())) {
      EXPECT_TRUE(DecodeDevList(cfg, p.data(), p.size()));
      MarkUsedIo(cfg);
      devs = v;
    }
    return true;
  }
  if (cfg.doorCount == 0) return false;
  const int p = static_cast<int>(r(static_cast<uint32_t>(cfg.doorCount)));
  DoorCfg& door = cfg.doors[p];
  const int nc = static_cast<int>(r(2));
  switch (op) {
    case kOpBoltReminder: {
      const int slot = static_cast<int>(r(2));
      SetOutput(cfg, p, slot, Pick(r, OwnAndFree(door.outputs[slot], FreeList(cfg, kOutputs))), nc);
      return true;
    }
    case kOpAlarmCctv: {
      const int slot = 2 + static_cast<int>(r(2));
      const auto free = FreeList(cfg, kOutputs);
      IoRef shared[kMaxDoors];
      const int ns = SharedOutputs(cfg, slot, shared);
      const IoRef c = door.outputs[slot];
      std::vector<IoRef> v{c};
      for (int i = 0; i < ns; ++i)
        if (shared[i] != c) v.push_back(shared[i]);
      if ((ns > 0 && !free.empty()) || c != kNoRef) v.push_back(kNoRef);
      v.insert(v.end(), free.begin(), free.end());
      SetOutput(cfg, p, slot, Pick(r, v), nc);
      return true;
    }
    case kOpOpenSensor: {
      const IoRef bolt = door.outputs[0];
      if (bolt == kNoRef) return false;  // the list is disabled without a bolt
      std::vector<IoRef> same;
      for (IoRef f : FreeList(cfg, kInputs))
        if ((f >> 8) == (bolt >> 8)) same.push_back(f);
      SetInput(cfg, p, 1, Pick(r, OwnAndFree(door.inputs[1], same)), nc);
      return true;
    }
    case kOpInput: {
      const int slots[3] = {0, 2, 3};
      const int slot = slots[r(3)];
      SetInput(cfg, p, slot, Pick(r, OwnAndFree(door.inputs[slot], FreeList(cfg, kInputs))), nc);
      return true;
    }
    case kOpReader: {
      const int slot = static_cast<int>(r(4));
      SetReader(cfg, p, slot, Pick(r, OwnAndFree(door.readers[slot], FreeList(cfg, kReaders))));
      return true;
    }
    case kOpOutputNc: {
      const int slot = static_cast<int>(r(4));
      const IoRef cur = door.outputs[slot];
      if (cur == kNoRef || !cfg.devs[Dev(cur)].ocOutputs) return false;  // box disabled
      SetOutputNC(cfg, p, slot, nc);
      return true;
    }
    case kOpInputNc: {
      const int slot = static_cast<int>(r(4));
      if (door.inputs[slot] == kNoRef) return false;
      SetInputNC(cfg, p, slot, nc);
      return true;
    }
    case kOpAirlock: {
      const int k = std::min(cfg.doorCount / 2, 8);
      const int n = r.Chance(10) ? -2 : static_cast<int>(r(static_cast<uint32_t>(k + 1))) - 1;
      SetAirlock(cfg, p, n);
      const int got = GetAirlock(cfg, p);
      EXPECT_EQ(got, n >= 0 && n <= 3 ? n : -1);
      return true;
    }
    case kOpParams: {
      switch (r(6)) {
        case 0:
          door.params[kParType] = static_cast<uint8_t>((door.params[kParType] & 0xF0) | r(5));
          break;
        case 1:
          door.params[kParFlags] ^= kFlagHandle;
          break;
        case 2:
          door.params[kParFlags] ^= kFlagFullPulse;
          break;
        case 3:
          door.params[kParBoltPulse] = static_cast<uint8_t>(r(128));
          break;
        case 4:
          door.params[kParOpenTime] = static_cast<uint8_t>(r(128));
          break;
        default:
          cfg.trainNumber = static_cast<uint16_t>(r(10000));
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

TEST(ConfigProperty, EditorEditsKeepTheRules) {
  long applied[kOpCount] = {};
  long skipped = 0;
  auto cfg = std::make_unique<CtrlCfg>();
  std::vector<DevSpec> devs;
  for (int seq = 0; seq < kSequences; ++seq) {
    Rng r(0xC0FFEEu + static_cast<uint32_t>(seq));
    *cfg = CtrlCfg{};
    BuildRandom(r, *cfg, devs);
    if (HasFatalFailure()) return;
    std::string err = CheckRules(*cfg);
    ASSERT_EQ(err, "") << "sequence " << seq << " as generated";
    for (int step = 0; step < kOpsPerSequence; ++step) {
      const Op op = static_cast<Op>(r(kOpCount));
      if (!ApplyOp(r, *cfg, devs, op)) {
        ++skipped;
        continue;
      }
      ++applied[op];
      err = CheckRules(*cfg);
      ASSERT_EQ(err, "") << "sequence " << seq << " step " << step << " after " << kOpNames[op];
    }
  }
  long total = 0;
  for (int i = 0; i < kOpCount; ++i) {
    std::printf("  %-15s %ld\n", kOpNames[i], applied[i]);
    total += applied[i];
  }
  std::printf("  %d sequences, %ld edits applied, %ld not offered by the editor\n", kSequences,
              total, skipped);
  EXPECT_GT(applied[kOpAlarmCctv], 0);
  EXPECT_GT(applied[kOpOpenSensor], 0);
}

// The generator itself must be able to produce what the rules forbid, or the checks above
// prove nothing: a bolt moved by hand to another device breaks the open-sensor rule.
TEST(ConfigProperty, ChecksCatchBrokenConfigurations) {
  auto cfg = std::make_unique<CtrlCfg>();
  std::vector<DevSpec> devs = {{MakeId(327, 5), 0, 0, Info2(4, 1, true), 6},
                               {MakeId(1, 9), 0, 0, Info2(2, 2), 3}};
  DoorSpec d1, d2;
  d1.outputs[0] = Ref(0, 0);
  d1.inputs[1] = Ref(0, 1);
  d1.outputs[2] = Ref(1, 1, true);
  d2.outputs[2] = Ref(1, 1, true);
  ASSERT_TRUE(Load(*cfg, devs, {d1, d2}));
  ASSERT_EQ(CheckRules(*cfg), "");
  auto bad = std::make_unique<CtrlCfg>(*cfg);
  bad->doors[0].outputs[0] = Ref(1, 0);  // raw write, no rule applied
  bad->devs[1].usedOutputs |= 1;
  bad->devs[0].usedOutputs &= ~1u;
  EXPECT_NE(CheckRules(*bad), "");
  *bad = *cfg;
  bad->doors[1].outputs[2] = Ref(1, 1);  // NC disagreement
  EXPECT_NE(CheckRules(*bad), "");
  *bad = *cfg;
  bad->doors[1].outputs[3] = Ref(1, 1, true);  // same output as alarm and CCTV
  EXPECT_NE(CheckRules(*bad), "");
  *bad = *cfg;
  bad->devs[0].usedInputs = 0;  // stale mask
  EXPECT_NE(CheckRules(*bad), "");
}
