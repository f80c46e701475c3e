// Configuration model of the selected controller: device table, display order,
// passages, their wire encodings and the assignment rules of the passage editor.
#include "ctrlcfg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr int kRefsPerDoor = 18;
constexpr size_t kDoorRefBytes = 2 * kRefsPerDoor;  // 36
constexpr size_t kDoorBytes = kDoorRefBytes + 8;    // 36 reference bytes + 8 parameters
constexpr IoRef kNcBit = 0x80;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

bool ValidSlot(int32_t s) {
  return s >= 0 && s < kMaxDevs;
}
bool ValidDoor(int door) {
  return door >= 0 && door < kMaxDoors;
}
int RefDev(IoRef ref) {
  return (ref >> 8) & 0x7F;
}
IoRef WithNc(IoRef ref, int nc) {
  return static_cast<IoRef>((ref & ~kNcBit) | (nc ? kNcBit : 0));
}

// Counts as stored may be anything if a caller wrote them; never walk past the arrays.
int DoorLimit(const CtrlCfg& cfg) {
  return cfg.doorCount < 0 ? 0 : (cfg.doorCount > kMaxDoors ? kMaxDoors : cfg.doorCount);
}
int ListedLimit(const CtrlCfg& cfg) {
  return cfg.listedCount < 0 ? 0 : (cfg.listedCount > kMaxDevs ? kMaxDevs : cfg.listedCount);
}

// The references of one kind held by a passage.
const IoRef* KindRefs(const DoorCfg& d, int kind, int& count) {
  switch (kind) {
    case kOutputs:
      count = 4;
      return d.outputs;
    case kInputs:
      count = 10;
      return d.inputs;
    default:
      count = 4;
      return d.readers;
  }
}

// Reader masks use only the low two index bits; outputs and inputs the full five.
uint32_t UsedBit(int kind, IoRef ref) {
  return kind == kReaders ? (1u << (ref & 3)) : (1u << (ref & 0x1F));
}

void MarkUsed(CtrlCfg& cfg, int kind, IoRef ref) {
  if (ref == kNoRef) return;
  BusDev& dev = cfg.devs[RefDev(ref)];
  const uint32_t bit = UsedBit(kind, ref);
  if (kind == kOutputs)
    dev.usedOutputs |= bit;
  else if (kind == kInputs)
    dev.usedInputs |= bit;
  else
    dev.usedReaders = static_cast<uint16_t>(dev.usedReaders | bit);
}

// Whether any passage still holds a reference that occupies the same used bit.
bool StillReferenced(const CtrlCfg& cfg, int kind, IoRef ref) {
  const int dev = RefDev(ref);
  const uint32_t bit = UsedBit(kind, ref);
  for (int d = 0; d < DoorLimit(cfg); ++d) {
    int n = 0;
    const IoRef* refs = KindRefs(cfg.doors[d], kind, n);
    for (int i = 0; i < n; ++i)
      if (refs[i] != kNoRef && RefDev(refs[i]) == dev && UsedBit(kind, refs[i]) == bit) return true;
  }
  return false;
}

// Called after the passage already holds its new value: the old I/O becomes free only
// when no other function still uses it (a shared alarm/CCTV output, or a duplicate
// that came from the controller).
void ReleaseUsed(CtrlCfg& cfg, int kind, IoRef old) {
  if (old == kNoRef || StillReferenced(cfg, kind, old)) return;
  BusDev& dev = cfg.devs[RefDev(old)];
  const uint32_t bit = UsedBit(kind, old);
  if (kind == kOutputs)
    dev.usedOutputs &= ~bit;
  else if (kind == kInputs)
    dev.usedInputs &= ~bit;
  else
    dev.usedReaders = static_cast<uint16_t>(dev.usedReaders & ~bit);
}

uint32_t Low26(uint32_t id) {
  return id & 0x03FFFFFFu;
}

const char* StateText(uint8_t st) {
  if (st & kStInactive) return "(nieaktywny)";
  if (st & kStPower) return "(zasilanie!)";
  if (st & kStTamper) return "(sabotaż)";
  if (st & kStNew) return "(nowy)";
  return "";
}

}  // namespace

void ClearCfg(CtrlCfg& cfg) {
  cfg.devCount = 0;
  cfg.listedCount = 0;
  cfg.doorCount = 0;
}

// ---------------------------------------------------------------- device list

