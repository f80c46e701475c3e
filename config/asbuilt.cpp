// As-built documentation model: the bus device table, the passage table and the wiring list
// of a controller, in the report's texts.
#include "config/asbuilt.h"

#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "config/devname.h"
#include "config/plan.h"
#include "config/report.h"

namespace {

const char* const kKindText[3] = {"Out", "In", "Rd"};

// One row of the passage table: which reference of the passage it shows.
struct FnRow {
  int kind;
  int slot;
};

// The report's order: bolt and open sensor, the other inputs, readers, the other outputs.
const FnRow kRows[] = {{kOutputs, 0}, {kInputs, 1},  {kInputs, 0},  {kInputs, 2},
                       {kInputs, 3},  {kReaders, 0}, {kReaders, 1}, {kReaders, 2},
                       {kReaders, 3}, {kOutputs, 1}, {kOutputs, 2}, {kOutputs, 3}};

std::string FunctionLabel(int kind, int slot) {
  if (kind == kOutputs) return OutputLabel(slot);
  if (kind == kInputs) return InputLabel(slot);
  return ReaderLabel(slot);
}

IoRef RefOf(const DoorCfg& d, int kind, int slot) {
  return kind == kOutputs ? d.outputs[slot] : kind == kInputs ? d.inputs[slot] : d.readers[slot];
}

bool HasNc(int kind, IoRef ref) {
  return kind != kReaders && ref != kNoRef && (ref & 0x80);
}

std::string Trimmed(const char* s) {
  while (*s == ' ') ++s;
  return s;
}

std::string StateWords(uint8_t state) {
  std::string s;
  for (uint8_t bit : {kStInactive, kStPower, kStTamper, kStNew}) {
    if (!(state & bit)) continue;
    if (!s.empty()) s += ' ';
    s += DevStateText(bit);
  }
  return s;
}

int Count(const BusDev& b, int kind) {
  return kind == kOutputs ? b.outputCount : kind == kInputs ? b.inputCount : b.readerCount;
}

std::string WireText(const std::string& devName, const DocWire& w) {
  std::string s = TerminalText(devName, w.kind, w.index);
  if (w.uses.empty()) return s + " – wolne";
  s += " →";
  for (size_t i = 0; i < w.uses.size(); ++i) {
    const DocUse& u = w.uses[i];
    s += i ? "; " : " ";
    s += "Przejście " + std::to_string(u.passage) + ", " + u.function;
    if (u.nc) s += ", NC";
  }
  if (w.beyondCount) s += " (poza liczbą zacisków urządzenia)";
  return s;
}

}  // namespace

std::string TerminalText(const std::string& devName, int kind, int index) {
  return devName + " " + kKindText[std::clamp(kind, 0, 2)] + std::to_string(index + 1);
}

DocController MissingControllerDoc(const DocIdentity& ident, const std::string& reason) {
  DocController c;
  c.ident = ident;
  c.name = DevName(ident.id);
  c.model = c.name.substr(0, 3);
  c.modeText = ident.mode >= 0 ? WorkModeText(ident.mode) : "";
  c.hasTrainNumber = HasTrainNumber(ident.id);
  c.missing = true;
  c.reason = reason;
  return c;
}

