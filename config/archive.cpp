// Configuration archive: JSON writer and reader, restore through the assignment rules, and
// the passage-by-passage comparison.
#include "config/archive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

#include "config/devname.h"
#include "config/plural.h"
#include "config/sysfile.h"

using nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

const char* const kOutLabels[4] = {"Rygiel", "Przypomnienie", "Alarm", "CCTV"};
const char* const kInLabels[4] = {"Przycisk wyjścia", "Czujnik otwarcia", "Czujka alarmowa",
                                  "Sabotaż"};
const char* const kTypeNames[5] = {"Otwarte", "Normalne", "Bistabilne", "Astabilne", "Zablokowane"};
const char* const kKinds[3] = {"Out", "In", "Rd"};

std::string InLabel(int slot) {
  return slot < 4 ? kInLabels[slot] : "Wejście " + std::to_string(slot + 1);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) s += d[b >> 4], s += d[b & 15];
  return s;
}

bool Unhex(const std::string& s, std::vector<uint8_t>& out) {
  if (s.size() % 2) return false;
  out.clear();
  auto nib = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (size_t i = 0; i < s.size(); i += 2) {
    const int a = nib(s[i]), b = nib(s[i + 1]);
    if (a < 0 || b < 0) return false;
    out.push_back(uint8_t(a * 16 + b));
  }
  return true;
}

std::string HalfSeconds(int v) {
  return std::to_string(v / 2) + (v % 2 ? ",5" : "") + " s";
}

std::string TypeText(int t) {
  return t < 5 ? kTypeNames[t] : std::to_string(t);
}

std::string AirlockText(const uint8_t* p) {
  return (p[kParFlags] & kFlagAirlock) ? "Śluza " + std::to_string((p[kParFlags] & 3) + 1) : "---";
}

// Parameter bits that no named field covers (carried through as read).
std::vector<uint8_t> OtherBits(const uint8_t* p) {
  std::vector<uint8_t> v(p, p + 8);
  v[kParType] &= 0xF0;
  v[kParFlags] &= 0x38;
  if (!(p[kParFlags] & kFlagAirlock)) v[kParFlags] |= p[kParFlags] & 3;
  v[kParBoltPulse] = v[kParOpenTime] = 0;
  return v;
}

// ------------------------------------------------------------------ writing

ojson RefJson(const ArcRef& r, int kind) {
  if (!r.set) return nullptr;
  ojson j = {{"device", DevName(r.dev)}, {"id", r.dev}, {"kind", kKinds[kind]}, {"index", r.index}};
  if (kind != kReaders || r.nc) j["nc"] = r.nc;
  return j;
}

ojson DoorJson(const ArcDoor& d, int number) {
  ojson outs = ojson::array(), ins = ojson::array(), rds = ojson::array();
  for (const ArcRef& r : d.outputs) outs.push_back(RefJson(r, kOutputs));
  for (const ArcRef& r : d.inputs) ins.push_back(RefJson(r, kInputs));
  for (const ArcRef& r : d.readers) rds.push_back(RefJson(r, kReaders));
  const uint8_t* p = d.params;
  ojson airlock = nullptr;
  if (p[kParFlags] & kFlagAirlock) airlock = (p[kParFlags] & 3) + 1;
  return {{"number", number},
          {"outputs", outs},
          {"inputs", ins},
          {"readers", rds},
          {"type", p[kParType] & 0x0F},
          {"boltPulse", p[kParBoltPulse]},
          {"openTime", p[kParOpenTime]},
          {"handleOpening", bool(p[kParFlags] & kFlagHandle)},
          {"fullBoltPulse", bool(p[kParFlags] & kFlagFullPulse)},
          {"airlock", airlock},
          {"params", Hex(std::vector<uint8_t>(p, p + 8))}};
}

// Texts padded for the window's columns, without the padding.
std::string Trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

const char* ModeName(int mode) {
  static const char* const names[4] = {"Blokada", "Konfiguracja", "Serwis", "Instalacja"};
  return names[mode & 3];
}

// ------------------------------------------------------------------ reading

// Shape errors are raised with their place and caught at the top.
struct Bad {
  std::string what;
};

const json& Field(const json& obj, const char* key, const std::string& where) {
  if (!obj.is_object() || !obj.contains(key)) throw Bad{where + ": brak pola \"" + key + "\""};
  return obj.at(key);
}

