// Site plan: JSON writer and reader on top of the archive's controller record, the
// comparison of a planned controller with a fresh read, and the editable model of an entry.
#include "config/plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "config/atomicfile.h"
#include "config/devname.h"
#include "config/sysfile.h"

using nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

std::string Str(const json& obj, const char* key, const std::string& where, bool optional) {
  if (!obj.contains(key)) {
    if (optional) return {};
    throw std::runtime_error(where + ": brak pola \"" + key + "\"");
  }
  const json& v = obj.at(key);
  if (!v.is_string()) throw std::runtime_error(where + "." + key + ": oczekiwano tekstu");
  return v.get<std::string>();
}

void PlanFrom(const json& j, SitePlan& plan) {
  const json& v = j.at("version");
  if (!v.is_number_integer())
    throw std::runtime_error("plan obiektu: pole \"version\" nie jest liczbą całkowitą");
  if (!v.is_number_unsigned() || v.get<uint64_t>() != uint64_t(kPlanVersion))
    throw std::runtime_error("nieobsługiwana wersja planu obiektu " + v.dump() +
                             " (obsługiwana: " + std::to_string(kPlanVersion) + ")");
  plan.tool = Str(j, "tool", "plan obiektu", false);
  plan.created = Str(j, "created", "plan obiektu", false);
  plan.modified = Str(j, "modified", "plan obiektu", false);
  if (!j.contains("site") || !j.at("site").is_object())
    throw std::runtime_error("plan obiektu: brak obiektu \"site\"");
  const json& s = j.at("site");
  plan.site.name = Str(s, "name", "site", false);
  plan.site.address = Str(s, "address", "site", true);
  plan.site.installer = Str(s, "installer", "site", true);
  plan.site.notes = Str(s, "notes", "site", true);
  if (!j.contains("controllers") || !j.at("controllers").is_array())
    throw std::runtime_error("plan obiektu: brak tablicy \"controllers\"");
  const json& cs = j.at("controllers");
  if (cs.size() > kPlanMaxCtrls)
    throw std::runtime_error("plan obiektu: więcej niż " + std::to_string(kPlanMaxCtrls) +
                             " kontrolerów");
  for (size_t i = 0; i < cs.size(); ++i) {
    const std::string w = "controllers[" + std::to_string(i) + "]";
    if (!cs[i].is_object()) throw std::runtime_error(w + ": oczekiwano obiektu");
    PlanCtrl c;
    c.label = Str(cs[i], "label", w, false);
    json rec = cs[i];
    rec.erase("label");
    std::string why;
    if (!ParseArchive(rec.dump(), c.arc, why)) throw std::runtime_error(w + ": " + why);
    if (FindPlanCtrl(plan, c.arc.ctrlId) >= 0)
      throw std::runtime_error(w + ": kontroler " + DevName(c.arc.ctrlId) +
                               " występuje w planie więcej niż raz");
    plan.ctrls.push_back(std::move(c));
  }
}

int SlotOf(const CtrlCfg& cfg, uint32_t id) {
  for (int k = 0; k < cfg.listedCount; ++k)
    if (cfg.devs[cfg.order[k]].id == id) return cfg.order[k];
  return -1;
}

}  // namespace

std::string PlanToJson(const SitePlan& plan) {
  ojson ctrls = ojson::array();
  for (const PlanCtrl& c : plan.ctrls) {
    // The archive's own record, with the label in front.
    const ojson rec = ojson::parse(ArchiveToJson(c.arc));
    ojson e = {{"label", c.label}};
    for (auto it = rec.begin(); it != rec.end(); ++it) e[it.key()] = it.value();
    ctrls.push_back(std::move(e));
  }
  ojson j = {{"format", kPlanFormat},
             {"version", kPlanVersion},
             {"tool", plan.tool},
             {"created", plan.created},
             {"modified", plan.modified},
             {"site",
              {{"name", plan.site.name},
               {"address", plan.site.address},
               {"installer", plan.site.installer},
               {"notes", plan.site.notes}}},
             {"controllers", ctrls}};
  return j.dump(2, ' ', false, ojson::error_handler_t::replace) + "\n";
}

