// feldaro-cli restore: the archive's passages onto a controller, only as the user saw them.
#include "restore.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "config/devname.h"
#include "config/plural.h"
#include "config/restorenotes.h"
#include "console.h"

namespace {

using ojson = nlohmann::ordered_json;

// "K27": the model part of a device name.
std::string Model(uint32_t id) {
  return DevName(id).substr(0, 3);
}

const BusDev* Listed(const CtrlCfg& cfg, const std::string& name) {
  for (int k = 0; k < cfg.listedCount; ++k)
    if (DevName(cfg.devs[cfg.order[k]].id) == name) return &cfg.devs[cfg.order[k]];
  return nullptr;
}

// Archived identifier -> target identifier: the archived controller becomes the target
// controller; --map OLD=NEW names replacements of the same model, one new device for one
// old one, never a device the archive itself assigns.
std::map<uint32_t, uint32_t> DeviceMap(const Archive& arc, const CtrlCfg& cfg,
                                       const std::vector<std::string>& maps,
                                       std::vector<std::string>& notes) {
  const uint32_t target = cfg.devs[0].id;
  std::map<uint32_t, uint32_t> m;
  m[arc.ctrlId] = target;
  // Every device the archive's passages assign.
  std::set<uint32_t> used;
  auto note = [&used](const ArcRef& r) {
    if (r.set) used.insert(r.dev);
  };
  for (const ArcDoor& d : arc.cfg.doors) {
    for (const ArcRef& r : d.outputs) note(r);
    for (const ArcRef& r : d.inputs) note(r);
    for (const ArcRef& r : d.readers) note(r);
  }
  std::map<uint32_t, std::string> takenBy;  // new identifier -> the OLD it replaces
  std::set<uint32_t> olds;
  for (const std::string& s : maps) {
    const std::string from = s.substr(0, s.find('=')), to = s.substr(s.find('=') + 1);
    const ArcDevice* old = nullptr;
    for (const ArcDevice& d : arc.devices)
      if (DevName(d.id) == from) old = &d;
    if (!old) throw CliError{"--map: w archiwum nie ma urządzenia " + from};
    if (old->id == arc.ctrlId)
      throw CliError{"--map: " + from + " to kontroler z archiwum; odpowiada mu kontroler " +
                     DevName(target)};
    if (!olds.insert(old->id).second) throw CliError{"--map: " + from + " podane dwa razy"};
    const BusDev* repl = Listed(cfg, to);
    if (!repl) throw CliError{"--map: na kontrolerze " + DevName(target) + " nie ma " + to};
    if (IdTypeCode(repl->id) != IdTypeCode(old->id))
      throw CliError{"--map: " + to + " nie jest tym samym modelem co " + from};
    if (repl->id == target)
      throw CliError{"--map: " + to +
                     " to sam kontroler; jego wejścia i wyjścia ma już "
                     "kontroler z archiwum"};
    if (takenBy.count(repl->id))
      throw CliError{"--map: " + takenBy[repl->id] + " i " + from + " na jedno urządzenie " + to +
                     "; jedno nowe urządzenie zastępuje jedno stare"};
    takenBy[repl->id] = from;
    m[old->id] = repl->id;
    if (repl->state & kStInactive)
      notes.push_back("Uwaga: " + to + " jest nieaktywne (kontroler go teraz nie widzi).");
  }
  // A device the archive assigns itself keeps its assignments; mapping another onto it would
  // merge two devices into one, unless it is itself mapped away.
  for (const auto& [id, from] : takenBy)
    if (used.count(id) && !olds.count(id))
      throw CliError{"--map: " + from + "=" + DevName(id) +
                     " łączy dwa urządzenia: archiwum samo " + "przypisuje " + DevName(id)};
  return m;
}

// The device list without the states that change on their own.
std::vector<uint8_t> StableDevList(std::vector<uint8_t> d) {
  if (d.size() < 2) return d;
  const size_t n = size_t(d[0] | (d[1] << 8));
  for (size_t s = 0; s < n; ++s) {
    const size_t at = 2 + 4 * n + 4 * s + 1;
    if (at < d.size()) d[at] &= uint8_t(~(kStInactive | kStPower | kStTamper));
  }
  return d;
}

}  // namespace

