#include "scenario.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

#include "config/ctrlcfg.h"
#include "config/devname.h"

using nlohmann::json;

namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

const char* const kModeNames[4] = {"Blokada", "Konfiguracja", "Serwis", "Instalacja"};

int ParseMode(const json& j, const std::string& where) {
  if (j.is_number_integer()) {
    int m = j.get<int>();
    if (m < 0 || m > 3) Fail(where, "mode must be 0..3");
    return m;
  }
  if (j.is_string()) {
    std::string s = j.get<std::string>();
    for (int m = 0; m < 4; ++m)
      if (s == kModeNames[m]) return m;
  }
  Fail(where, "mode must be 0..3 or Blokada, Konfiguracja, Serwis, Instalacja");
}

uint32_t ParseIpText(const std::string& text, const std::string& where) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) Fail(where, "bad IPv4 address '" + text + "'");
  return ntohl(a.s_addr);
}

uint32_t ParseU32(const json& j, const std::string& where) {
  if (j.is_number_unsigned() || j.is_number_integer()) return j.get<uint32_t>();
  if (j.is_string()) {
    std::string s = j.get<std::string>();
    try {
      size_t used = 0;
      unsigned long v = std::stoul(s, &used, 0);
      if (used == s.size()) return uint32_t(v);
    } catch (const std::exception&) {
    }
  }
  Fail(where, "expected a number");
}

int GetInt(const json& j, const char* key, int def, int lo, int hi, const std::string& where) {
  if (!j.contains(key)) return def;
  const json& v = j.at(key);
  if (!v.is_number_integer()) Fail(where, std::string(key) + " must be an integer");
  int x = v.get<int>();
  if (x < lo || x > hi)
    Fail(where, std::string(key) + " must be " + std::to_string(lo) + ".." + std::to_string(hi));
  return x;
}

bool GetBool(const json& j, const char* key, bool def, const std::string& where) {
  if (!j.contains(key)) return def;
  if (!j.at(key).is_boolean()) Fail(where, std::string(key) + " must be true or false");
  return j.at(key).get<bool>();
}

double GetRate(const json& j, const char* key, const std::string& where) {
  if (!j.contains(key)) return 0;
  if (!j.at(key).is_number()) Fail(where, std::string(key) + " must be a number");
  double r = j.at(key).get<double>();
  if (r < 0 || r > 1) Fail(where, std::string(key) + " must be 0..1");
  return r;
}

int ParseSuffix(const json& j, const std::string& where) {
  if (j.is_number_integer()) {
    int s = j.get<int>();
    if (s < 0 || s > 3) Fail(where, "suffix must be 0..3 or A..D");
    return s;
  }
  if (j.is_string()) {
    std::string s = j.get<std::string>();
    if (s.size() == 1 && s[0] >= 'A' && s[0] <= 'D') return s[0] - 'A';
  }
  Fail(where, "suffix must be 0..3 or A..D");
}

// Identifier from "id" or from its parts; `selfId` stands in for "self": true.
uint32_t ParseId(const json& j, const std::string& where) {
  if (j.contains("id")) return ParseU32(j.at("id"), where + ".id");
  if (!j.contains("type") || !j.contains("serial")) Fail(where, "needs id or type and serial");
  int type = GetInt(j, "type", 0, 0, 1023, where);
  int serial = GetInt(j, "serial", 0, 0, 65535, where);
  int suffix = j.contains("suffix") ? ParseSuffix(j.at("suffix"), where + ".suffix") : 0;
  int cls = GetInt(j, "class", 2, 0, 15, where);
  return MakeId(uint32_t(type), uint32_t(serial), uint32_t(suffix), uint32_t(cls));
}