int64_t Int(const json& v, int64_t lo, int64_t hi, const std::string& where) {
  if (!v.is_number_integer()) throw Bad{where + ": oczekiwano liczby całkowitej, jest " + v.dump()};
  // A huge unsigned value is out of range as it stands; it is never folded into another.
  const bool big = v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT64_MAX);
  const int64_t x = big ? INT64_MAX : v.get<int64_t>();
  if (big || x < lo || x > hi)
    throw Bad{where + ": wartość " + v.dump() + " poza zakresem " + std::to_string(lo) + "-" +
              std::to_string(hi)};
  return x;
}

int64_t IntField(const json& obj, const char* key, int64_t lo, int64_t hi, const std::string& w) {
  return Int(Field(obj, key, w), lo, hi, w + "." + key);
}

bool BoolField(const json& obj, const char* key, const std::string& w) {
  const json& v = Field(obj, key, w);
  if (!v.is_boolean()) throw Bad{w + "." + key + ": oczekiwano true albo false"};
  return v.get<bool>();
}

std::string StrField(const json& obj, const char* key, const std::string& w) {
  const json& v = Field(obj, key, w);
  if (!v.is_string()) throw Bad{w + "." + key + ": oczekiwano tekstu"};
  return v.get<std::string>();
}

uint32_t IdField(const json& obj, const std::string& w) {
  const uint32_t id = uint32_t(IntField(obj, "id", 0, 0xFFFFFFFFll, w));
  if (obj.contains("name") || obj.contains("device")) {
    const json& n = obj.contains("name") ? obj.at("name") : obj.at("device");
    if (!n.is_string() || n.get<std::string>() != DevName(id))
      throw Bad{w + ": nazwa urządzenia nie pasuje do identyfikatora " + DevName(id)};
  }
  return id;
}

ArcRef RefFrom(const json& j, int kind, const std::string& w) {
  ArcRef r;
  if (j.is_null()) return r;
  if (!j.is_object()) throw Bad{w + ": oczekiwano obiektu albo null"};
  r.set = true;
  r.dev = IdField(j, w);
  if (StrField(j, "kind", w) != kKinds[kind])
    throw Bad{w + ": rodzaj \"" + j.at("kind").get<std::string>() + "\" w miejscu \"" +
              kKinds[kind] + "\""};
  r.index = int(IntField(j, "index", 0, kind == kReaders ? 3 : 15, w));
  if (j.contains("nc")) r.nc = BoolField(j, "nc", w);
  return r;
}

template <size_t N>
void RefsFrom(const json& door, const char* key, int kind, ArcRef (&out)[N], const std::string& w) {
  const json& a = Field(door, key, w);
  if (!a.is_array() || a.size() != N)
    throw Bad{w + "." + key + ": oczekiwano tablicy " + std::to_string(N) + " pozycji"};
  for (size_t i = 0; i < N; ++i)
    out[i] = RefFrom(a[i], kind, w + "." + key + "[" + std::to_string(i) + "]");
}

ArcDoor DoorFrom(const json& j, const std::string& w) {
  if (!j.is_object()) throw Bad{w + ": oczekiwano obiektu"};
  ArcDoor d;
  RefsFrom(j, "outputs", kOutputs, d.outputs, w);
  RefsFrom(j, "inputs", kInputs, d.inputs, w);
  RefsFrom(j, "readers", kReaders, d.readers, w);
  std::vector<uint8_t> raw;
  if (!Unhex(StrField(j, "params", w), raw) || raw.size() != 8)
    throw Bad{w + ".params: oczekiwano 16 cyfr szesnastkowych"};
  if (raw[5] > 127 || raw[7] > 127) throw Bad{w + ".params: bajt czasu powyżej 127"};
  uint8_t* p = d.params;
  std::copy(raw.begin(), raw.end(), p);
  // The named fields win over the raw bytes for the bits they cover.
  p[kParType] = uint8_t((p[kParType] & 0xF0) | IntField(j, "type", 0, 4, w));
  p[kParBoltPulse] = uint8_t(IntField(j, "boltPulse", 0, 127, w));
  p[kParOpenTime] = uint8_t(IntField(j, "openTime", 0, 127, w));
  uint8_t f = p[kParFlags] & uint8_t(~(kFlagHandle | kFlagFullPulse));
  if (BoolField(j, "handleOpening", w)) f |= kFlagHandle;
  if (BoolField(j, "fullBoltPulse", w)) f |= kFlagFullPulse;
  const json& a = Field(j, "airlock", w);
  if (a.is_null())
    f &= uint8_t(~kFlagAirlock);
  else
    f = uint8_t((f & ~3) | kFlagAirlock | (Int(a, 1, 4, w + ".airlock") - 1));
  p[kParFlags] = f;
  return d;
}

