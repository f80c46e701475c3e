// A fully equipped controller for measurements: 128 bus devices and 16 passages with every
// output, input and reader function assigned, plus helpers shared by the benchmarks.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/ctrlcfg.h"
#include "config/devname.h"
#include "simdevice.h"

namespace scenario {

constexpr uint32_t Ip(int a, int b, int c, int d) {
  return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

// Slot 0 is the controller; the other slots readers, locks, keypads and modules. Passage k uses
// the readers in slots 1 + 4k .. 4 + 4k for its outputs, inputs and readers, so the open
// sensor sits on the bolt's device as the editor requires.
inline void FillBigController(SimDevice& d, int slotCount = kMaxDevs) {
  d.bus.clear();
  d.doors.clear();
  d.AddBusDevice(d.id, 4, 4, 2, true);
  for (int s = 1; s < slotCount; ++s) {
    if (s <= 64) {
      d.AddBusDevice(MakeId(1, uint32_t(1000 + s)), 2, 3, 1, s % 2 == 0, 0, uint8_t(1 + s % 4));
    } else {
      static const uint32_t kOther[] = {202, 501, 601, 701};
      d.AddBusDevice(MakeId(kOther[s % 4], uint32_t(2000 + s)), 3, 4, 0, true);
    }
  }
  for (int k = 0; k < kMaxDoors; ++k) {
    SimDoor door;
    for (uint16_t& r : door.refs) r = kNoRef;
    const uint16_t a = uint16_t(1 + 4 * k), b = uint16_t(2 + 4 * k);
    door.refs[0] = uint16_t(a << 8 | 0);  // bolt
    door.refs[1] = uint16_t(a << 8 | 1);  // reminder
    door.refs[2] = uint16_t(b << 8 | 0);  // alarm
    door.refs[3] = uint16_t(b << 8 | 1);  // CCTV
    door.refs[4] = uint16_t(a << 8 | 0);  // exit button
    door.refs[5] = uint16_t(a << 8 | 1);  // open sensor
    door.refs[6] = uint16_t(a << 8 | 2);  // alarm sensor
    door.refs[7] = uint16_t(b << 8 | 0);  // tamper
    for (int r = 0; r < 4; ++r) door.refs[14 + r] = uint16_t((a + r) << 8);
    std::memset(door.params, 0, sizeof door.params);
    door.params[kParType] = uint8_t(k % 4);
    door.params[kParFlags] = uint8_t(k < 8 ? (kFlagAirlock | (k % 4)) : kFlagHandle);
    door.params[kParBoltPulse] = uint8_t(6 + k);
    door.params[kParOpenTime] = uint8_t(20 + k);
    d.doors.push_back(door);
  }
  d.trainNumber = 1234;
}

// The model the window holds after reading that controller.
inline bool LoadModel(const SimDevice& d, CtrlCfg& cfg) {
  ClearCfg(cfg);
  const std::vector<uint8_t> list = d.DevListPayload(0);
  const std::vector<uint8_t> doors = d.DoorsPayload();
  const bool ok =
      DecodeDevList(cfg, list.data(), list.size()) && DecodeDoors(cfg, doors.data(), doors.size());
  MarkUsedIo(cfg);
  return ok;
}

// Resident set size in bytes, from /proc/self/statm.
inline long RssBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
  std::fclose(f);
  return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

}  // namespace scenario