bool ParsePlan(std::string_view text, SitePlan& out, std::string& error) {
  out = SitePlan{};
  if (text.size() > kPlanMaxBytes) {
    error = "plik za duży na plan obiektu";
    return false;
  }
  const json j = json::parse(text.begin(), text.end(), nullptr, false);
  if (j.is_discarded()) {
    error = "plik nie jest poprawnym dokumentem JSON (uszkodzony lub obcięty)";
    return false;
  }
  try {
    if (!j.is_object() || !j.contains("format"))
      throw std::runtime_error("to nie jest plan obiektu Feldaro (pole \"format\")");
    if (j.at("format") == kArchiveFormat) {
      // A single controller's archive: a plan of that one controller.
      PlanCtrl c;
      if (!ParseArchive(text, c.arc, error)) {
        out = SitePlan{};
        return false;
      }
      c.label = c.arc.location;
      out.site.name = c.arc.location;
      out.created = out.modified = c.arc.created;
      out.tool = c.arc.tool;
      out.fromArchive = true;
      out.ctrls.push_back(std::move(c));
      return true;
    }
    if (j.at("format") != kPlanFormat)
      throw std::runtime_error("to nie jest plan obiektu Feldaro (pole \"format\")");
    if (!j.contains("version")) throw std::runtime_error("plan obiektu: brak pola \"version\"");
    PlanFrom(j, out);
  } catch (const std::exception& e) {
    error = e.what();
    out = SitePlan{};
    return false;
  }
  return true;
}

bool LoadPlan(const std::string& path, SitePlan& out, std::string& error, int* errnum) {
  out = SitePlan{};
  int dummy = 0;
  int& en = errnum ? *errnum : dummy;
  en = 0;
  std::ifstream f(FsPath(path), std::ios::binary);
  if (!f) {
    en = errno;
    error = path + ": " + std::strerror(en);
    return false;
  }
  std::string text;
  char buf[65536];
  while (f.read(buf, sizeof buf) || f.gcount() > 0) {
    text.append(buf, size_t(f.gcount()));
    if (text.size() > kPlanMaxBytes) break;
  }
  if (f.bad()) {
    // A directory opens but cannot be read.
    en = errno ? errno : EIO;
    error = path + ": " + std::strerror(en);
    return false;
  }
  return ParsePlan(text, out, error);
}

bool SavePlan(const std::string& path, const SitePlan& plan, std::string& error, int* errnum) {
  return WriteFileAtomically(path, PlanToJson(plan), error, errnum);
}

int FindPlanCtrl(const SitePlan& plan, uint32_t ctrlId) {
  for (size_t i = 0; i < plan.ctrls.size(); ++i)
    if (plan.ctrls[i].arc.ctrlId == ctrlId) return int(i);
  return -1;
}

CtrlDrift CompareCtrl(const Archive& planned, const Archive* actual) {
  CtrlDrift d;
  if (!actual) {
    d.state = DriftState::Missing;
    return d;
  }
  const std::map<uint32_t, uint32_t> m = {{planned.ctrlId, actual->ctrlId}};
  // What the controller has -> what the plan holds, as diff and the window's compare say it.
  d.lines = DiffCfg(actual->cfg, MapDevices(planned.cfg, m));
  d.state = d.lines.empty() ? DriftState::Agree : DriftState::Differs;
  return d;
}

const char* DriftCliText(DriftState s) {
  switch (s) {
    case DriftState::Agree:
      return "zgodny";
    case DriftState::Differs:
      return "różni się";
    case DriftState::Missing:
      return "brak w sieci";
    case DriftState::Unreadable:
      return "nie do odczytu";
    case DriftState::NotInPlan:
      return "spoza planu";
    case DriftState::Unchecked:
      break;
  }
  return "nie sprawdzono";
}