SimBusDev ParseBusDev(const json& j, uint32_t selfId, const std::string& where) {
  if (!j.is_object()) Fail(where, "must be an object");
  SimBusDev b;
  b.present = GetBool(j, "present", true, where);
  if (!b.present) return b;
  if (GetBool(j, "self", false, where)) {
    // The controller itself, with its own suffix letter and class in the identifier.
    b.id = selfId;
  } else {
    b.id = ParseId(j, where);
  }
  if ((b.id >> 16) == 0xFFFF)
    Fail(where, "an identifier with 0xFFFF in its upper half marks an empty slot");
  b.suffixNumber = uint8_t(GetInt(j, "number", 1, 0, 255, where));
  uint8_t defOut, defIn, defRd;
  DefaultIo(IdType(b.id), defOut, defIn, defRd);
  b.outputs = uint8_t(GetInt(j, "outputs", defOut, 0, 15, where));
  b.inputs = uint8_t(GetInt(j, "inputs", defIn, 0, 15, where));
  b.readers = uint8_t(GetInt(j, "readers", defRd, 0, 3, where));
  b.oc = GetBool(j, "oc", false, where);
  b.readerFieldWithoutReaders = GetBool(j, "readerField", false, where);
  if (b.readerFieldWithoutReaders && b.readers)
    Fail(where, "readerField is for a device without readers (one with readers sends it)");
  int state = GetInt(j, "state", 0, 0, 255, where);
  if (GetBool(j, "inactive", false, where)) state |= kStInactive;
  if (GetBool(j, "power", false, where)) state |= kStPower;
  if (GetBool(j, "tamper", false, where)) state |= kStTamper;
  if (GetBool(j, "new", false, where)) state |= kStNew;
  b.state = uint8_t(state);
  return b;
}

uint16_t ParseRef(const json& j, const std::string& where) {
  if (j.is_null()) return kNoRef;
  if (j.is_object()) {
    int slot = GetInt(j, "slot", 0, 0, 127, where);
    int index = GetInt(j, "index", 0, 0, 31, where);
    bool nc = GetBool(j, "nc", false, where);
    return uint16_t((slot << 8) | index | (nc ? 0x80 : 0));
  }
  uint32_t v = ParseU32(j, where);
  if (v > 0xFFFF) Fail(where, "reference must be 16 bits");
  return uint16_t(v);
}

void ParseRefList(const json& j, const char* key, size_t max, uint16_t* out,
                  const std::string& where) {
  if (!j.contains(key)) return;
  const json& a = j.at(key);
  if (!a.is_array() || a.size() > max)
    Fail(where, std::string(key) + " must be an array of at most " + std::to_string(max));
  for (size_t i = 0; i < a.size(); ++i)
    out[i] = ParseRef(a[i], where + "." + key + "[" + std::to_string(i) + "]");
}

SimDoor ParseDoor(const json& j, const std::string& where) {
  if (!j.is_object()) Fail(where, "must be an object");
  SimDoor d;
  std::fill(std::begin(d.refs), std::end(d.refs), kNoRef);
  std::fill(std::begin(d.params), std::end(d.params), uint8_t(0));
  if (j.contains("refs")) {
    ParseRefList(j, "refs", 18, d.refs, where);
  } else {
    ParseRefList(j, "outputs", 4, d.refs, where);
    ParseRefList(j, "inputs", 10, d.refs + 4, where);
    ParseRefList(j, "readers", 4, d.refs + 14, where);
  }
  if (j.contains("params")) {
    const json& p = j.at("params");
    if (!p.is_array() || p.size() > 8) Fail(where, "params must be an array of at most 8 bytes");
    for (size_t i = 0; i < p.size(); ++i) {
      uint32_t v = ParseU32(p[i], where + ".params");
      if (v > 255) Fail(where, "params are bytes");
      d.params[i] = uint8_t(v);
    }
  }
  // Named parameters on top of the raw bytes.
  if (j.contains("doorType"))
    d.params[0] = uint8_t((d.params[0] & 0xF0) | GetInt(j, "doorType", 0, 0, 15, where));
  if (j.contains("airlock")) {
    int a = GetInt(j, "airlock", 0, 0, 4, where);  // 0 none, 1..4 airlock number
    d.params[2] = uint8_t((d.params[2] & ~0x07) | (a ? (0x04 | (a - 1)) : 0));
  }
  if (GetBool(j, "handle", false, where)) d.params[2] |= kFlagHandle;
  if (GetBool(j, "fullPulse", false, where)) d.params[2] |= kFlagFullPulse;
  if (j.contains("boltPulse")) d.params[4] = uint8_t(GetInt(j, "boltPulse", 0, 0, 255, where));
  if (j.contains("openTime")) d.params[6] = uint8_t(GetInt(j, "openTime", 0, 0, 255, where));
  return d;
}

