// Random editing sessions on the configuration model. The device list and passages come from
// answers built from the input and go through the real decoders; then every operation picks
// its reference the way the passage editor does, from the current value, the empty choice,
// the free I/O (FreeIo) and, for alarm and CCTV, the outputs other passages share
// (SharedOutputs). After every step the model must keep its rules:
//  - the used masks equal what MarkUsedIo computes from scratch;
//  - no output, input or reader serves two functions, except an alarm or CCTV output shared
//    by several passages in the same function, all holding the same value (one NC flag);
//  - the open sensor sits on the bolt's device;
//  - encoding, decoding and encoding again gives the same bytes.
#include <cstring>
#include <vector>

#include "config/ctrlcfg.h"
#include "fuzz_util.h"

namespace {

CtrlCfg gCfg, gScratch, gBefore;
IoRef gList[kMaxDevs * 16 + 8];

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, uint16_t(x));
  Put16(v, uint16_t(x >> 16));
}

int Dev(IoRef r) {
  return (r >> 8) & 0x7F;
}

void CheckInvariants() {
  const CtrlCfg& c = gCfg;
  // Used masks against a fresh marking.
  std::memcpy(&gScratch, &c, sizeof c);
  for (BusDev& d : gScratch.devs) d.usedOutputs = d.usedInputs = d.usedReaders = 0;
  MarkUsedIo(gScratch);
  // Slots past the decoded table keep whatever an earlier read left there.
  for (int s = 0; s < c.devCount; ++s) {
    FUZZ_CHECK(c.devs[s].usedOutputs == gScratch.devs[s].usedOutputs);
    FUZZ_CHECK(c.devs[s].usedInputs == gScratch.devs[s].usedInputs);
    FUZZ_CHECK(c.devs[s].usedReaders == gScratch.devs[s].usedReaders);
  }
  // One function per I/O.
  for (int a = 0; a < c.doorCount; ++a) {
    const DoorCfg& da = c.doors[a];
    for (int sa = 0; sa < 4; ++sa) {
      const IoRef ra = da.outputs[sa];
      if (ra == kNoRef) continue;
      for (int b = 0; b < c.doorCount; ++b)
        for (int sb = 0; sb < 4; ++sb) {
          if (a == b && sa == sb) continue;
          const IoRef rb = c.doors[b].outputs[sb];
          if (rb == kNoRef || (ra & kRefMask) != (rb & kRefMask)) continue;
          // Only a shared alarm or CCTV output, in the same function, with one NC flag.
          FUZZ_CHECK(sa == sb && sa >= 2 && a != b);
          FUZZ_CHECK(ra == rb);
        }
    }
    for (int sa = 0; sa < 10; ++sa) {
      const IoRef ra = da.inputs[sa];
      if (ra == kNoRef) continue;
      for (int b = 0; b < c.doorCount; ++b)
        for (int sb = 0; sb < 10; ++sb)
          if (a != b || sa != sb) FUZZ_CHECK((c.doors[b].inputs[sb] & kRefMask) != (ra & kRefMask));
    }
    for (int sa = 0; sa < 4; ++sa) {
      const IoRef ra = da.readers[sa];
      if (ra == kNoRef) continue;
      for (int b = 0; b < c.doorCount; ++b)
        for (int sb = 0; sb < 4; ++sb)
          if (a != b || sa != sb)
            FUZZ_CHECK((c.doors[b].readers[sb] & kRefMask) != (ra & kRefMask));
    }
    // The open sensor follows the bolt's device.
    if (da.inputs[1] != kNoRef) {
      FUZZ_CHECK(da.outputs[0] != kNoRef);
      FUZZ_CHECK(Dev(da.inputs[1]) == Dev(da.outputs[0]));
    }
  }
  // Nothing a passage holds is offered as free.
  for (int kind = 0; kind < 3; ++kind) {
    const int n = FreeIo(c, kind, gList);
    for (int i = 0; i < n; ++i) {
      const IoRef f = gList[i];
      FUZZ_CHECK((f & 0x80) == 0);
      for (int d = 0; d < c.doorCount; ++d) {
        const DoorCfg& door = c.doors[d];
        const IoRef* refs = kind == 0 ? door.outputs : kind == 1 ? door.inputs : door.readers;
        const int cnt = kind == 1 ? 10 : 4;
        for (int s = 0; s < cnt; ++s) FUZZ_CHECK((refs[s] & kRefMask) != f);
      }
    }
  }
  // Encode, decode, encode.
  uint8_t e1[kCfgBufSize], e2[kCfgBufSize];
  const int l1 = EncodeDoors(c, e1);
  std::memset(&gScratch, 0, sizeof gScratch);
  gScratch.devs[0].id = c.devs[0].id;
  FUZZ_CHECK(DecodeDoors(gScratch, e1, size_t(l1)));
  FUZZ_CHECK(gScratch.doorCount == c.doorCount);
  FUZZ_CHECK(std::memcmp(gScratch.doors, c.doors, sizeof(DoorCfg) * size_t(c.doorCount)) == 0);
  const int l2 = EncodeDoors(gScratch, e2);
  FUZZ_CHECK(l1 == l2 && std::memcmp(e1, e2, size_t(l1)) == 0);
}

