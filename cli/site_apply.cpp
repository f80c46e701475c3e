// feldaro-cli site apply: brings the controllers of a site plan in line with it, one step at
// a time as restore does: read, build through the editor's rules, list the changes, confirm,
// read afresh just before the write and send nothing when the controller moved meanwhile,
// write, read back and compare.
#include <cstring>
#include <iostream>
#include <memory>

#include "cli.h"
#include "config/archive.h"
#include "config/devname.h"
#include "config/plan.h"

namespace {

enum class ApplySt { Pending, InLine, Written, Failed };

struct ApplyItem {
  const PlanCtrl* entry = nullptr;
  // The controller on the network: the planned one or its replacement (found by name).
  uint32_t target = 0;
  std::string targetName;
  CtrlRead read;  // the read the changes were computed from
  std::map<uint32_t, uint32_t> map;
  std::unique_ptr<CtrlCfg> built;
  std::vector<std::string> lines;  // controller -> plan
  ApplySt st = ApplySt::Pending;
  std::string why;  // for Failed
};

std::string Who(const ApplyItem& it) {
  std::string s = DevName(it.entry->arc.ctrlId);
  if (it.targetName != s) s += " -> " + it.targetName;
  if (!it.entry->label.empty()) s += " (" + it.entry->label + ")";
  return s;
}

std::pair<std::string, std::string> SplitMap(const std::string& m) {
  return {m.substr(0, m.find('=')), m.substr(m.find('=') + 1)};
}

bool PlanHasDevice(const PlanCtrl& c, const std::string& name) {
  for (const ArcDevice& d : c.arc.devices)
    if (DevName(d.id) == name) return true;
  return false;
}

// The plan entries to apply (all, or those DEV ... names) and their target controllers
// (--map OLD=NEW with OLD a planned controller names its replacement). Every --map must
// name something of the plan. Usage errors are raised before the network is touched.
std::vector<ApplyItem> SelectEntries(const SitePlan& plan, const Args& a) {
  std::map<uint32_t, std::string> replacedBy;
  for (const std::string& m : a.maps) {
    const auto [from, to] = SplitMap(m);
    bool known = false;
    for (const PlanCtrl& c : plan.ctrls) {
      if (DevName(c.arc.ctrlId) == from) {
        // The name's letter and two digits are the model.
        if (!IsDevName(to) || to.substr(0, 3) != from.substr(0, 3))
          throw CliError{"--map: " + to + " nie jest kontrolerem tego samego modelu co " + from, 2};
        replacedBy[c.arc.ctrlId] = to;
        known = true;
      }
      known = known || PlanHasDevice(c, from);
    }
    if (!known) throw CliError{"--map: w planie nie ma urządzenia " + from, 2};
  }
  std::vector<ApplyItem> items;
  const std::vector<std::string> named(a.positional.begin() + 2, a.positional.end());
  std::vector<bool> used(named.size(), false);
  for (const PlanCtrl& c : plan.ctrls) {
    ApplyItem it;
    it.entry = &c;
    it.target = c.arc.ctrlId;
    it.targetName = DevName(c.arc.ctrlId);
    if (replacedBy.count(c.arc.ctrlId)) {
      it.target = 0;
      it.targetName = replacedBy[c.arc.ctrlId];
    }
    bool take = named.empty();
    for (size_t i = 0; i < named.size(); ++i)
      if (named[i] == DevName(c.arc.ctrlId) || named[i] == it.targetName ||
          named[i] == c.arc.ctrlAddress) {
        take = true;
        used[i] = true;
      }
    if (take) items.push_back(std::move(it));
  }
  for (size_t i = 0; i < items.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (items[i].targetName == items[j].targetName)
        throw CliError{"--map: kontroler " + items[i].targetName +
                           " miałby przyjąć dwa wpisy planu (" +
                           DevName(items[j].entry->arc.ctrlId) + " i " +
                           DevName(items[i].entry->arc.ctrlId) + ")",
                       2};
  for (size_t i = 0; i < named.size(); ++i) {
    if (!IsDevName(named[i]) && !IsIpv4(named[i]))
      throw CliError{
          "\"" + named[i] + "\" nie jest nazwą urządzenia (np. K27_00005) ani adresem IPv4", 2};
    if (!used[i]) throw CliError{named[i] + ": tego kontrolera nie ma w planie", 2};
  }
  return items;
}

// Archived identifier -> the target's: the planned controller to the target, and replaced
// bus devices of this entry (--map) to their successors of the same model on the target.
bool DeviceMapFor(ApplyItem& it, const std::vector<std::string>& maps) {
  it.map.clear();
  it.map[it.entry->arc.ctrlId] = it.target;
  const CtrlCfg& cfg = *it.read.read.cfg;
  for (const std::string& m : maps) {
    const auto [from, to] = SplitMap(m);
    const ArcDevice* old = nullptr;
    for (const ArcDevice& d : it.entry->arc.devices)
      if (DevName(d.id) == from && d.id != it.entry->arc.ctrlId) old = &d;
    if (!old) continue;
    const BusDev* repl = nullptr;
    for (int k = 0; k < cfg.listedCount; ++k)
      if (DevName(cfg.devs[cfg.order[k]].id) == to) repl = &cfg.devs[cfg.order[k]];
    if (!repl) {
      it.why = "--map: na kontrolerze " + DevName(it.target) + " nie ma " + to;
      return false;
    }
    if (IdTypeCode(repl->id) != IdTypeCode(old->id)) {
      it.why = "--map: " + to + " nie jest tym samym modelem co " + from;
      return false;
    }
    it.map[old->id] = repl->id;
  }
  return true;
}

// From the read: the configuration the plan asks for, built through the editor's rules, and
// the list of changes. An entry that breaks a rule or names a missing device fails here.
void Prepare(ApplyItem& it, const std::vector<std::string>& maps) {
  const CtrlRead& r = it.read;
  if (!r.ok) {
    it.st = ApplySt::Failed;
    it.why = r.unreadable ? "nie do odczytu (tryb " + r.modeText + ")" : r.error;
    return;
  }
  if (!DeviceMapFor(it, maps)) {
    it.st = ApplySt::Failed;
    return;
  }
  it.built = std::make_unique<CtrlCfg>();
  std::string why;
  if (!BuildRestore(it.entry->arc.cfg, *r.read.cfg, it.map, *it.built, why)) {
    it.st = ApplySt::Failed;
    it.why = "plan odrzucony: " + why;
    return;
  }
  it.lines = DiffCfg(ResolveCfg(*r.read.cfg), ResolveCfg(*it.built));
  if (it.lines.empty()) it.st = ApplySt::InLine;
}

// The bus device table as far as the built configuration depends on it.
std::string TableKey(const CtrlCfg& cfg) {
  std::string k;
  for (int i = 0; i < cfg.listedCount; ++i) {
    const BusDev& b = cfg.devs[cfg.order[i]];
    k += std::to_string(cfg.order[i]) + ":" + std::to_string(b.id) + "/" +
         std::to_string(b.outputCount) + "/" + std::to_string(b.inputCount) + "/" +
         std::to_string(b.readerCount) + "/" + std::to_string(b.ocOutputs) + ";";
  }
  return k;
}

// Just before the write: the controller read again. False (nothing may be sent) when it no
// longer holds what the list of changes was computed from.
bool FreshReadUnchanged(ApplyItem& it) {
  UdpDev& dev = *it.read.dev;
  const uint32_t id = dev.id;
  ReadCfg fresh;
  try {
    ReadController(dev, fresh);
  } catch (const UErr& e) {
    it.why = "świeży odczyt przed zapisem nie powiódł się: " + ErrorText(e);
    while (!it.why.empty() && it.why.back() == '\n') it.why.pop_back();
    return false;
  }
  if (dev.id != id) {
    it.why = "pod adresem " + dev.IpText() + " jest już inne urządzenie";
    return false;
  }
  if (fresh.rawDoors != it.read.read.rawDoors ||
      TableKey(*fresh.cfg) != TableKey(*it.read.read.cfg)) {
    const std::vector<std::string> moved =
        DiffCfg(ResolveCfg(*it.read.read.cfg), ResolveCfg(*fresh.cfg));
    it.why = "konfiguracja kontrolera zmieniła się od odczytu";
    it.why += moved.empty() ? " (lista urządzeń magistrali)" : ":\n  " + moved[0];
    for (size_t i = 1; i < moved.size(); ++i) it.why += "\n  " + moved[i];
    return false;
  }
  return true;
}

// The write and the read-back comparison, as restore does them.
bool WriteAndVerify(ApplyItem& it, int& bytes) {
  UdpDev& dev = *it.read.dev;
  try {
    dev.WriteConfig(*it.built);
    uint8_t back[kCfgBufSize];
    const int n = dev.Exchange('C', 0, nullptr, kCfgBufSize, back);
    auto check = std::make_unique<CtrlCfg>(*it.built);
    uint8_t wrote[kCfgBufSize], read[kCfgBufSize];
    const int lw = EncodeDoors(*it.built, wrote);
    const bool decoded = DecodeDoors(*check, back, size_t(n));
    const int lr = decoded ? EncodeDoors(*check, read) : 0;
    bytes = lw;
    if (decoded && lw == lr && std::memcmp(wrote, read, size_t(lw)) == 0) return true;
    it.why = "odczyt kontrolny różni się od zapisanej konfiguracji";
    if (!decoded) it.why += " (niepoprawna odpowiedź)";
    if (decoded)
      for (const std::string& l : DiffCfg(ResolveCfg(*it.built), ResolveCfg(*check)))
        it.why += "\n  " + l;
  } catch (const UErr& e) {
    it.why = "zapis nie powiódł się: " + ErrorText(e);
    while (!it.why.empty() && it.why.back() == '\n') it.why.pop_back();
  }
  return false;
}

}  // namespace

int SiteApply(LinkSlot& slot, const Args& a) {
  const std::string& path = a.positional[1];
  SitePlan plan;
  std::string why;
  if (!LoadPlan(path, plan, why))
    throw CliError{"plan obiektu " + path + " odrzucony: " + why + ". Nic nie wysłano."};
  std::vector<ApplyItem> items = SelectEntries(plan, a);

  LinkCtx& link = OpenLink(slot);
  link.Search(true);
  UdpDevSet& set = link.Set();
  std::vector<CtrlRead> reads;
  for (ApplyItem& it : items) {
    for (int i = 0; i < set.count; ++i)
      if (it.target ? set.dev[i].id == it.target : DevName(set.dev[i].id) == it.targetName) {
        it.read.dev = &set.dev[i];
        it.target = set.dev[i].id;
      }
    if (!it.read.dev) {
      it.st = ApplySt::Failed;
      it.why = "brak w sieci";
    } else {
      reads.push_back(CtrlRead(it.read.dev));
    }
  }
  ReadControllers(reads, "", false);
  for (ApplyItem& it : items) {
    for (CtrlRead& r : reads)
      if (it.read.dev && r.dev == it.read.dev) it.read = std::move(r);
    if (it.st == ApplySt::Pending) Prepare(it, a.maps);
    // A controller that is not written is not kept waiting in a session.
    if (it.st == ApplySt::Pending || !it.read.dev) continue;
    try {
      it.read.dev->EndSession();
    } catch (const UErr&) {
    }
  }

  // What would change, controller by controller (controller -> plan).
  std::vector<ApplyItem*> toWrite;
  for (ApplyItem& it : items) {
    std::cout << Who(it) << ": ";
    if (it.st == ApplySt::InLine) {
      std::cout << "zgodny z planem, nic do zapisania\n";
    } else if (it.st == ApplySt::Failed) {
      std::cout << "nie do zastosowania: " << it.why << "\n";
    } else {
      std::cout << "zmiany (kontroler -> plan):\n";
      for (const std::string& l : it.lines) std::cout << "  " << l << "\n";
      toWrite.push_back(&it);
    }
  }
  int failed = 0;
  for (const ApplyItem& it : items) failed += it.st == ApplySt::Failed;
  if (a.dryRun) {
    std::cout << "--dry-run: nic nie zapisano (" << toWrite.size() << " do zapisania, " << failed
              << " nie do zastosowania).\n";
    return failed ? 1 : 0;
  }
  if (!toWrite.empty() && !a.yes) {
    std::string names;
    for (const ApplyItem* it : toWrite) names += (names.empty() ? "" : ", ") + it->targetName;
    if (!ConfirmOnTerminal("Zapisać zmiany do " + std::to_string(toWrite.size()) +
                           " kontrolerów (" + names + ")?")) {
      std::cerr << "feldaro-cli: nie zapisano: brak potwierdzenia (na wejściu, które nie jest "
                   "terminalem, potrzebne --yes).\n";
      return 1;
    }
  }
  for (ApplyItem* it : toWrite) {
    CheckInterrupted();
    int bytes = 0;
    it->st = ApplySt::Failed;
    if (!FreshReadUnchanged(*it)) {
      std::cerr << "feldaro-cli: " << Who(*it) << ": nic nie wysłano: " << it->why << "\n";
    } else if (!WriteAndVerify(*it, bytes)) {
      std::cerr << "feldaro-cli: " << Who(*it) << ": " << it->why << "\n";
    } else {
      it->st = ApplySt::Written;
      std::cout << Who(*it) << ": zapisano (" << bytes
                << " bajtów); odczyt kontrolny zgodny z planem.\n";
    }
  }
  int written = 0, inLine = 0;
  failed = 0;
  std::string failedNames;
  for (const ApplyItem& it : items) {
    written += it.st == ApplySt::Written;
    inLine += it.st == ApplySt::InLine;
    if (it.st == ApplySt::Failed) {
      ++failed;
      failedNames += (failedNames.empty() ? "" : ", ") + it.targetName;
    }
  }
  std::cout << "Podsumowanie: zapisano " << written << ", zgodnych bez zapisu " << inLine
            << ", nie doprowadzono do zgodności " << failed
            << (failed ? " (" + failedNames + ")" : std::string()) << " z " << items.size()
            << " kontrolerów planu.\n";
  return failed ? 1 : 0;
}