bool DecodeDevList(CtrlCfg& cfg, const uint8_t* payload, size_t len) {
  if (payload == nullptr || len < 2) {
    cfg.devCount = 0;
    return false;
  }
  const size_t n = Get16(payload);
  // A short answer is treated like an oversized one: the next poll sees a change.
  if (n > static_cast<size_t>(kMaxDevs) || len < 2 + 8 * n) {
    cfg.devCount = 0;
    return false;
  }
  cfg.devCount = static_cast<int32_t>(n);
  int listed = 0;
  for (size_t s = 0; s < n; ++s) {
    const uint32_t id = Get32(payload + 2 + 4 * s);
    cfg.devs[s].id = id;
    if ((id >> 16) != 0xFFFFu) cfg.order[listed++] = static_cast<int32_t>(s);
  }
  cfg.listedCount = listed;
  const uint8_t* info = payload + 2 + 4 * n;
  for (size_t s = 0; s < n; ++s, info += 4) {
    BusDev& d = cfg.devs[s];
    d.suffixNumber = info[0];
    d.state = info[1];
    d.outputCount = info[2] & 0x0F;
    if (info[2] & 0x80) {
      d.readerCount = (info[2] >> 4) & 3;
      if (d.readerCount == 0) d.outputCount = 0;
    } else {
      d.readerCount = 0;
    }
    d.ocOutputs = (info[2] >> 6) & 1;
    d.inputCount = info[3] & 0x0F;
    d.usedOutputs = 0;
    d.usedInputs = 0;
    d.usedReaders = 0;
  }
  SortDevOrder(cfg);
  return true;
}

bool DevListChanged(const CtrlCfg& cfg, const uint8_t* payload, size_t len) {
  // Anything the decoder would reject counts as a change, so the poll decodes it and
  // the rejection takes its normal course.
  if (payload == nullptr || len < 2) return true;
  const size_t n = Get16(payload);
  if (static_cast<int64_t>(n) != cfg.devCount) return true;
  if (n > static_cast<size_t>(kMaxDevs) || len < 2 + 8 * n) return true;
  for (size_t s = 0; s < n; ++s) {
    if (Get32(payload + 2 + 4 * s) != cfg.devs[s].id) return true;
    const uint8_t st = payload[2 + 4 * n + 4 * s + 1];
    if ((st & 0xF0) != (cfg.devs[s].state & 0xF0)) return true;
  }
  return false;
}

void SortDevOrder(CtrlCfg& cfg) {
  const int n = ListedLimit(cfg);
  bool swapped = true;
  while (swapped) {
    swapped = false;
    for (int i = 0; i + 1 < n; ++i) {
      const int32_t a = cfg.order[i], b = cfg.order[i + 1];
      if (!ValidSlot(a) || !ValidSlot(b)) continue;
      const uint32_t ia = cfg.devs[a].id, ib = cfg.devs[b].id;
      // A controller is never moved right, so the controller's own entry stays first.
      if (!IsController(ia) && Low26(ia) > Low26(ib)) {
        cfg.order[i] = b;
        cfg.order[i + 1] = a;
        swapped = true;
      }
    }
  }
}

std::string DevLabel(const BusDev& dev) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s/%c%d", DevName(dev.id).c_str(),
                static_cast<char>('A' + IdSuffixLetter(dev.id)), dev.suffixNumber);
  return buf;
}

const char* DevStateText(uint8_t state) {
  return StateText(state);
}

std::string DevListText(const BusDev& dev) {
  std::string s = TypeName(dev.id);
  s += ": ";
  s += DevLabel(dev);
  s += ",   ";
  s += StateText(dev.state);
  return s;
}

std::string IoRefText(const CtrlCfg& cfg, IoRef ref, const char* kindText) {
  if (kindText == nullptr) kindText = "";
  if (ref == kNoRef) {
    // One extra blank after a three-letter kind keeps empty "Out" rows aligned.
    std::string s = "     ---     ";
    if (std::strlen(kindText) == 3) s += ' ';
    return s;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s:%s%d", DevName(cfg.devs[RefDev(ref)].id).c_str(), kindText,
                (ref & 0x1F) + 1);
  return buf;
}

bool AnyInactive(const CtrlCfg& cfg) {
  for (int i = 0; i < ListedLimit(cfg); ++i) {
    const int32_t s = cfg.order[i];
    if (ValidSlot(s) && (cfg.devs[s].state & kStInactive)) return true;
  }
  return false;
}

int ReplPairs(const CtrlCfg& cfg, uint16_t out[kMaxPairs]) {
  const int n = ListedLimit(cfg);
  int count = 0;
  for (int j = 0; j < n; ++j) {
    const int32_t sj = cfg.order[j];
    if (!ValidSlot(sj) || !(cfg.devs[sj].state & kStInactive)) continue;
    for (int k = 0; k < n; ++k) {
      const int32_t sk = cfg.order[k];
      if (k == j || !ValidSlot(sk) || !(cfg.devs[sk].state & kStNew)) continue;
      if (IdTypeCode(cfg.devs[sk].id) != IdTypeCode(cfg.devs[sj].id)) continue;
      if (count >= kMaxPairs) return count;
      out[count++] = static_cast<uint16_t>(sj | (sk << 8));
    }
  }
  return count;
}