Answer AskKeepingSessions(const std::vector<UdpDev*>& devs, const std::string& question) {
  if (!StdinIsTerminal()) return Answer::NoTerminal;
  std::cerr << question << " [t/N] " << std::flush;
  using Clock = std::chrono::steady_clock;
  auto lastKeep = Clock::now();
  std::string line;
  for (;;) {
    CheckInterrupted();
    char c = 0;
    const int r = ConsoleReadByte(500, c);
    CheckInterrupted();
    if (Clock::now() - lastKeep >= std::chrono::seconds(5)) {
      lastKeep = Clock::now();
      for (UdpDev* d : devs) {
        try {
          d->KeepSession();
        } catch (const UErr&) {
          // The fresh read after the answer opens a session again or reports the failure.
        }
      }
    }
    if (r == 0) continue;
    if (r < 0) {
      std::cerr << "\n";
      return Answer::No;  // end of input
    }
    if (c != '\n') {
      line += c;
      continue;
    }
    for (char& ch : line) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    while (!line.empty() && line.front() == ' ') line.erase(0, 1);
    return line == "t" || line == "tak" ? Answer::Yes : Answer::No;
  }
}

RestorePlan PlanRestore(const Archive& arc, const std::string& arcName, const ReadCfg& read,
                        const RestoreOptions& opt) {
  const CtrlCfg& cfg = *read.cfg;
  const uint32_t target = cfg.devs[0].id;
  RestorePlan plan;
  plan.ctrl = target;
  plan.fromDevList = read.rawDevList;
  plan.fromDoors = read.rawDoors;
  if (IdTypeCode(arc.ctrlId) != IdTypeCode(target) && !opt.otherModel)
    throw CliError{"archiwum " + arcName + " jest z kontrolera " + DevName(arc.ctrlId) +
                   " (model " + Model(arc.ctrlId) + "), a " + DevName(target) + " to model " +
                   Model(target) +
                   ". Przejścia innego modelu zapisuje tylko --other-model. "
                   "Nic nie wysłano do kontrolera."};
  const std::map<uint32_t, uint32_t> m = DeviceMap(arc, cfg, opt.maps, plan.notes);
  plan.built = std::make_unique<CtrlCfg>();
  std::string why;
  if (!BuildRestore(arc.cfg, cfg, m, *plan.built, why))
    throw CliError{"archiwum " + arcName + " odrzucone: " + why +
                   ". Nic nie wysłano do kontrolera."};
  plan.changes = DiffItems(ResolveCfg(cfg), ResolveCfg(*plan.built));
  uint8_t now[kCfgBufSize], next[kCfgBufSize];
  const int ln = EncodeDoors(cfg, now), lx = EncodeDoors(*plan.built, next);
  plan.write = ln != lx || std::memcmp(now, next, size_t(ln)) != 0;
  // The train number and the new devices a write confirms, as the window's upload shows them.
  RestoreNotes more = NotesForRestore(arc, cfg, plan.write);
  plan.confirmsNew = std::move(more.confirmsNew);
  plan.notes.insert(plan.notes.end(), more.lines.begin(), more.lines.end());
  return plan;
}

bool SameState(const std::vector<uint8_t>& devListA, const std::vector<uint8_t>& doorsA,
               const std::vector<uint8_t>& devListB, const std::vector<uint8_t>& doorsB) {
  return doorsA == doorsB && StableDevList(devListA) == StableDevList(devListB);
}

bool StateMoved(UdpDev& dev, const RestorePlan& plan, ReadCfg& fresh) {
  ReadController(dev, fresh);
  return !SameState(plan.fromDevList, plan.fromDoors, fresh.rawDevList, fresh.rawDoors);
}

int WriteAndVerify(UdpDev& dev, const RestorePlan& plan) {
  const std::string name = DevName(plan.ctrl);
  // One identifier answering from two addresses: which one is the controller is unknown.
  if (dev.ip2) throw CliError{TwoAddressText(dev)};
  SetProgress("zapis do " + name +
              " mógł dotrzeć do kontrolera; odczyt kontrolny nie został "
              "wykonany (sprawdź poleceniem feldaro-cli diff)");
  dev.WriteConfig(*plan.built);
  SetProgress("zapisano konfigurację przejść do " + name +
              "; odczyt kontrolny nie został wykonany (sprawdź poleceniem feldaro-cli diff)");
  CheckInterrupted();
  uint8_t back[kCfgBufSize];
  const int n = dev.Exchange('C', 0, nullptr, kCfgBufSize, back);
  auto check = std::make_unique<CtrlCfg>(*plan.built);
  uint8_t wrote[kCfgBufSize], read[kCfgBufSize];
  const int lw = EncodeDoors(*plan.built, wrote);
  const bool decoded = DecodeDoors(*check, back, size_t(n));
  const int lr = decoded ? EncodeDoors(*check, read) : 0;
  if (!decoded || lw != lr || std::memcmp(wrote, read, size_t(lw)) != 0) {
    SetProgress("zapisano do " + name + ", ale odczyt kontrolny różni się od zapisu");
    std::string text = "odczyt kontrolny z " + name + " różni się od zapisanej konfiguracji";
    if (decoded) {
      text += ":";
      for (const std::string& l : DiffCfg(ResolveCfg(*plan.built), ResolveCfg(*check)))
        text += "\n" + l;
    } else {
      text += " (niepoprawna odpowiedź)";
    }
    throw CliError{text};
  }
  SetProgress("zapisano konfigurację przejść do " + name + " i sprawdzono ją odczytem kontrolnym");
  return lw;
}