void ArchiveFrom(const json& j, Archive& arc) {
  if (!j.is_object()) throw Bad{"to nie jest obiekt JSON"};
  if (!j.contains("format") || j.at("format") != kArchiveFormat)
    throw Bad{"to nie jest archiwum konfiguracji Feldaro (pole \"format\")"};
  const int64_t version = IntField(j, "version", 0, 1 << 30, "archiwum");
  if (version != kArchiveVersion)
    throw Bad{"nieobsługiwana wersja archiwum " + std::to_string(version) +
              " (obsługiwana: " + std::to_string(kArchiveVersion) + ")"};
  arc.tool = StrField(j, "tool", "archiwum");
  arc.created = StrField(j, "created", "archiwum");
  arc.location = j.contains("location") ? StrField(j, "location", "archiwum") : "";
  const json& c = Field(j, "controller", "archiwum");
  arc.ctrlId = IdField(c, "controller");
  arc.ctrlAddress = StrField(c, "address", "controller");
  arc.ctrlMode = int(IntField(c, "mode", 0, 3, "controller"));

  const json& devs = Field(j, "devices", "archiwum");
  if (!devs.is_array() || devs.size() > size_t(kMaxDevs))
    throw Bad{"devices: oczekiwano tablicy najwyżej 128 urządzeń"};
  for (size_t i = 0; i < devs.size(); ++i) {
    const std::string w = "devices[" + std::to_string(i) + "]";
    ArcDevice d;
    d.slot = int(IntField(devs[i], "slot", 0, kMaxDevs - 1, w));
    d.id = IdField(devs[i], w);
    d.suffixNumber = uint8_t(IntField(devs[i], "suffixNumber", 0, 255, w));
    d.state = uint8_t(IntField(devs[i], "state", 0, 255, w));
    d.outputs = int(IntField(devs[i], "outputs", 0, 15, w));
    d.inputs = int(IntField(devs[i], "inputs", 0, 15, w));
    d.readers = int(IntField(devs[i], "readers", 0, 3, w));
    d.oc = BoolField(devs[i], "oc", w);
    for (const ArcDevice& o : arc.devices)
      if (o.id == d.id || o.slot == d.slot) throw Bad{w + ": urządzenie lub slot powtórzony"};
    arc.devices.push_back(d);
  }
  const json& doors = Field(j, "passages", "archiwum");
  if (!doors.is_array() || doors.size() > size_t(kMaxDoors))
    throw Bad{"passages: oczekiwano tablicy najwyżej 16 przejść"};
  for (size_t i = 0; i < doors.size(); ++i) {
    const std::string w = "passages[" + std::to_string(i) + "]";
    if (IntField(doors[i], "number", 1, kMaxDoors, w) != int64_t(i) + 1)
      throw Bad{w + ".number: przejścia nie po kolei"};
    arc.cfg.doors.push_back(DoorFrom(doors[i], w));
    // Every reference must name a device of the archive's own list.
    auto known = [&](const ArcRef& r) {
      if (!r.set || r.dev == arc.ctrlId) return;
      for (const ArcDevice& d : arc.devices)
        if (d.id == r.dev) return;
      throw Bad{w + ": odwołanie do " + DevName(r.dev) + ", którego nie ma na liście urządzeń"};
    };
    for (const ArcRef& r : arc.cfg.doors.back().outputs) known(r);
    for (const ArcRef& r : arc.cfg.doors.back().inputs) known(r);
    for (const ArcRef& r : arc.cfg.doors.back().readers) known(r);
  }
  arc.cfg.trainNumber = uint16_t(IntField(j, "trainNumber", 0, 9999, "archiwum"));
  arc.cfg.hasTrainNumber = HasTrainNumber(arc.ctrlId);
  const json& raw = Field(j, "raw", "archiwum");
  if (!Unhex(StrField(raw, "D", "raw"), arc.rawDevList) ||
      !Unhex(StrField(raw, "C", "raw"), arc.rawDoors))
    throw Bad{"raw: oczekiwano cyfr szesnastkowych"};
}