std::string ReplPairText(const CtrlCfg& cfg, uint16_t pair) {
  const int from = pair & 0xFF, to = pair >> 8;
  if (!ValidSlot(from) || !ValidSlot(to)) return std::string();
  return DevName(cfg.devs[from].id) + " <-- " + DevName(cfg.devs[to].id);
}

// ---------------------------------------------------------------- passages

bool HasTrainNumber(uint32_t id) {
  return ((id >> 16) & 0xF3FFu) == 0x2147u;
}

bool DecodeDoors(CtrlCfg& cfg, const uint8_t* payload, size_t len) {
  const auto reject = [&cfg] {
    cfg.devCount = 0;
    cfg.doorCount = 0;
    return false;
  };
  if (payload == nullptr || len < 2) return reject();
  const size_t n = payload[0];
  if (n > static_cast<size_t>(kMaxDoors) || payload[1] != kRefsPerDoor) return reject();
  if (len < 2 + kDoorBytes * n) return reject();
  cfg.doorCount = static_cast<int32_t>(n);
  const uint8_t* p = payload + 2;
  for (size_t d = 0; d < n; ++d) {
    DoorCfg& door = cfg.doors[d];
    for (int i = 0; i < 4; ++i, p += 2) door.outputs[i] = Get16(p);
    for (int i = 0; i < 10; ++i, p += 2) door.inputs[i] = Get16(p);
    for (int i = 0; i < 4; ++i, p += 2) door.readers[i] = Get16(p);
  }
  for (size_t d = 0; d < n; ++d, p += 8) {
    uint8_t* par = cfg.doors[d].params;
    for (int i = 0; i < 4; ++i) par[i] = p[i];
    // The time bytes count half seconds and never exceed 63.5 s.
    for (int i = 4; i < 8; ++i) par[i] = p[i] > 127 ? 127 : p[i];
  }
  // Only the train-number model sends this word; without it the field reads as 0.
  const size_t off = 2 + kDoorBytes * n;
  cfg.trainNumber = len >= off + 2 ? Get16(payload + off) : 0;
  return true;
}

void MarkUsedIo(CtrlCfg& cfg) {
  for (int d = 0; d < DoorLimit(cfg); ++d) {
    const DoorCfg& door = cfg.doors[d];
    for (IoRef r : door.outputs) MarkUsed(cfg, kOutputs, r);
    for (IoRef r : door.inputs) MarkUsed(cfg, kInputs, r);
    for (IoRef r : door.readers) MarkUsed(cfg, kReaders, r);
  }
}

int EncodeDoors(const CtrlCfg& cfg, uint8_t out[kCfgBufSize]) {
  const int n = DoorLimit(cfg);
  out[0] = static_cast<uint8_t>(n);
  out[1] = kRefsPerDoor;
  uint8_t* p = out + 2;
  for (int d = 0; d < n; ++d) {
    const DoorCfg& door = cfg.doors[d];
    for (IoRef r : door.outputs) Put16(p, r), p += 2;
    for (IoRef r : door.inputs) Put16(p, r), p += 2;
    for (IoRef r : door.readers) Put16(p, r), p += 2;
  }
  for (int d = 0; d < n; ++d, p += 8) std::memcpy(p, cfg.doors[d].params, 8);
  if (HasTrainNumber(cfg.devs[0].id)) Put16(p, cfg.trainNumber), p += 2;
  return static_cast<int>(p - out);
}

void SetOutput(CtrlCfg& cfg, int door, int slot, IoRef ref, int nc) {
  if (!ValidDoor(door) || slot < 0 || slot >= 4) return;
  IoRef& cur = cfg.doors[door].outputs[slot];
  const IoRef old = cur;
  if (old == kNoRef && ref == kNoRef) return;
  // Relay outputs have both contacts, so only open-collector outputs take the NC flag.
  if (ref != kNoRef && cfg.devs[RefDev(ref)].ocOutputs)
    cur = WithNc(ref, nc);
  else
    cur = ref;
  if (slot >= 2 && ref != kNoRef) {
    // A shared alarm/CCTV output has one NC flag: the one carried by the chosen entry.
    cur = ref;
    for (int d = 0; d < DoorLimit(cfg); ++d) {
      IoRef& r = cfg.doors[d].outputs[slot];
      if (r != kNoRef && (r & kRefMask) == (ref & kRefMask)) r = ref;
    }
  }
  ReleaseUsed(cfg, kOutputs, old);
  MarkUsed(cfg, kOutputs, ref);
  // The open sensor must sit on the bolt's device.
  if (slot == 0 && (ref == kNoRef || (ref >> 8) != (old >> 8))) SetInput(cfg, door, 1, kNoRef, 0);
}