// The editor's candidate lists (current value first, then the empty choice, then the rest).
int OutputChoices(int door, int slot, IoRef* out) {
  int n = 0;
  const IoRef cur = gCfg.doors[door].outputs[slot];
  static IoRef freeIo[kMaxDevs * 16];
  const int nf = FreeIo(gCfg, kOutputs, freeIo);
  if (slot < 2) {
    if (cur != kNoRef) out[n++] = cur;
    out[n++] = kNoRef;
  } else {
    IoRef shared[kMaxDoors];
    const int ns = SharedOutputs(gCfg, slot, shared);
    out[n++] = cur;  // the empty choice when unassigned
    for (int i = 0; i < ns; ++i)
      if (shared[i] != cur) out[n++] = shared[i];
    if ((ns > 0 && nf > 0) || cur != kNoRef) out[n++] = kNoRef;
  }
  for (int i = 0; i < nf; ++i) out[n++] = freeIo[i];
  return n;
}

int InputChoices(int door, int slot, IoRef* out) {
  int n = 0;
  const IoRef cur = gCfg.doors[door].inputs[slot];
  static IoRef freeIo[kMaxDevs * 16];
  const int nf = FreeIo(gCfg, kInputs, freeIo);
  if (cur != kNoRef) out[n++] = cur;
  out[n++] = kNoRef;
  const IoRef bolt = gCfg.doors[door].outputs[0];
  for (int i = 0; i < nf; ++i) {
    if (slot == 1 && (bolt == kNoRef || (freeIo[i] >> 8) != (bolt >> 8))) continue;
    out[n++] = freeIo[i];
  }
  return n;
}

int ReaderChoices(int door, int slot, IoRef* out) {
  int n = 0;
  const IoRef cur = gCfg.doors[door].readers[slot];
  if (cur != kNoRef) out[n++] = cur;
  out[n++] = kNoRef;
  return n + FreeIo(gCfg, kReaders, out + n);
}