void ParseFaults(const json& j, SimFaults& f, const std::string& where) {
  if (!j.is_object()) Fail(where, "must be an object");
  static const std::set<std::string> known = {"lossRate",   "duplicate", "delayMs",  "badCrcRate",
                                              "badSigRate", "noAckFor",  "dropNext", "badCrcNext",
                                              "badSigNext", "offline"};
  for (auto it = j.begin(); it != j.end(); ++it)
    if (!known.count(it.key())) Fail(where, "unknown fault '" + it.key() + "'");
  f.lossRate = GetRate(j, "lossRate", where);
  f.badCrcRate = GetRate(j, "badCrcRate", where);
  f.badSigRate = GetRate(j, "badSigRate", where);
  f.duplicate = GetInt(j, "duplicate", 0, 0, 10, where);
  f.delayMs = GetInt(j, "delayMs", 0, 0, 60000, where);
  f.dropNext = GetInt(j, "dropNext", 0, 0, 1000000, where);
  f.badCrcNext = GetInt(j, "badCrcNext", 0, 0, 1000000, where);
  f.badSigNext = GetInt(j, "badSigNext", 0, 0, 1000000, where);
  f.offline = GetBool(j, "offline", false, where);
  if (j.contains("noAckFor")) {
    const json& v = j.at("noAckFor");
    if (!v.is_string() || v.get<std::string>().size() != 1)
      Fail(where, "noAckFor must be one command letter");
    f.noAckFor = v.get<std::string>()[0];
  }
}

// "impostor": true, or {"announceMs": N, "forge": "O" | "K" | "OK"}.
void ParseImpostor(const json& j, SimNode& node, const std::string& where) {
  node.impostor = true;
  if (j.is_boolean()) {
    node.impostor = j.get<bool>();
    return;
  }
  if (!j.is_object()) Fail(where, "must be true or an object");
  node.announceMs = GetInt(j, "announceMs", 0, 0, 600000, where);
  if (j.contains("forge")) {
    const json& f = j.at("forge");
    const std::string s = f.is_string() ? f.get<std::string>() : "?";
    if (s.empty() || s.find_first_not_of("OK") != std::string::npos)
      Fail(where, "forge must be O, K or OK");
    node.forgeStatus = s.find('O') != std::string::npos;
    node.forgeKey = s.find('K') != std::string::npos;
  }
}

std::string EventCommand(const json& e, const std::string& where) {
  if (e.contains("command")) {
    if (!e.at("command").is_string()) Fail(where, "command must be a text");
    return e.at("command").get<std::string>();
  }
  if (!e.contains("device")) Fail(where, "needs device (name or index) or command");
  const json& dj = e.at("device");
  std::string dev = dj.is_string() ? dj.get<std::string>() : std::to_string(dj.get<int>());
  if (e.contains("mode"))
    return "mode " + dev + " " + std::to_string(ParseMode(e.at("mode"), where));
  if (e.contains("inactive")) {
    const json& in = e.at("inactive");
    int slot = GetInt(in, "slot", 0, 0, 127, where + ".inactive");
    bool on = GetBool(in, "on", true, where + ".inactive");
    return "inactive " + dev + " " + std::to_string(slot) + (on ? " on" : " off");
  }
  if (e.contains("appear")) return (GetBool(e, "appear", true, where) ? "appear " : "hide ") + dev;
  if (e.contains("session")) {
    const json& s = e.at("session");
    if (!s.is_string()) Fail(where, "session must be foreign or none");
    return "session " + dev + " " + s.get<std::string>();
  }
  if (e.contains("addBus")) {
    const json& b = e.at("addBus");
    std::string w = where + ".addBus";
    int type = GetInt(b, "type", 0, 0, 1023, w);
    int serial = GetInt(b, "serial", 0, 0, 65535, w);
    uint8_t o, i, r;
    DefaultIo(uint32_t(type / 100), o, i, r);
    o = uint8_t(GetInt(b, "outputs", o, 0, 15, w));
    i = uint8_t(GetInt(b, "inputs", i, 0, 15, w));
    r = uint8_t(GetInt(b, "readers", r, 0, 3, w));
    return "add " + dev + " " + std::to_string(type) + " " + std::to_string(serial) + " " +
           std::to_string(o) + " " + std::to_string(i) + " " + std::to_string(r);
  }
  if (e.contains("announce")) return "announce " + dev;
  Fail(where, "needs one of mode, inactive, appear, session, addBus, announce, command");
}

}  // namespace

const char* ModeName(int mode) {
  return kModeNames[mode & 3];
}