void SetInput(CtrlCfg& cfg, int door, int slot, IoRef ref, int nc) {
  if (!ValidDoor(door) || slot < 0 || slot >= 10) return;
  IoRef& cur = cfg.doors[door].inputs[slot];
  const IoRef old = cur;
  cur = ref == kNoRef ? kNoRef : WithNc(ref, nc);
  ReleaseUsed(cfg, kInputs, old);
  MarkUsed(cfg, kInputs, cur);
}

void SetReader(CtrlCfg& cfg, int door, int slot, IoRef ref) {
  if (!ValidDoor(door) || slot < 0 || slot >= 4) return;
  IoRef& cur = cfg.doors[door].readers[slot];
  const IoRef old = cur;
  cur = ref;
  ReleaseUsed(cfg, kReaders, old);
  MarkUsed(cfg, kReaders, ref);
}

void SetOutputNC(CtrlCfg& cfg, int door, int slot, int nc) {
  if (!ValidDoor(door) || slot < 0 || slot > 3) return;
  IoRef& cur = cfg.doors[door].outputs[slot];
  if (cur == kNoRef) return;
  const IoRef v = WithNc(cur, nc);
  cur = v;
  if (slot >= 2) {
    for (int d = 0; d < DoorLimit(cfg); ++d) {
      IoRef& r = cfg.doors[d].outputs[slot];
      if (r != kNoRef && (r & kRefMask) == (v & kRefMask)) r = v;
    }
  }
}

void SetInputNC(CtrlCfg& cfg, int door, int slot, int nc) {
  if (!ValidDoor(door) || slot < 0 || slot >= 10) return;
  IoRef& cur = cfg.doors[door].inputs[slot];
  if (cur == kNoRef) return;
  cur = WithNc(cur, nc);
}

int GetAirlock(const CtrlCfg& cfg, int door) {
  if (!ValidDoor(door)) return -1;
  const uint8_t f = cfg.doors[door].params[kParFlags];
  return (f & kFlagAirlock) ? (f & 3) : -1;
}

void SetAirlock(CtrlCfg& cfg, int door, int n) {
  if (!ValidDoor(door)) return;
  uint8_t& f = cfg.doors[door].params[kParFlags];
  if (n >= 0 && n <= 3)
    f = static_cast<uint8_t>((f & ~3) | n | kFlagAirlock);
  else
    f = static_cast<uint8_t>(f & ~kFlagAirlock);
}

int FreeIo(const CtrlCfg& cfg, int kind, IoRef out[kMaxDevs * 16]) {
  if (kind != kOutputs && kind != kInputs && kind != kReaders) return 0;
  int count = 0;
  for (int i = 0; i < ListedLimit(cfg); ++i) {
    const int32_t s = cfg.order[i];
    if (!ValidSlot(s)) continue;
    const BusDev& dev = cfg.devs[s];
    int n;
    uint32_t used;
    if (kind == kOutputs) {
      n = dev.outputCount, used = dev.usedOutputs;
    } else if (kind == kInputs) {
      n = dev.inputCount, used = dev.usedInputs;
    } else {
      n = dev.readerCount, used = dev.usedReaders;
    }
    // The index field of a reference has five bits; reader masks only two.
    const int maxIdx = kind == kReaders ? 4 : 32;
    if (n > maxIdx) n = maxIdx;
    for (int j = 0; j < n && count < kMaxDevs * 16; ++j)
      if (!(used & (1u << j))) out[count++] = static_cast<IoRef>((s << 8) | j);
  }
  return count;
}

int SharedOutputs(const CtrlCfg& cfg, int slot, IoRef out[kMaxDoors]) {
  if (slot < 0 || slot > 3) return 0;
  int count = 0;
  for (int d = 0; d < DoorLimit(cfg); ++d) {
    const IoRef r = cfg.doors[d].outputs[slot];
    if (r == kNoRef) continue;
    bool seen = false;
    for (int i = 0; i < count && !seen; ++i) seen = out[i] == r;
    if (!seen) out[count++] = r;
  }
  return count;
}

void AdoptDevTable(CtrlCfg& into, const CtrlCfg& from) {
  if (&into == &from) return;
  into.devCount = from.devCount;
  into.listedCount = from.listedCount;
  std::copy(std::begin(from.devs), std::end(from.devs), std::begin(into.devs));
  std::copy(std::begin(from.order), std::end(from.order), std::begin(into.order));
  // The marks of `from` follow its own passages, which may be older than these.
  for (BusDev& d : into.devs) d.usedOutputs = d.usedInputs = d.usedReaders = 0;
  MarkUsedIo(into);
}