// Builds the device list and passage answers from the input and decodes them.
bool Load(FuzzInput& in) {
  std::memset(&gCfg, 0xEE, sizeof gCfg);  // whatever was there before a read
  ClearCfg(gCfg);
  const int devs = 1 + in.U8() % 16;
  std::vector<uint8_t> list;
  Put16(list, uint16_t(devs));
  std::vector<uint32_t> ids;
  for (int s = 0; s < devs; ++s) {
    uint32_t id;
    const uint8_t kind = in.U8();
    if (s == 0) {
      id = MakeId(kind & 1 ? 327 : 300 + kind % 40, in.U16(), kind >> 6 & 3);
    } else if ((kind & 0x1F) == 0x1F) {
      id = 0xFFFF0000u | in.U16();  // empty slot
    } else {
      const uint16_t type = in.U16(), serial = in.U16();
      const uint32_t cls = kind & 0x10 ? 2 : in.U8() >> 4;
      id = MakeId(type % 1024u, serial, kind >> 5 & 3, cls);
    }
    Put32(list, id);
  }
  for (int s = 0; s < devs; ++s) {
    list.push_back(in.U8());  // suffix number
    list.push_back(in.U8());  // state
    list.push_back(in.U8());  // outputs, readers, OC
    list.push_back(in.U8());  // inputs
  }
  FUZZ_CHECK(DecodeDevList(gCfg, list.data(), list.size()));
  // No passage yet: every input is free, so hidden slots can take distinct ones.
  gCfg.doorCount = 0;
  static IoRef inputs[kMaxDevs * 16];
  const int nin = FreeIo(gCfg, kInputs, inputs);
  int nextHidden = 0;

  const int doors = 1 + in.U8() % kMaxDoors;
  std::vector<uint8_t> ans{uint8_t(doors), 18};
  for (int d = 0; d < doors; ++d) {
    const uint8_t hidden = in.U8();
    for (int i = 0; i < 18; ++i) {
      IoRef r = kNoRef;
      // Controller-held hidden inputs (slots 4-9), never offered by the editor.
      if (i >= 8 && i < 14 && (hidden >> (i - 8) & 1) && nextHidden < nin)
        r = IoRef(inputs[nextHidden++] | (hidden & 0x80 ? 0x80 : 0));
      Put16(ans, r);
    }
  }
  for (int d = 0; d < doors * 8; ++d) ans.push_back(in.U8());
  Put16(ans, in.U16());
  FUZZ_CHECK(DecodeDoors(gCfg, ans.data(), ans.size()));
  FUZZ_CHECK(gCfg.devCount == devs && gCfg.doorCount == doors);
  MarkUsedIo(gCfg);
  return true;
}