void DefaultIo(uint32_t type, uint8_t& outputs, uint8_t& inputs, uint8_t& readers) {
  switch (type) {
    case 0:
      outputs = 1, inputs = 2, readers = 1;
      break;  // reader
    case 1:
      outputs = 2, inputs = 2, readers = 1;
      break;  // terminal
    case 2:
      outputs = 1, inputs = 1, readers = 1;
      break;  // lock
    case 3:
      outputs = 4, inputs = 4, readers = 2;
      break;  // controller
    case 5:
      outputs = 0, inputs = 1, readers = 1;
      break;  // keypad
    case 6:
      outputs = 0, inputs = 4, readers = 2;
      break;  // interface
    case 7:
      outputs = 4, inputs = 4, readers = 0;
      break;  // module
    default:
      outputs = 0, inputs = 0, readers = 0;
      break;
  }
}

Scenario ParseScenario(const std::string& jsonText) {
  json root;
  try {
    root = json::parse(jsonText, nullptr, true, /*ignore_comments=*/true);
  } catch (const json::parse_error& e) {
    throw std::runtime_error(std::string("scenario is not valid JSON: ") + e.what());
  }
  if (!root.is_object() || !root.contains("devices") || !root.at("devices").is_array())
    throw std::runtime_error("scenario: needs a \"devices\" array");
  Scenario sc;
  std::set<uint32_t> ips, ids;
  // Default processing time of every device's requests; a device may give its own.
  const int processingMs = GetInt(root, "processingMs", 0, 0, 60000, "scenario");
  const json& devs = root.at("devices");
  for (size_t k = 0; k < devs.size(); ++k) {
    const json& d = devs[k];
    std::string where = "devices[" + std::to_string(k) + "]";
    if (!d.is_object()) Fail(where, "must be an object");
    uint32_t id = ParseId(d, where);
    if (id == 0xFFFFFFFFu) Fail(where, "0xFFFFFFFF addresses every device and is no identifier");
    // An impostor's identifier is another device's; only its address is its own.
    const bool impostor = d.contains("impostor");
    if (!ids.insert(id).second && !impostor) Fail(where, "identifier used twice");
    if (!d.contains("address") || !d.at("address").is_string()) Fail(where, "needs an address");
    uint32_t ip = ParseIpText(d.at("address").get<std::string>(), where);
    if (!ips.insert(ip).second) Fail(where, "address used twice");
    int mode = d.contains("mode") ? ParseMode(d.at("mode"), where + ".mode") : 2;
    SimNode node;
    node.name = DevName(id);
    node.dev = std::make_unique<SimDevice>(id, ip, mode);
    SimDevice& dev = *node.dev;
    if (d.contains("bus")) {
      const json& bus = d.at("bus");
      if (!bus.is_array() || bus.size() > 128) Fail(where, "bus must be an array of at most 128");
      for (size_t s = 0; s < bus.size(); ++s)
        dev.bus.push_back(ParseBusDev(bus[s], id, where + ".bus[" + std::to_string(s) + "]"));
    }
    if (d.contains("doors")) {
      const json& doors = d.at("doors");
      if (!doors.is_array() || doors.size() > 16)
        Fail(where, "doors must be an array of at most 16");
      for (size_t p = 0; p < doors.size(); ++p)
        dev.doors.push_back(ParseDoor(doors[p], where + ".doors[" + std::to_string(p) + "]"));
    }
    dev.trainNumber = uint16_t(GetInt(d, "trainNumber", 0, 0, 65535, where));
    if (d.contains("faults")) ParseFaults(d.at("faults"), dev.faults, where + ".faults");
    dev.foreignSession = GetBool(d, "foreignSession", false, where);
    node.discoveryDelayMs = GetInt(d, "discoveryDelayMs", 0, 0, 60000, where);
    node.discoveryLoss = GetInt(d, "discoveryLoss", 0, 0, 1000000, where);
    node.processingMs = GetInt(d, "processingMs", processingMs, 0, 60000, where);
    // A hidden device answers nothing until the timeline or the console lets it appear.
    if (GetBool(d, "hidden", false, where)) dev.faults.offline = true;
    if (impostor) ParseImpostor(d.at("impostor"), node, where + ".impostor");
    sc.nodes.push_back(std::move(node));
  }
  if (root.contains("timeline")) {
    const json& tl = root.at("timeline");
    if (!tl.is_array()) throw std::runtime_error("scenario: timeline must be an array");
    for (size_t k = 0; k < tl.size(); ++k) {
      const json& e = tl[k];
      std::string where = "timeline[" + std::to_string(k) + "]";
      if (!e.is_object() || !e.contains("at") || !e.at("at").is_number())
        Fail(where, "needs at (seconds)");
      TimelineEvent ev;
      ev.at = e.at("at").get<double>();
      if (ev.at < 0) Fail(where, "at must not be negative");
      ev.command = EventCommand(e, where);
      // Reject a scripted command that could never run, before the run starts.
      std::istringstream is(ev.command);
      std::string verb, devRef;
      is >> verb >> devRef;
      if (verb != "list" && verb != "help" && verb != "quit" && FindNode(sc, devRef) < 0)
        Fail(where, "unknown device '" + devRef + "'");
      sc.timeline.push_back(ev);
    }
    std::stable_sort(sc.timeline.begin(), sc.timeline.end(),
                     [](const TimelineEvent& a, const TimelineEvent& b) { return a.at < b.at; });
  }
  return sc;
}