// ------------------------------------------------------------------ restoring

int SlotOf(const CtrlCfg& cfg, uint32_t id) {
  for (int k = 0; k < std::clamp<int>(cfg.listedCount, 0, kMaxDevs); ++k) {
    const int s = cfg.order[k];
    if (s >= 0 && s < kMaxDevs && cfg.devs[s].id == id) return s;
  }
  return -1;
}

bool Contains(const IoRef* list, int n, IoRef v) {
  for (int i = 0; i < n; ++i)
    if (list[i] == v) return true;
  return false;
}

}  // namespace

ArcCfg ResolveCfg(const CtrlCfg& cfg) {
  ArcCfg out;
  auto res = [&](IoRef r) {
    ArcRef a;
    if (r == kNoRef) return a;
    a.set = true;
    a.dev = cfg.devs[(r >> 8) & 0x7F].id;
    a.index = r & 0x1F;
    a.nc = (r & 0x80) != 0;
    return a;
  };
  for (int d = 0; d < std::clamp<int>(cfg.doorCount, 0, kMaxDoors); ++d) {
    ArcDoor ad;
    const DoorCfg& door = cfg.doors[d];
    for (int i = 0; i < 4; ++i) ad.outputs[i] = res(door.outputs[i]);
    for (int i = 0; i < 10; ++i) ad.inputs[i] = res(door.inputs[i]);
    for (int i = 0; i < 4; ++i) ad.readers[i] = res(door.readers[i]);
    std::copy(door.params, door.params + 8, ad.params);
    out.doors.push_back(ad);
  }
  out.trainNumber = cfg.trainNumber;
  out.hasTrainNumber = HasTrainNumber(cfg.devs[0].id);
  return out;
}

