#include "editor_model.h"

#include <cctype>
#include <cstdio>

void TakeFree(const CtrlCfg& cfg, int kind, FreeList& out) {
  out.count = FreeIo(cfg, kind, out.refs);
  if (out.count < 0) out.count = 0;
}

void PlainListItems(IoRef current, const FreeList& free, std::vector<IoRef>& out) {
  out.clear();
  out.reserve(size_t(free.count) + 2);
  if (current != kNoRef) out.push_back(current);
  out.push_back(kNoRef);
  out.insert(out.end(), free.refs, free.refs + free.count);
}

void SharedListItems(const CtrlCfg& cfg, int door, int slot, const FreeList& free,
                     std::vector<IoRef>& out) {
  IoRef shared[kMaxDoors];
  int n = SharedOutputs(cfg, slot, shared);
  IoRef current = cfg.doors[door].outputs[slot];
  out.clear();
  out.reserve(size_t(free.count) + size_t(n) + 2);
  out.push_back(current);  // kNoRef doubles as the empty choice
  for (int i = 0; i < n; ++i)
    if (shared[i] != current) out.push_back(shared[i]);
  if ((n > 0 && free.count > 0) || current != kNoRef) out.push_back(kNoRef);
  out.insert(out.end(), free.refs, free.refs + free.count);
}

bool OpenSensorItems(IoRef current, IoRef bolt, const FreeList& free, std::vector<IoRef>& out) {
  out.clear();
  if (current != kNoRef) out.push_back(current);
  out.push_back(kNoRef);
  if (bolt == kNoRef) return false;
  for (int i = 0; i < free.count; ++i)
    if ((free.refs[i] >> 8) == (bolt >> 8)) out.push_back(free.refs[i]);
  return true;
}

NcState OutputNc(const CtrlCfg& cfg, IoRef ref) {
  if (ref == kNoRef) return {false, false};
  int slot = (ref >> 8) & 0x7F;
  return {cfg.devs[slot].ocOutputs != 0, (ref & 0x80) != 0};
}

NcState InputNc(IoRef ref) {
  if (ref == kNoRef) return {false, false};
  return {true, (ref & 0x80) != 0};
}

std::string RefItemText(const CtrlCfg& cfg, IoRef ref, const char* kindText) {
  if (ref == kNoRef) return kEmptyChoice;
  return IoRefText(cfg, ref, kindText);
}

std::string FormatHalfSeconds(int v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%i%s", v / 2, (v % 2) ? ",5" : "");
  return buf;
}

namespace {

// One "%d" conversion: optional blanks, an optional sign, at least one digit. Saturates
// instead of overflowing; returns false (leaving v) when no number starts here.
bool ReadInt(const char*& s, long& v) {
  const char* p = s;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long n = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
    if (n < 1000000) n = n * 10 + (*p - '0');
  v = neg ? -n : n;
  s = p;
  return true;
}

}  // namespace

int ParseHalfSeconds(const std::string& text) {
  const char* s = text.c_str();
  long whole = 0;
  int tenth = 0;
  if (ReadInt(s, whole) && *s == ',') {
    ++s;
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    // "%1d": a field of one character, so only a digit can be read here.
    if (std::isdigit(static_cast<unsigned char>(*s))) tenth = *s - '0';
  }
  long v = 2 * whole + (tenth >= 5 ? 1 : 0);
  if (v < 0) v = 0;
  if (v > 127) v = 127;
  return int(v);
}

int ParseTrainNumber(const std::string& text) {
  const char* s = text.c_str();
  long v = 0;
  ReadInt(s, v);
  if (v < 0) v = 0;
  if (v > 9999) v = 9999;
  return int(v);
}

int AirlockCount(int doorCount) {
  int k = doorCount / 2;
  if (k < 0) k = 0;
  return k > kMaxAirlocks ? kMaxAirlocks : k;
}

std::vector<std::string> AirlockItems(int doorCount) {
  std::vector<std::string> items{kEmptyChoice};
  for (int i = 1; i <= AirlockCount(doorCount); ++i)
    items.push_back("\xC5\x9Aluza " + std::to_string(i));  // "Śluza %d"
  return items;
}

int AirlockItemIndex(const CtrlCfg& cfg, int door) {
  int index = GetAirlock(cfg, door) + 1;
  return index <= AirlockCount(cfg.doorCount) ? index : -1;
}

int TypeItemIndex(const CtrlCfg& cfg, int door) {
  int t = cfg.doors[door].params[kParType] & 0x0F;
  return t < kDoorTypeCount ? t : -1;
}

void SetDoorType(CtrlCfg& cfg, int door, int index) {
  uint8_t& b = cfg.doors[door].params[kParType];
  b = uint8_t((b & 0xF0) | (index & 0x0F));
}

void SetDoorFlag(CtrlCfg& cfg, int door, uint8_t flag, bool on) {
  uint8_t& b = cfg.doors[door].params[kParFlags];
  b = on ? uint8_t(b | flag) : uint8_t(b & ~flag);
}

bool DoorFlag(const CtrlCfg& cfg, int door, uint8_t flag) {
  return (cfg.doors[door].params[kParFlags] & flag) != 0;
}

bool TrainNumberShown(const CtrlCfg& cfg) {
  return cfg.listedCount > 0 && HasTrainNumber(cfg.devs[cfg.order[0]].id);
}
