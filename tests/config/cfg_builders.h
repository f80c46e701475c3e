// Builders of controller answers for the configuration model tests.
#pragma once
#include <cstdint>
#include <vector>

#include "config/ctrlcfg.h"

namespace cfgtest {

struct DevSpec {
  uint32_t id;
  uint8_t suffixNumber = 0;
  uint8_t state = 0;
  uint8_t info2 = 0;  // outputs, readers, OC, reader-field flag
  uint8_t info3 = 0;  // inputs
};

// Information byte 2 for a device with `outs` outputs and `rds` readers.
inline uint8_t Info2(int outs, int rds, bool oc = false) {
  return static_cast<uint8_t>((outs & 0x0F) | ((rds & 3) << 4) | (oc ? 0x40 : 0) | 0x80);
}

inline void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

inline std::vector<uint8_t> DevListPayload(const std::vector<DevSpec>& devs) {
  std::vector<uint8_t> v;
  Put16(v, static_cast<uint16_t>(devs.size()));
  for (const auto& d : devs) Put32(v, d.id);
  for (const auto& d : devs) {
    v.push_back(d.suffixNumber);
    v.push_back(d.state);
    v.push_back(d.info2);
    v.push_back(d.info3);
  }
  return v;
}

struct DoorSpec {
  IoRef outputs[4] = {kNoRef, kNoRef, kNoRef, kNoRef};
  IoRef inputs[10] = {kNoRef, kNoRef, kNoRef, kNoRef, kNoRef,
                      kNoRef, kNoRef, kNoRef, kNoRef, kNoRef};
  IoRef readers[4] = {kNoRef, kNoRef, kNoRef, kNoRef};
  uint8_t params[8] = {1, 0, 0, 0, 10, 0, 20, 0};
};

// Passage answer; the train number is appended only when `withTrain` is set.
inline std::vector<uint8_t> DoorsPayload(const std::vector<DoorSpec>& doors, bool withTrain,
                                         uint16_t train = 0, uint8_t perDoor = 18) {
  std::vector<uint8_t> v;
  v.push_back(static_cast<uint8_t>(doors.size()));
  v.push_back(perDoor);
  for (const auto& d : doors) {
    for (IoRef r : d.outputs) Put16(v, r);
    for (IoRef r : d.inputs) Put16(v, r);
    for (IoRef r : d.readers) Put16(v, r);
  }
  for (const auto& d : doors) v.insert(v.end(), d.params, d.params + 8);
  if (withTrain) Put16(v, train);
  return v;
}

inline IoRef Ref(int slot, int index, bool nc = false) {
  return static_cast<IoRef>((slot << 8) | index | (nc ? 0x80 : 0));
}

// Decodes both answers and marks the used I/O, as the full read does.
inline bool Load(CtrlCfg& cfg, const std::vector<DevSpec>& devs, const std::vector<DoorSpec>& doors,
                 bool withTrain = false, uint16_t train = 0) {
  const auto dl = DevListPayload(devs);
  const auto dr = DoorsPayload(doors, withTrain, train);
  const bool ok1 = DecodeDevList(cfg, dl.data(), dl.size());
  const bool ok2 = DecodeDoors(cfg, dr.data(), dr.size());
  MarkUsedIo(cfg);
  return ok1 && ok2;
}

}  // namespace cfgtest
