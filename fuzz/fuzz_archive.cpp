// An archive is a file from anywhere: the input is read as one, and whatever the reader
// accepts is put onto a fixed controller through the restore's rule check. Nothing may crash
// or hang, and nothing accepted may break a rule the passage editor keeps:
//  - the passage count stays the controller's;
//  - every reference names a listed device, with an index within the device's counts unless
//    it is the very assignment the controller already held in that function;
//  - no output, input or reader serves two functions, except an alarm or CCTV output shared
//    by several passages in the same function, all holding the same value (one NC flag);
//  - NC only on open-collector outputs and on inputs, never on readers;
//  - the open sensor sits on the bolt's device; times stay within 0-127;
//  - the result encodes within the write buffer and archives, reads and restores again to
//    the same bytes.
#include <map>
#include <string>
#include <string_view>

#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "config/devname.h"
#include "fuzz_util.h"

namespace {

CtrlCfg gTarget, gOut, gAgain;
const uint32_t kCtrl = MakeId(327, 5);

void AddDev(std::vector<uint8_t>& d, std::vector<uint8_t>& info, uint32_t id, uint8_t info2,
            uint8_t inputs) {
  for (int i = 0; i < 4; ++i) d.push_back(uint8_t(id >> (8 * i)));
  info.insert(info.end(), {1, 0, info2, inputs});
}

// The controller every archive is restored onto: itself, a reader, a module with eight
// open-collector outputs, an empty slot; two passages, one holding a reminder beyond its
// device's single output (as a controller may report it).
void MakeTarget() {
  std::vector<uint8_t> ids, info;
  AddDev(ids, info, kCtrl, 0x80 | 0x20 | 0x40 | 4, 4);    // 4 OC outputs, 2 readers, 4 inputs
  AddDev(ids, info, MakeId(5, 101), 0x80 | 0x10 | 1, 2);  // reader: 1 output, 1 reader
  AddDev(ids, info, MakeId(740, 401, 2), 0x40 | 8, 8);    // module: 8 OC outputs, 8 inputs
  AddDev(ids, info, 0xFFFF0000u, 0, 0);
  std::vector<uint8_t> list = {4, 0};
  list.insert(list.end(), ids.begin(), ids.end());
  list.insert(list.end(), info.begin(), info.end());
  std::vector<uint8_t> doors = {2, 18};
  for (int d = 0; d < 2; ++d)
    for (int r = 0; r < 18; ++r) {
      uint16_t v = 0xFFFF;
      if (d == 0 && r == 0) v = 0x0000;  // bolt: controller Out1
      if (d == 0 && r == 5) v = 0x0081;  // open sensor: controller In2, NC
      if (d == 1 && r == 1) v = 0x0102;  // reminder: reader Out3, beyond its one output
      if (d == 1 && r == 2) v = 0x0287;  // alarm: module Out8, NC
      doors.push_back(uint8_t(v));
      doors.push_back(uint8_t(v >> 8));
    }
  for (int d = 0; d < 2; ++d) doors.insert(doors.end(), {1, 0, 0, 0, 10, 0, 20, 0});
  doors.insert(doors.end(), {0x39, 0x05});
  DecodeDevList(gTarget, list.data(), list.size());
  DecodeDoors(gTarget, doors.data(), doors.size());
  MarkUsedIo(gTarget);
}

int Count(const BusDev& b, int kind) {
  return kind == kOutputs ? b.outputCount : kind == kInputs ? b.inputCount : b.readerCount;
}

bool Listed(int slot) {
  for (int k = 0; k < gTarget.listedCount; ++k)
    if (gTarget.order[k] == slot) return true;
  return false;
}

void CheckRules(const CtrlCfg& c) {
  FUZZ_CHECK(c.doorCount == gTarget.doorCount);
  // Which function holds each physical I/O: kind, device, index -> (passage * 32 + slot).
  std::map<int, int> holder;
  for (int d = 0; d < c.doorCount; ++d) {
    const DoorCfg& door = c.doors[d];
    const IoRef* refs[3] = {door.outputs, door.inputs, door.readers};
    const IoRef* was[3] = {gTarget.doors[d].outputs, gTarget.doors[d].inputs,
                           gTarget.doors[d].readers};
    const int n[3] = {4, 10, 4};
    for (int kind = 0; kind < 3; ++kind)
      for (int s = 0; s < n[kind]; ++s) {
        const IoRef r = refs[kind][s];
        if (r == kNoRef) continue;
        const int slot = (r >> 8) & 0x7F, index = r & 0x1F;
        FUZZ_CHECK((r & 0x8060) == 0);
        FUZZ_CHECK(Listed(slot));
        const BusDev& b = c.devs[slot];
        FUZZ_CHECK(index < Count(b, kind) || (r & kRefMask) == (was[kind][s] & kRefMask));
        if (r & 0x80) FUZZ_CHECK(kind == kInputs || (kind == kOutputs && b.ocOutputs));
        const int key = (kind << 16) | (slot << 8) | index;
        const auto it = holder.find(key);
        if (it == holder.end()) {
          holder[key] = d * 32 + s;
          continue;
        }
        // Only a shared alarm or CCTV output may appear again: same function, same value.
        const int od = it->second / 32, os = it->second % 32;
        FUZZ_CHECK(kind == kOutputs && s >= 2 && os == s && od != d);
        FUZZ_CHECK(c.doors[od].outputs[os] == r);
      }
    if (door.inputs[1] != kNoRef)
      FUZZ_CHECK(door.outputs[0] != kNoRef && (door.outputs[0] >> 8) == (door.inputs[1] >> 8));
    for (int i = 4; i < 8; ++i) FUZZ_CHECK(door.params[i] <= 127);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (MakeTarget(), true);
  (void)ready;
  Archive arc;
  std::string why;
  if (!ParseArchive(std::string_view(reinterpret_cast<const char*>(data), size), arc, why)) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  const std::map<uint32_t, uint32_t> map = {{arc.ctrlId, kCtrl}};
  if (!BuildRestore(arc.cfg, gTarget, map, gOut, why)) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  CheckRules(gOut);
  uint8_t first[kCfgBufSize], second[kCfgBufSize];
  const int len = EncodeDoors(gOut, first);
  FUZZ_CHECK(len > 0 && len <= kCfgBufSize);
  // What was accepted archives and restores again to the same bytes.
  const std::string text = ArchiveToJson(
      MakeArchive(gOut, kCtrl, "10.0.0.1", 2, arc.tool, arc.created, arc.location, {}, {}));
  Archive again;
  FUZZ_CHECK(ParseArchive(text, again, why));
  FUZZ_CHECK(BuildRestore(again.cfg, gTarget, {{kCtrl, kCtrl}}, gAgain, why));
  FUZZ_CHECK(EncodeDoors(gAgain, second) == len);
  FUZZ_CHECK(std::memcmp(first, second, size_t(len)) == 0);
  return 0;
}