IoRef gChoices[kMaxDevs * 16 + kMaxDoors + 8];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Load(in);
  CheckInvariants();
  const int doors = gCfg.doorCount;

  for (int step = 0; step < 200 && !in.empty(); ++step) {
    const uint8_t op = in.U8();
    const uint8_t arg = in.U8();
    const int door = arg % doors;
    const int nc = arg >> 7;
    std::memcpy(&gBefore, &gCfg, sizeof gCfg);

    if (op & 0x80) {
      // Out of range: a passage or slot that does not exist changes nothing.
      static const int kBadDoors[] = {-1, -100, kMaxDoors, kMaxDoors + 3, 1000};
      static const int kBadSlots[] = {-1, 4, 10, 99};
      const int bd = kBadDoors[arg % 5], bs = kBadSlots[(arg >> 3) % 4];
      const bool badDoor = op & 0x40;
      const int d = badDoor ? bd : door;
      const int so = badDoor ? 0 : bs;                   // every bad slot is bad for outputs
      const int si = badDoor ? 0 : (bs == 4 ? 10 : bs);  // input slot 4 exists
      switch (op & 7) {
        case 0:
          SetOutput(gCfg, d, so, IoRef(in.U16()), nc);
          break;
        case 1:
          SetInput(gCfg, d, si, IoRef(in.U16()), nc);
          break;
        case 2:
          SetReader(gCfg, d, so, IoRef(in.U16()));
          break;
        case 3:
          SetOutputNC(gCfg, d, so, nc);
          break;
        case 4:
          SetInputNC(gCfg, d, si, nc);
          break;
        default:
          if (!badDoor) continue;
          SetAirlock(gCfg, d, arg % 4);
          FUZZ_CHECK(GetAirlock(gCfg, d) == -1);
          break;
      }
      FUZZ_CHECK(std::memcmp(&gBefore, &gCfg, sizeof gCfg) == 0);
      continue;
    }

    DoorCfg& dc = gCfg.doors[door];
    switch (op % 8) {
      case 0:    // bolt or reminder
      case 1: {  // alarm or CCTV
        const int slot = (op % 8) * 2 + (op >> 3 & 1);
        const int n = OutputChoices(door, slot, gChoices);
        const IoRef ref = gChoices[in.U16() % unsigned(n)];
        const IoRef oldBolt = dc.outputs[0], oldSensor = dc.inputs[1];
        SetOutput(gCfg, door, slot, ref, nc);
        const IoRef got = dc.outputs[slot];
        if (ref == kNoRef)
          FUZZ_CHECK(got == kNoRef);
        else if (slot >= 2 || !gCfg.devs[Dev(ref)].ocOutputs)
          FUZZ_CHECK(got == ref);
        else
          FUZZ_CHECK(got == IoRef((ref & 0xFF7F) | (nc ? 0x80 : 0)));
        if (slot == 0) {
          const bool sameDev = ref != kNoRef && oldBolt != kNoRef && (ref >> 8) == (oldBolt >> 8);
          FUZZ_CHECK(dc.inputs[1] ==
                     (sameDev || (ref == kNoRef && oldBolt == kNoRef) ? oldSensor : kNoRef));
        }
        if (slot >= 2 && ref != kNoRef)
          for (int d = 0; d < doors; ++d) {
            const IoRef r = gCfg.doors[d].outputs[slot];
            if (r != kNoRef && (r & kRefMask) == (ref & kRefMask)) FUZZ_CHECK(r == ref);
          }
        break;
      }
      case 2:
      case 3: {  // exit button, open sensor, alarm sensor, tamper
        const int slot = (op % 8 - 2) * 2 + (op >> 3 & 1);
        const int n = InputChoices(door, slot, gChoices);
        const IoRef ref = gChoices[in.U16() % unsigned(n)];
        SetInput(gCfg, door, slot, ref, nc);
        FUZZ_CHECK(dc.inputs[slot] ==
                   (ref == kNoRef ? kNoRef : IoRef((ref & 0xFF7F) | (nc ? 0x80 : 0))));
        break;
      }
      case 4: {
        const int slot = op >> 3 & 3;
        const int n = ReaderChoices(door, slot, gChoices);
        const IoRef ref = gChoices[in.U16() % unsigned(n)];
        SetReader(gCfg, door, slot, ref);
        FUZZ_CHECK(dc.readers[slot] == ref);
        break;
      }
      case 5: {
        const int slot = op >> 3 & 3;
        const IoRef cur = dc.outputs[slot];
        SetOutputNC(gCfg, door, slot, nc);
        if (cur == kNoRef) {
          FUZZ_CHECK(std::memcmp(&gBefore, &gCfg, sizeof gCfg) == 0);
        } else {
          FUZZ_CHECK(dc.outputs[slot] == IoRef((cur & 0xFF7F) | (nc ? 0x80 : 0)));
          // Only the NC flag moved.
          for (int d = 0; d < doors; ++d)
            for (int s = 0; s < 4; ++s)
              FUZZ_CHECK((gCfg.doors[d].outputs[s] & kRefMask) ==
                         (gBefore.doors[d].outputs[s] & kRefMask));
        }
        break;
      }
      case 6: {
        const int slot = (op >> 3) % 10;
        const IoRef cur = dc.inputs[slot];
        SetInputNC(gCfg, door, slot, nc);
        FUZZ_CHECK(dc.inputs[slot] ==
                   (cur == kNoRef ? kNoRef : IoRef((cur & 0xFF7F) | (nc ? 0x80 : 0))));
        break;
      }
      default: {
        const int n = int(op >> 3 & 7) - 2;  // -2 .. 5
        const uint8_t before = dc.params[kParFlags];
        SetAirlock(gCfg, door, n);
        const uint8_t after = dc.params[kParFlags];
        FUZZ_CHECK(GetAirlock(gCfg, door) == (n >= 0 && n <= 3 ? n : -1));
        FUZZ_CHECK((after & 0xF8) == (before & 0xF8));
        if (n < 0 || n > 3) FUZZ_CHECK((after & 3) == (before & 3));
        break;
      }
    }
    // The rest of the model never moves: device table, counts, other parameters.
    FUZZ_CHECK(gCfg.doorCount == gBefore.doorCount && gCfg.devCount == gBefore.devCount);
    FUZZ_CHECK(gCfg.listedCount == gBefore.listedCount);
    FUZZ_CHECK(std::memcmp(gCfg.order, gBefore.order, sizeof gCfg.order) == 0);
    for (int s = 0; s < kMaxDevs; ++s) FUZZ_CHECK(gCfg.devs[s].id == gBefore.devs[s].id);
    for (int d = 0; d < kMaxDoors; ++d)
      for (int i = 0; i < 8; ++i)
        if (i != kParFlags) FUZZ_CHECK(gCfg.doors[d].params[i] == gBefore.doors[d].params[i]);
    CheckInvariants();
  }
  return 0;
}