std::string UtcNowText() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  UtcTm(t, tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

Archive MakeArchive(const CtrlCfg& cfg, uint32_t ctrlId, const std::string& address, int mode,
                    const std::string& tool, const std::string& createdUtc,
                    const std::string& location, const std::vector<uint8_t>& rawDevList,
                    const std::vector<uint8_t>& rawDoors) {
  Archive a;
  a.tool = tool;
  a.created = createdUtc;
  a.location = location;
  a.ctrlId = ctrlId;
  a.ctrlAddress = address;
  a.ctrlMode = mode & 3;
  for (int k = 0; k < std::clamp<int>(cfg.listedCount, 0, kMaxDevs); ++k) {
    const int s = cfg.order[k];
    if (s < 0 || s >= kMaxDevs) continue;
    const BusDev& b = cfg.devs[s];
    a.devices.push_back(ArcDevice{s, b.id, b.suffixNumber, b.state, b.outputCount, b.inputCount,
                                  b.readerCount, b.ocOutputs != 0});
  }
  a.cfg = ResolveCfg(cfg);
  a.rawDevList = rawDevList;
  a.rawDoors = rawDoors;
  return a;
}

std::string ArchiveToJson(const Archive& a) {
  ojson devs = ojson::array();
  for (const ArcDevice& d : a.devices) {
    BusDev b{};
    b.id = d.id;
    b.suffixNumber = d.suffixNumber;
    b.state = d.state;
    const std::string line = DevListText(b);
    ojson st = ojson::array();
    const char* names[4] = {"nieaktywny", "zasilanie", "sabotaż", "nowy"};
    for (int bit = 0; bit < 4; ++bit)
      if (d.state & (0x80 >> bit)) st.push_back(names[bit]);
    devs.push_back({{"slot", d.slot},
                    {"id", d.id},
                    {"name", DevName(d.id)},
                    {"label", Trimmed(DevLabel(b))},
                    {"type", Trimmed(TypeName(d.id))},
                    {"suffixNumber", d.suffixNumber},
                    {"outputs", d.outputs},
                    {"inputs", d.inputs},
                    {"readers", d.readers},
                    {"oc", d.oc},
                    {"state", d.state},
                    {"stateFlags", st}});
  }
  ojson doors = ojson::array();
  for (size_t i = 0; i < a.cfg.doors.size(); ++i)
    doors.push_back(DoorJson(a.cfg.doors[i], int(i) + 1));
  ojson j = {{"format", kArchiveFormat},
             {"version", kArchiveVersion},
             {"tool", a.tool},
             {"created", a.created}};
  if (!a.location.empty()) j["location"] = a.location;
  j["controller"] = {{"id", a.ctrlId},
                     {"name", DevName(a.ctrlId)},
                     {"address", a.ctrlAddress},
                     {"mode", a.ctrlMode},
                     {"modeText", ModeName(a.ctrlMode)}};
  j["devices"] = devs;
  j["passages"] = doors;
  j["trainNumber"] = a.cfg.trainNumber;
  j["raw"] = {{"D", Hex(a.rawDevList)}, {"C", Hex(a.rawDoors)}};
  // Texts the user typed may hold anything; never fail on a byte that is not UTF-8.
  return j.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
}

namespace {

// Keys given twice in one object: JSON readers differ on which one counts, so an archive
// with one is refused. The parser's events give the path of the first such key.
class DuplicateKeys {
 public:
  bool Event(json::parse_event_t ev, const json& parsed) {
    using E = json::parse_event_t;
    switch (ev) {
      case E::object_start:
      case E::array_start:
        stack_.push_back(Frame{ev == E::array_start, 0, ChildPath(), {}, {}});
        break;
      case E::key:
        if (!stack_.empty()) {
          Frame& f = stack_.back();
          f.key = parsed.is_string() ? parsed.get<std::string>() : parsed.dump();
          if (!f.keys.insert(f.key).second && first_.empty()) first_ = ChildPath();
        }
        break;
      case E::object_end:
      case E::array_end:
        if (!stack_.empty()) stack_.pop_back();
        Next();
        break;
      case E::value:
        Next();
        break;
    }
    return true;
  }
  const std::string& First() const { return first_; }

 private:
  struct Frame {
    bool array;
    size_t index;
    std::string path, key;
    std::set<std::string> keys;
  };
  std::vector<Frame> stack_;
  std::string first_;

  std::string ChildPath() const {
    if (stack_.empty()) return "";
    const Frame& f = stack_.back();
    if (f.array) return f.path + "[" + std::to_string(f.index) + "]";
    return f.path.empty() ? f.key : f.path + "." + f.key;
  }
  void Next() {
    if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
  }
};

// "w wierszu 3, kolumnie 14" for a parser's byte count (1-based, the character it stopped at).
std::string Place(std::string_view text, size_t byte) {
  const size_t pos = std::min(byte, text.size());
  size_t line = 1, col = 0;
  for (size_t i = 0; i < pos; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      col = 0;
    } else if ((c & 0xC0) != 0x80) {
      ++col;  // a character, not a UTF-8 continuation byte
    }
  }
  return "w wierszu " + std::to_string(line) + ", kolumnie " +
         std::to_string(std::max<size_t>(col, 1));
}

}  // namespace

bool ParseArchive(std::string_view text, Archive& out, std::string& error) {
  out = Archive{};
  if (text.size() > kArchiveMaxBytes) {
    error = "plik za duży na archiwum konfiguracji";
    return false;
  }
  DuplicateKeys dup;
  json j;
  try {
    j = json::parse(
        text.begin(), text.end(),
        [&dup](int, json::parse_event_t ev, json& parsed) { return dup.Event(ev, parsed); }, true);
  } catch (const json::parse_error& e) {
    const std::string what = e.what();
    std::string kind = "błąd składni";
    if (e.byte >= text.size())
      kind = "dokument urwany";
    else if (what.find("UTF-8") != std::string::npos)
      kind = "bajt, który nie jest tekstem UTF-8,";
    error = "plik nie jest poprawnym dokumentem JSON (uszkodzony lub obcięty): " + kind + " " +
            Place(text, e.byte);
    return false;
  } catch (const json::exception& e) {
    // A number beyond what a double holds: the parser names it, not its place.
    const std::string what = e.what();
    const size_t a = what.find('\''), b = what.rfind('\'');
    const std::string number = a != std::string::npos && b > a ? what.substr(a + 1, b - a - 1) : "";
    const size_t at = number.empty() ? std::string::npos : text.find(number);
    error = "plik nie jest poprawnym dokumentem JSON: liczba " + number + " poza zakresem" +
            (at == std::string::npos ? std::string() : " " + Place(text, at + 1));
    return false;
  }
  if (!dup.First().empty()) {
    error = dup.First() + ": klucz podany dwa razy";
    return false;
  }
  try {
    ArchiveFrom(j, out);
  } catch (const Bad& b) {
    error = b.what;
    return false;
  } catch (const json::exception& e) {
    error = std::string("niepoprawne archiwum: ") + e.what();
    return false;
  }
  return true;
}