Scenario LoadScenario(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open scenario " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ParseScenario(ss.str());
}

int FindNode(const Scenario& sc, const std::string& ref) {
  if (ref.empty()) return -1;
  if (std::all_of(ref.begin(), ref.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (ref.size() > 4) return -1;
    int i = std::stoi(ref);
    return i < int(sc.nodes.size()) ? i : -1;
  }
  for (size_t i = 0; i < sc.nodes.size(); ++i)
    if (sc.nodes[i].name == ref) return int(i);
  return -1;
}

namespace {

std::string ListText(const Scenario& sc, int64_t nowMs) {
  std::ostringstream os;
  for (size_t i = 0; i < sc.nodes.size(); ++i) {
    const SimDevice& d = *sc.nodes[i].dev;
    os << i << "  " << sc.nodes[i].name << "  " << DottedIp(d.ip) << "  " << ModeName(d.mode);
    if (d.faults.offline) os << "  (hidden)";
    if (sc.nodes[i].impostor) os << "  (impostor)";
    if (d.foreignSession)
      os << "  session: foreign";
    else if (d.SessionOpen(nowMs))
      os << "  session: open";
    if (!d.bus.empty() || !d.doors.empty())
      os << "  bus " << d.bus.size() << " slots, " << d.doors.size() << " passages";
    os << "\n";
    for (size_t s = 0; s < d.bus.size(); ++s) {
      const SimBusDev& b = d.bus[s];
      if (!b.present) continue;
      os << "     slot " << s << ": " << DevName(b.id) << " " << char('A' + IdSuffixLetter(b.id))
         << int(b.suffixNumber) << "  out " << int(b.outputs) << " in " << int(b.inputs) << " rd "
         << int(b.readers) << (b.oc ? " oc" : "")
         << (b.readerFieldWithoutReaders ? " (reader field 0)" : "");
      if (b.state & kStInactive) os << " inactive";
      if (b.state & kStPower) os << " power";
      if (b.state & kStTamper) os << " tamper";
      if (b.state & kStNew) os << " new";
      os << "\n";
    }
  }
  std::string s = os.str();
  if (!s.empty()) s.pop_back();
  return s;
}

const char* const kHelp =
    "list                       devices, sessions and bus devices\n"
    "mode DEV N                 working mode 0 Blokada, 1 Konfiguracja, 2 Serwis, 3 Instalacja\n"
    "inactive DEV SLOT on|off   mark a bus device inactive or active again\n"
    "add DEV TYPE SERIAL [OUT IN RD]  a new bus device (type code, e.g. 5 for R05)\n"
    "session DEV foreign|none   another party holds the session, or nobody does\n"
    "appear DEV | hide DEV      the device answers on the LAN, or stops answering\n"
    "param DEV PASSAGE BYTE VALUE  set a parameter byte (0-7) of a passage (from 1), as\n"
    "                           another installer's write would\n"
    "announce DEV               an impostor sends its frames to the last tool heard\n"
    "quit\n"
    "DEV is a device name such as K27_00005 or its index in the list";

CommandResult Error(const std::string& text) {
  return CommandResult{false, false, text};
}

}  // namespace

CommandResult RunCommand(Scenario& sc, const std::string& line, int64_t nowMs) {
  std::istringstream is(line);
  std::vector<std::string> w;
  for (std::string t; is >> t;) w.push_back(t);
  if (w.empty()) return CommandResult{true, false, ""};
  const std::string& verb = w[0];
  if (verb == "quit" || verb == "exit") return CommandResult{true, true, "bye"};
  if (verb == "help" || verb == "?") return CommandResult{true, false, kHelp};
  if (verb == "list") return CommandResult{true, false, ListText(sc, nowMs)};
  if (w.size() < 2) return Error(verb + ": unknown command or missing device; try help");
  int n = FindNode(sc, w[1]);
  if (n < 0) return Error("no device '" + w[1] + "'");
  SimNode& node = sc.nodes[size_t(n)];
  SimDevice& d = *node.dev;
  auto number = [&](size_t i, long lo, long hi, long& out) {
    if (i >= w.size()) return false;
    try {
      size_t used = 0;
      out = std::stol(w[i], &used, 0);
      return used == w[i].size() && out >= lo && out <= hi;
    } catch (const std::exception&) {
      return false;
    }
  };
  if (verb == "mode") {
    long m;
    if (w.size() != 3 || !number(2, 0, 3, m)) return Error("usage: mode DEV 0..3");
    d.mode = int(m);
    return CommandResult{true, false, node.name + " mode " + ModeName(d.mode)};
  }
  if (verb == "inactive") {
    long slot;
    if (w.size() != 4 || !number(2, 0, 127, slot) || (w[3] != "on" && w[3] != "off"))
      return Error("usage: inactive DEV SLOT on|off");
    if (size_t(slot) >= d.bus.size() || !d.bus[size_t(slot)].present)
      return Error(node.name + " has no bus device in slot " + std::to_string(slot));
    d.SetInactive(int(slot), w[3] == "on");
    return CommandResult{true, false,
                         node.name + " slot " + std::to_string(slot) + " " +
                             DevName(d.bus[size_t(slot)].id) +
                             (w[3] == "on" ? " inactive" : " active")};
  }
  if (verb == "add") {
    long type, serial, o, i, r;
    if ((w.size() != 4 && w.size() != 7) || !number(2, 0, 1023, type) ||
        !number(3, 0, 65535, serial))
      return Error("usage: add DEV TYPE SERIAL [OUT IN RD]");
    uint8_t out, in, rd;
    DefaultIo(uint32_t(type / 100), out, in, rd);
    if (w.size() == 7) {
      if (!number(4, 0, 15, o) || !number(5, 0, 15, i) || !number(6, 0, 3, r))
        return Error("usage: add DEV TYPE SERIAL [OUT 0..15 IN 0..15 RD 0..3]");
      out = uint8_t(o), in = uint8_t(i), rd = uint8_t(r);
    }
    uint32_t id = MakeId(uint32_t(type), uint32_t(serial));
    for (const SimBusDev& b : d.bus)
      if (b.present && b.id == id) return Error(node.name + " already has " + DevName(id));
    int slot = d.AddBusDevice(id, out, in, rd, false, kStNew);
    if (slot < 0) return Error(node.name + ": bus device list is full");
    return CommandResult{true, false,
                         node.name + " slot " + std::to_string(slot) + " " + DevName(id) + " new"};
  }
  if (verb == "session") {
    if (w.size() != 3 || (w[2] != "foreign" && w[2] != "none"))
      return Error("usage: session DEV foreign|none");
    d.foreignSession = w[2] == "foreign";
    return CommandResult{true, false,
                         node.name + " foreign session " + (d.foreignSession ? "on" : "off")};
  }
  if (verb == "announce") {
    // The impostor of that name when there is one (it shares the name with the device).
    for (size_t i = 0; i < sc.nodes.size(); ++i)
      if (sc.nodes[i].impostor && (sc.nodes[i].name == w[1] || int(i) == n)) n = int(i);
    if (!sc.nodes[size_t(n)].impostor) return Error(w[1] + " is no impostor");
    CommandResult r{true, false, sc.nodes[size_t(n)].name + " (impostor) announces"};
    r.announce = n;
    return r;
  }
  if (verb == "appear" || verb == "hide") {
    if (w.size() != 2) return Error("usage: " + verb + " DEV");
    d.faults.offline = verb == "hide";
    return CommandResult{true, false, node.name + (d.faults.offline ? " hidden" : " appears")};
  }
  if (verb == "param") {
    long door, byte, value;
    if (w.size() != 5 || !number(2, 1, 16, door) || !number(3, 0, 7, byte) ||
        !number(4, 0, 255, value))
      return Error("usage: param DEV PASSAGE 1..16 BYTE 0..7 VALUE 0..255");
    if (size_t(door) > d.doors.size())
      return Error(node.name + " has " + std::to_string(d.doors.size()) + " passages");
    d.doors[size_t(door) - 1].params[byte] = uint8_t(value);
    return CommandResult{true, false,
                         node.name + " passage " + std::to_string(door) + " byte " +
                             std::to_string(byte) + " = " + std::to_string(value)};
  }
  return Error(verb + ": unknown command; try help");
}