void PrintPlan(const RestorePlan& plan, const Archive& arc) {
  for (const std::string& l : PlanText(plan, arc)) std::cout << l << "\n";
}

void PrintChangesJson(const std::string& ctrlName, const Archive& arc, const std::string& file,
                      const std::vector<CfgChange>& changes, const RestorePlan* plan) {
  ojson list = ojson::array();
  for (const CfgChange& c : changes) {
    ojson j;
    j["passage"] = c.passage ? ojson(c.passage) : ojson(nullptr);
    j["field"] = c.field;
    j["from"] = c.from;
    j["to"] = c.to;
    list.push_back(j);
  }
  ojson out;
  out["controller"] = ctrlName;
  out["archive"] = {{"file", file}, {"controller", DevName(arc.ctrlId)}, {"created", arc.created}};
  out["same"] = changes.empty();
  out["changes"] = list;
  if (plan) {
    ojson fresh = ojson::array(), notes = ojson::array();
    for (uint32_t id : plan->confirmsNew) fresh.push_back(DevName(id));
    for (const std::string& n : plan->notes) notes.push_back(n);
    out["write"] = plan->write;
    out["confirmsNewDevices"] = plan->write ? fresh : ojson::array();
    out["notes"] = notes;
  }
  std::cout << out.dump(2, ' ', false, ojson::error_handler_t::replace) << "\n";
}

int CmdRestore(LinkSlot& slot, const Args& a) {
  Archive arc;
  const std::string& file = a.positional[0];
  ReadArchiveFile(file, arc);
  const std::string arcName = file == "-" ? "ze standardowego wejścia" : file;
  const std::string& named = a.positional[1];
  UdpDev& dev = OpenLink(slot).Find(named);
  const uint32_t id = dev.id;
  const std::string name = DevName(id);
  if (dev.ip2) throw CliError{TwoAddressText(dev)};
  SetProgress("nic nie zapisano do " + name);
  const RestoreOptions opt{a.maps, a.otherModel};
  ReadCfg r;
  ReadController(dev, r);
  RestorePlan plan = PlanRestore(arc, arcName, r, opt);
  for (;;) {
    if (a.json) {
      PrintChangesJson(name, arc, file, plan.changes, &plan);
    } else {
      PrintPlan(plan, arc);
    }
    if (!plan.write) {
      if (!a.json) std::cout << "Nic nie zapisano: nie ma czego zmieniać.\n";
      return kExitOk;
    }
    if (a.dryRun) {
      if (!a.json) std::cout << "--dry-run: nic nie zapisano.\n";
      return kExitOk;
    }
    if (!a.yes) {
      const Answer ans =
          AskKeepingSessions({&dev}, "Zapisać tę konfigurację do kontrolera " + name + "?");
      if (ans == Answer::NoTerminal)
        throw CliError{
            "nie zapisano: wejście nie jest terminalem, więc nie można zapytać o "
            "potwierdzenie; dodaj --yes."};
      if (ans == Answer::No) throw CliError{"nie zapisano: brak potwierdzenia."};
    }
    CheckInterrupted();
    // The write follows a fresh read: the list the user confirmed must still be the truth.
    ReadCfg fresh;
    if (!StateMoved(dev, plan, fresh)) break;
    if (a.yes)
      throw CliError{"konfiguracja " + name +
                     " zmieniła się od odczytu, z którego wyliczono "
                     "zmiany (ktoś inny ją zmienił?). Nic nie zapisano; uruchom polecenie "
                     "ponownie, by zobaczyć nową listę zmian."};
    std::cout << "\nKonfiguracja " << name << " zmieniła się od wyświetlenia zmian (ktoś inny "
              << "ją zmienił?). Nowa lista zmian:\n";
    plan = PlanRestore(arc, arcName, fresh, opt);
  }
  CheckInterrupted();
  // Just before the write: the device answering at that address still carries the
  // identifier found for DEV (the link accepts only answers with the record's identifier).
  if (!dev.ReadStatus()) throw UErr(&dev, 1, 0);
  if (dev.id != id)
    throw CliError{"urządzenie pod adresem " + dev.IpText() + " nie jest już " + name};
  const int bytes = WriteAndVerify(dev, plan);
  std::cout << "Zapisano konfigurację przejść do " << name << " ("
            << CountPl(bytes, "bajt", "bajty", "bajtów")
            << "); odczyt kontrolny zgodny z zapisem.\n";
  return kExitOk;
}