ArcCfg MapDevices(const ArcCfg& cfg, const std::map<uint32_t, uint32_t>& map) {
  ArcCfg out = cfg;
  auto m = [&](ArcRef& r) {
    if (!r.set) return;
    const auto it = map.find(r.dev);
    if (it != map.end()) r.dev = it->second;
  };
  for (ArcDoor& d : out.doors) {
    for (ArcRef& r : d.outputs) m(r);
    for (ArcRef& r : d.inputs) m(r);
    for (ArcRef& r : d.readers) m(r);
  }
  return out;
}

bool BuildRestore(const ArcCfg& archived, const CtrlCfg& target,
                  const std::map<uint32_t, uint32_t>& map, CtrlCfg& out, std::string& error) {
  out = target;
  const int n = int(archived.doors.size());
  if (n > kMaxDoors || n != target.doorCount) {
    error = "kontroler ma " + CountPl(target.doorCount, "przejście", "przejścia", "przejść") +
            ", archiwum " + std::to_string(n) + "; liczby przejść muszą się zgadzać";
    return false;
  }
  // Start from a controller with nothing assigned; the used masks follow the passages.
  for (int d = 0; d < n; ++d) {
    DoorCfg& door = out.doors[d];
    std::fill(std::begin(door.outputs), std::end(door.outputs), kNoRef);
    std::fill(std::begin(door.inputs), std::end(door.inputs), kNoRef);
    std::fill(std::begin(door.readers), std::end(door.readers), kNoRef);
  }
  for (BusDev& b : out.devs) b.usedOutputs = b.usedInputs = b.usedReaders = 0;
  const ArcCfg cfg = MapDevices(archived, map);

  for (int d = 0; d < n; ++d) {
    const ArcDoor& a = cfg.doors[size_t(d)];
    const std::string where = "przejście " + std::to_string(d + 1) + ", ";
    // The target's reference for one archived assignment, or a reason why there is none.
    auto toRef = [&](const ArcRef& r, int kind, const std::string& label, IoRef& ref) {
      ref = kNoRef;
      if (!r.set) return true;
      const int slot = SlotOf(out, r.dev);
      if (slot < 0) {
        error = where + label + ": brak urządzenia " + DevName(r.dev) + " na kontrolerze " +
                DevName(target.devs[0].id);
        return false;
      }
      const BusDev& b = out.devs[slot];
      if (r.nc && kind == kReaders) {
        error = where + label + ": czytnik nie ma znacznika NC";
        return false;
      }
      if (r.nc && kind == kOutputs && !b.ocOutputs) {
        error = where + label + ": NC tylko dla wyjść typu otwarty kolektor, a " + DevName(b.id) +
                " ma wyjścia przekaźnikowe";
        return false;
      }
      ref = IoRef((slot << 8) | r.index);
      return true;
    };
    // What the editor offers for a function: a free I/O, or the function's current
    // assignment on the target (shown first even when the device's counts no longer cover
    // it), as long as nothing earlier took it.
    auto isFree = [&](int kind, IoRef ref, const std::string& label, const ArcRef& r,
                      IoRef current) {
      IoRef free[kMaxDevs * 16];
      const int nf = FreeIo(out, kind, free);
      if (Contains(free, nf, ref)) return true;
      const BusDev& b = out.devs[ref >> 8];
      const uint32_t used = kind == kOutputs  ? b.usedOutputs
                            : kind == kInputs ? b.usedInputs
                                              : b.usedReaders;
      const uint32_t bit = kind == kReaders ? 1u << (ref & 3) : 1u << (ref & 0x1F);
      if (current != kNoRef && (current & kRefMask) == ref && !(used & bit)) return true;
      const int count = kind == kOutputs  ? b.outputCount
                        : kind == kInputs ? b.inputCount
                                          : b.readerCount;
      if (r.index >= count)
        error = where + label + ": " + ArcRefText(r, kKinds[kind]) + " – urządzenie ma " +
                (kind == kOutputs  ? CountPl(count, "wyjście", "wyjścia", "wyjść")
                 : kind == kInputs ? CountPl(count, "wejście", "wejścia", "wejść")
                                   : CountPl(count, "czytnik", "czytniki", "czytników"));
      else
        error =
            where + label + ": " + ArcRefText(r, kKinds[kind]) + " jest już użyte w innej funkcji";
      return false;
    };
    const DoorCfg& was = target.doors[d];
    IoRef ref;
    // Bolt first, then the open sensor on the bolt's device, as the editor offers them.
    if (!toRef(a.outputs[0], kOutputs, kOutLabels[0], ref)) return false;
    if (ref != kNoRef) {
      if (!isFree(kOutputs, ref, kOutLabels[0], a.outputs[0], was.outputs[0])) return false;
      SetOutput(out, d, 0, ref, a.outputs[0].nc);
    }
    const IoRef bolt = out.doors[d].outputs[0];
    for (int slot : {1, 0, 2, 3}) {
      if (!toRef(a.inputs[slot], kInputs, kInLabels[slot], ref)) return false;
      if (ref == kNoRef) continue;
      if (slot == 1 && (bolt == kNoRef || (bolt >> 8) != (ref >> 8))) {
        error = where + kInLabels[1] + ": czujnik otwarcia musi być na urządzeniu rygla";
        return false;
      }
      if (!isFree(kInputs, ref, kInLabels[slot], a.inputs[slot], was.inputs[slot])) return false;
      SetInput(out, d, slot, ref, a.inputs[slot].nc);
    }
    for (int r = 0; r < 4; ++r) {
      const std::string label = "Czytnik " + std::to_string(r + 1);
      if (!toRef(a.readers[r], kReaders, label, ref)) return false;
      if (ref == kNoRef) continue;
      if (!isFree(kReaders, ref, label, a.readers[r], was.readers[r])) return false;
      SetReader(out, d, r, ref);
    }
    if (!toRef(a.outputs[1], kOutputs, kOutLabels[1], ref)) return false;
    if (ref != kNoRef) {
      if (!isFree(kOutputs, ref, kOutLabels[1], a.outputs[1], was.outputs[1])) return false;
      SetOutput(out, d, 1, ref, a.outputs[1].nc);
    }
    // Alarm and CCTV: an output other passages already use for the same function keeps its
    // one NC flag; a free output takes the archived flag.
    for (int slot : {2, 3}) {
      if (!toRef(a.outputs[slot], kOutputs, kOutLabels[slot], ref)) return false;
      if (ref == kNoRef) continue;
      IoRef shared[kMaxDoors];
      const int ns = SharedOutputs(out, slot, shared);
      const IoRef want = IoRef(ref | (a.outputs[slot].nc ? 0x80 : 0));
      bool found = false;
      for (int i = 0; i < ns && !found; ++i) {
        if ((shared[i] & kRefMask) != ref) continue;
        if (shared[i] != want) {
          error = where + kOutLabels[slot] + ": wspólne wyjście " +
                  ArcRefText(a.outputs[slot], "Out") + " ma w innym przejściu inny znacznik NC";
          return false;
        }
        found = true;
      }
      if (found) {
        SetOutput(out, d, slot, want, 0);
      } else {
        if (!isFree(kOutputs, ref, kOutLabels[slot], a.outputs[slot], was.outputs[slot]))
          return false;
        SetOutput(out, d, slot, ref, 0);
        if (a.outputs[slot].nc) SetOutputNC(out, d, slot, 1);
      }
    }
    // The inputs the editor does not show are carried as read; they still count as used.
    for (int slot = 4; slot < 10; ++slot) {
      const std::string label = InLabel(slot);
      if (!toRef(a.inputs[slot], kInputs, label, ref)) return false;
      if (ref == kNoRef) continue;
      if (!isFree(kInputs, ref, label, a.inputs[slot], was.inputs[slot])) return false;
      SetInput(out, d, slot, ref, a.inputs[slot].nc);
    }
    std::copy(a.params, a.params + 8, out.doors[d].params);
  }
  // A model without a train number neither gives one nor takes one: the target keeps its own.
  if (archived.hasTrainNumber && HasTrainNumber(target.devs[0].id))
    out.trainNumber = cfg.trainNumber;
  return true;
}