DocController BuildControllerDoc(const CtrlCfg& cfg, const DocIdentity& ident) {
  DocController c = MissingControllerDoc(ident, "");
  c.missing = false;
  c.trainNumber = cfg.trainNumber;

  // Bus device table, display order.
  const int listed = std::clamp<int>(cfg.listedCount, 0, kMaxDevs);
  std::vector<int> order;
  for (int k = 0; k < listed; ++k) {
    const int s = cfg.order[k];
    if (s < 0 || s >= kMaxDevs || std::find(order.begin(), order.end(), s) != order.end()) continue;
    order.push_back(s);
    const BusDev& b = cfg.devs[s];
    DocDevice d;
    d.slot = s;
    d.label = DevLabel(b);
    d.kind = Trimmed(TypeName(b.id));
    d.state = StateWords(b.state);
    d.isNew = b.state & kStNew;
    d.inactive = b.state & kStInactive;
    d.outputs = b.outputCount;
    d.inputs = b.inputCount;
    d.readers = b.readerCount;
    d.oc = b.ocOutputs != 0;
    c.devices.push_back(d);
  }

  // Passage table: the report's rows, then the inputs the editor does not show, where any
  // passage holds one.
  const int doors = std::clamp<int>(cfg.doorCount, 0, kMaxDoors);
  std::vector<FnRow> rows(std::begin(kRows), std::end(kRows));
  for (int slot = 4; slot < 10; ++slot)
    for (int d = 0; d < doors; ++d)
      if (cfg.doors[d].inputs[slot] != kNoRef) {
        rows.push_back({kInputs, slot});
        break;
      }
  for (const FnRow& r : rows) c.functions.push_back(FunctionLabel(r.kind, r.slot));
  for (int d = 0; d < doors; ++d) {
    const DoorCfg& door = cfg.doors[d];
    DocPassage p;
    p.number = d + 1;
    for (const FnRow& r : rows) {
      const IoRef ref = RefOf(door, r.kind, r.slot);
      if (ref == kNoRef) {
        p.cells.push_back("---");
        continue;
      }
      p.cells.push_back(IoRefText(cfg, ref, kKindText[r.kind]) + (HasNc(r.kind, ref) ? " NC" : ""));
    }
    p.type = DoorTypeText(door.params[kParType] & 0x0F);
    p.boltPulse = HalfSecondsText(door.params[kParBoltPulse]);
    p.openTime = HalfSecondsText(door.params[kParOpenTime]);
    p.airlock = AirlockText(cfg, d);
    if (door.params[kParFlags] & kFlagHandle) p.flags.push_back(kHandleOpeningText);
    if (door.params[kParFlags] & kFlagFullPulse) p.flags.push_back(kFullBoltPulseText);
    c.passages.push_back(p);
  }

  // Wiring: every assignment under the terminal it names. Every reference slot of a passage
  // counts, the inputs the editor does not show included.
  std::map<std::tuple<int, int, int>, std::vector<DocUse>> uses;  // (slot, kind, index)
  for (int d = 0; d < doors; ++d) {
    const DoorCfg& door = cfg.doors[d];
    auto add = [&](int kind, int slot, IoRef ref) {
      if (ref == kNoRef) return;
      // A reader is named by two bits, as the used masks count readers.
      const int index = kind == kReaders ? ref & 3 : ref & 0x1F;
      uses[{(ref >> 8) & 0x7F, kind, index}].push_back(
          DocUse{d + 1, FunctionLabel(kind, slot), HasNc(kind, ref)});
    };
    for (int s = 0; s < 4; ++s) add(kOutputs, s, door.outputs[s]);
    for (int s = 0; s < 10; ++s) add(kInputs, s, door.inputs[s]);
    for (int s = 0; s < 4; ++s) add(kReaders, s, door.readers[s]);
  }
  auto device = [&](int slot, bool isListed) {
    const BusDev& b = cfg.devs[slot];
    const std::string name = DevName(b.id);
    DocWiringDevice w;
    w.slot = slot;
    w.listed = isListed;
    w.heading = isListed ? DevLabel(b) + ", " + Trimmed(TypeName(b.id))
                         : name + ", slot " + std::to_string(slot) + " – brak na liście urządzeń";
    for (int kind : {kOutputs, kInputs, kReaders}) {
      const int count = isListed ? Count(b, kind) : 0;
      int n = count;
      for (auto it = uses.lower_bound({slot, kind, 0});
           it != uses.end() && std::get<0>(it->first) == slot && std::get<1>(it->first) == kind;
           ++it)
        n = std::max(n, std::get<2>(it->first) + 1);
      for (int i = 0; i < n; ++i) {
        const auto it = uses.find({slot, kind, i});
        if (i >= count && it == uses.end()) continue;
        DocWire wire;
        wire.kind = kind;
        wire.index = i;
        if (it != uses.end()) wire.uses = it->second;
        wire.beyondCount = isListed && i >= count;
        wire.text = WireText(name, wire);
        w.wires.push_back(wire);
      }
    }
    c.wiring.push_back(w);
  };
  for (int s : order) device(s, true);
  std::vector<int> unlisted;
  for (const auto& [key, v] : uses) {
    const int s = std::get<0>(key);
    if (std::find(order.begin(), order.end(), s) == order.end() &&
        std::find(unlisted.begin(), unlisted.end(), s) == unlisted.end())
      unlisted.push_back(s);
  }
  for (int s : unlisted) device(s, false);
  return c;
}

DocController ArchiveControllerDoc(const Archive& arc, const std::string& label) {
  const DocIdentity ident{arc.ctrlId, arc.ctrlAddress, arc.ctrlMode, label};
  auto cfg = std::make_unique<CtrlCfg>();
  std::string error;
  if (!PlanEntryModel(arc, *cfg, error)) return MissingControllerDoc(ident, error);
  return BuildControllerDoc(*cfg, ident);
}

DocCounts CountDoc(const AsBuiltDoc& doc) {
  DocCounts n;
  for (const DocController& c : doc.controllers) {
    ++n.controllers;
    if (c.missing) ++n.missing;
    n.passages += int(c.passages.size());
    n.devices += int(c.devices.size());
  }
  return n;
}
