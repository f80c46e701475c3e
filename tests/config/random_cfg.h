// Random controllers for the configuration tests: a device table, then passages assigned
// only from the candidate lists the passage editor offers.
#pragma once
#include <random>
#include <vector>

#include "cfg_builders.h"
#include "config/ctrlcfg.h"
#include "config/devname.h"

namespace cfgtest {

struct Rng {
  std::mt19937 g;
  explicit Rng(uint32_t seed) : g(seed) {}
  int operator()(int n) { return int(g() % uint32_t(n)); }
};

inline std::vector<IoRef> List(const CtrlCfg& cfg, int kind) {
  IoRef out[kMaxDevs * 16];
  return std::vector<IoRef>(out, out + FreeIo(cfg, kind, out));
}

// Picks an entry or nothing.
inline IoRef Pick(Rng& rng, const std::vector<IoRef>& v) {
  return v.empty() || rng(4) == 0 ? kNoRef : v[size_t(rng(int(v.size())))];
}

// A random controller: device table, then passages assigned as the editor would.
inline std::vector<DevSpec> RandomDevices(Rng& rng) {
  std::vector<DevSpec> devs;
  const uint32_t ctrlType = rng(2) ? 327 : 301;  // with and without the train number
  devs.push_back({MakeId(ctrlType, uint32_t(40000 + rng(20000))), 1, 0, Info2(4, 2, rng(2)), 6});
  const int n = 1 + rng(30);
  for (int i = 0; i < n; ++i) {
    if (rng(8) == 0) {
      devs.push_back({0xFFFF0000u});  // an empty slot
      continue;
    }
    const uint32_t type = uint32_t(rng(8)) * 100 + uint32_t(rng(30));
    devs.push_back({MakeId(type, uint32_t(1000 + i), uint32_t(rng(4))), uint8_t(rng(9)),
                    uint8_t(rng(4) == 0 ? 0x80 : 0), Info2(rng(16), rng(4), rng(2)),
                    uint8_t(rng(16))});
  }
  return devs;
}

inline void AssignLikeTheEditor(Rng& rng, CtrlCfg& cfg) {
  for (int d = 0; d < cfg.doorCount; ++d) {
    SetOutput(cfg, d, 0, Pick(rng, List(cfg, kOutputs)), rng(2));
    const IoRef bolt = cfg.doors[d].outputs[0];
    std::vector<IoRef> sensors;
    for (IoRef r : List(cfg, kInputs))
      if (bolt != kNoRef && (r >> 8) == (bolt >> 8)) sensors.push_back(r);
    SetInput(cfg, d, 1, Pick(rng, sensors), rng(2));
    for (int slot : {0, 2, 3, 4 + rng(6)})
      SetInput(cfg, d, slot, Pick(rng, List(cfg, kInputs)), rng(2));
    for (int r = 0; r < 4; ++r) SetReader(cfg, d, r, Pick(rng, List(cfg, kReaders)));
    SetOutput(cfg, d, 1, Pick(rng, List(cfg, kOutputs)), rng(2));
    for (int slot : {2, 3}) {
      IoRef shared[kMaxDoors];
      std::vector<IoRef> offer(shared, shared + SharedOutputs(cfg, slot, shared));
      for (IoRef r : List(cfg, kOutputs)) offer.push_back(r);
      SetOutput(cfg, d, slot, Pick(rng, offer), 0);
      const IoRef o = cfg.doors[d].outputs[slot];
      if (o != kNoRef && cfg.devs[o >> 8].ocOutputs && rng(3) == 0) SetOutputNC(cfg, d, slot, 1);
    }
    SetAirlock(cfg, d, rng(6) - 1);
    uint8_t* p = cfg.doors[d].params;
    p[0] = uint8_t(rng(256));
    p[1] = uint8_t(rng(256));
    p[2] = uint8_t((p[2] & 7) | (rng(32) << 3));
    p[3] = uint8_t(rng(256));
    for (int i = 4; i < 8; ++i) p[i] = uint8_t(rng(128));
  }
  cfg.trainNumber = uint16_t(rng(10000));
}

}  // namespace cfgtest