const char* DriftCaption(DriftState s) {
  switch (s) {
    case DriftState::Agree:
      return "Zgodny";
    case DriftState::Differs:
      return "Różni się";
    case DriftState::Missing:
      return "Brak w sieci";
    case DriftState::Unreadable:
      return "Nie do odczytu";
    case DriftState::NotInPlan:
      return "Spoza planu";
    case DriftState::Unchecked:
      break;
  }
  return "Nie sprawdzono";
}

bool PlanEntryModel(const Archive& arc, CtrlCfg& out, std::string& error) {
  std::memset(&out, 0, sizeof out);
  ClearCfg(out);
  // The device table as the controller's 'D' answer would give it.
  int slots = 0;
  for (const ArcDevice& d : arc.devices) slots = std::max(slots, d.slot + 1);
  if (arc.devices.empty() || arc.devices.front().id != arc.ctrlId) {
    error = "lista urządzeń nie zaczyna się od kontrolera " + DevName(arc.ctrlId);
    return false;
  }
  std::vector<uint8_t> ids(size_t(slots) * 4), info(size_t(slots) * 4);
  auto put32 = [](uint8_t* p, uint32_t x) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(x >> (8 * i));
  };
  for (int s = 0; s < slots; ++s) put32(&ids[size_t(s) * 4], 0xFFFF0000u);
  for (const ArcDevice& d : arc.devices) {
    uint8_t* p = &info[size_t(d.slot) * 4];
    put32(&ids[size_t(d.slot) * 4], d.id);
    p[0] = d.suffixNumber;
    p[1] = d.state;
    p[2] = uint8_t((d.outputs & 0x0F) | (d.oc ? 0x40 : 0));
    if (d.readers) p[2] = uint8_t(p[2] | 0x80 | ((d.readers & 3) << 4));
    p[3] = uint8_t(d.inputs & 0x0F);
  }
  std::vector<uint8_t> answer = {uint8_t(slots), uint8_t(slots >> 8)};
  answer.insert(answer.end(), ids.begin(), ids.end());
  answer.insert(answer.end(), info.begin(), info.end());
  if (!DecodeDevList(out, answer.data(), answer.size())) {
    error = "lista urządzeń planu nie daje się odczytać";
    return false;
  }
  if (arc.cfg.doors.size() > size_t(kMaxDoors)) {
    error = "więcej niż 16 przejść";
    return false;
  }
  out.doorCount = int32_t(arc.cfg.doors.size());
  for (size_t n = 0; n < arc.cfg.doors.size(); ++n) {
    const ArcDoor& a = arc.cfg.doors[n];
    DoorCfg& d = out.doors[n];
    auto ref = [&](const ArcRef& r, IoRef& into) {
      into = kNoRef;
      if (!r.set) return true;
      const int slot = SlotOf(out, r.dev);
      if (slot < 0) {
        error = "przejście " + std::to_string(n + 1) + ": brak urządzenia " + DevName(r.dev) +
                " na liście urządzeń";
        return false;
      }
      into = IoRef((slot << 8) | (r.index & 0x1F) | (r.nc ? 0x80 : 0));
      return true;
    };
    for (int i = 0; i < 4; ++i)
      if (!ref(a.outputs[i], d.outputs[i])) return false;
    for (int i = 0; i < 10; ++i)
      if (!ref(a.inputs[i], d.inputs[i])) return false;
    for (int i = 0; i < 4; ++i)
      if (!ref(a.readers[i], d.readers[i])) return false;
    std::copy(a.params, a.params + 8, d.params);
  }
  out.trainNumber = arc.cfg.trainNumber;
  MarkUsedIo(out);
  return true;
}

Archive ArchiveFromModel(const CtrlCfg& cfg, const Archive& base) {
  uint8_t c[kCfgBufSize];
  const int n = EncodeDoors(cfg, c);
  return MakeArchive(cfg, base.ctrlId, base.ctrlAddress, base.ctrlMode, base.tool, base.created,
                     base.location, base.rawDevList, std::vector<uint8_t>(c, c + n));
}