std::string ArcRefText(const ArcRef& r, const char* kindText) {
  if (!r.set) return "---";
  return DevName(r.dev) + ":" + kindText + std::to_string(r.index + 1) + (r.nc ? " [NC]" : "");
}

std::vector<CfgChange> DiffItems(const ArcCfg& from, const ArcCfg& to) {
  std::vector<CfgChange> out;
  if (from.doors.size() != to.doors.size())
    out.push_back(CfgChange{0, "Liczba przejść", std::to_string(from.doors.size()),
                            std::to_string(to.doors.size())});
  if (from.hasTrainNumber && to.hasTrainNumber && from.trainNumber != to.trainNumber)
    out.push_back(CfgChange{0, "Nr pociągu", std::to_string(from.trainNumber),
                            std::to_string(to.trainNumber)});
  const size_t n = std::min(from.doors.size(), to.doors.size());
  for (size_t d = 0; d < n; ++d) {
    const int number = int(d) + 1;
    auto item = [&](const std::string& label, const std::string& a, const std::string& b) {
      if (a != b) out.push_back(CfgChange{number, label, a, b});
    };
    const ArcDoor &a = from.doors[d], &b = to.doors[d];
    item(kOutLabels[0], ArcRefText(a.outputs[0], "Out"), ArcRefText(b.outputs[0], "Out"));
    for (int s : {1, 0, 2, 3})
      item(kInLabels[s], ArcRefText(a.inputs[s], "In"), ArcRefText(b.inputs[s], "In"));
    for (int r = 0; r < 4; ++r)
      item("Czytnik " + std::to_string(r + 1), ArcRefText(a.readers[r], "Rd"),
           ArcRefText(b.readers[r], "Rd"));
    for (int s : {1, 2, 3})
      item(kOutLabels[s], ArcRefText(a.outputs[s], "Out"), ArcRefText(b.outputs[s], "Out"));
    for (int s = 4; s < 10; ++s)
      item(InLabel(s), ArcRefText(a.inputs[s], "In"), ArcRefText(b.inputs[s], "In"));
    item("Śluza", AirlockText(a.params), AirlockText(b.params));
    item("Typ przejścia", TypeText(a.params[kParType] & 15), TypeText(b.params[kParType] & 15));
    item("Impuls otwarcia rygla", HalfSeconds(a.params[kParBoltPulse]),
         HalfSeconds(b.params[kParBoltPulse]));
    item("Dozw. czas otwarcia", HalfSeconds(a.params[kParOpenTime]),
         HalfSeconds(b.params[kParOpenTime]));
    auto yes = [](bool v) { return std::string(v ? "tak" : "nie"); };
    item("Otwieranie klamką", yes(a.params[kParFlags] & kFlagHandle),
         yes(b.params[kParFlags] & kFlagHandle));
    item("Pełny impuls rygla", yes(a.params[kParFlags] & kFlagFullPulse),
         yes(b.params[kParFlags] & kFlagFullPulse));
    item("Pozostałe parametry", Hex(OtherBits(a.params)), Hex(OtherBits(b.params)));
  }
  return out;
}

std::vector<std::string> ChangeLines(const std::vector<CfgChange>& changes) {
  std::vector<std::string> lines;
  int shown = -1;
  for (const CfgChange& c : changes) {
    if (c.passage == 0) {
      lines.push_back(c.field + ": " + c.from + " -> " + c.to);
      continue;
    }
    if (c.passage != shown) lines.push_back("Przejście " + std::to_string(c.passage) + ":");
    shown = c.passage;
    lines.push_back("  " + c.field + ": " + c.from + " -> " + c.to);
  }
  return lines;
}

std::vector<std::string> DiffCfg(const ArcCfg& from, const ArcCfg& to) {
  return ChangeLines(DiffItems(from, to));
}
