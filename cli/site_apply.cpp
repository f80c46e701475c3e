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
#include "config/plural.h"
#include "config/restorenotes.h"
#include "restore.h"

namespace {

enum class ApplySt { Pending, InLine, Written, Failed };

struct ApplyItem {
  const PlanCtrl* entry = nullptr;
  // The controller on the network: the planned one or its replacement (found by name).
  uint32_t target = 0;
  std::string targetName;
  CtrlRead read;     // the read the changes were computed from
  RestorePlan plan;  // what the write sends and what it changes (controller -> plan)
  ApplySt st = ApplySt::Pending;
  std::string why;  // for Failed
};

std::string Who(const ApplyItem& it) {
  const uint32_t planned = it.entry->arc.ctrlId;
  std::string s = DevName(planned);
  if (it.targetName != s)
    s += " -> " + it.targetName;
  else if (it.target && it.target != planned)
    s += " -> " + it.targetName + " (" + OtherIdNote(planned, it.target) + ")";
  if (!it.entry->label.empty()) s += " (" + it.entry->label + ")";
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Device names in any letter case, as elsewhere.
std::pair<std::string, std::string> SplitMap(const std::string& m) {
  return {Upper(m.substr(0, m.find('='))), Upper(m.substr(m.find('=') + 1))};
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
  std::vector<std::string> named(a.positional.begin() + 2, a.positional.end());
  for (std::string& n : named) n = Upper(n);
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
      if (named[i] == DevName(c.arc.ctrlId) || named[i] == it.targetName) {
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
    // The address on record may belong to another controller by now, and the one answering
    // there may not be the plan's: a controller is named by its name only.
    if (IsIpv4(named[i]))
      throw CliError{"\"" + named[i] +
                         "\" to adres; site apply wskazuje kontroler tylko nazwą (np. K27_00005), "
                         "bo adres zapisany w planie mógł przejść na inny kontroler",
                     2};
    if (!IsDevName(named[i]))
      throw CliError{
          "\"" + named[i] + "\" nie jest nazwą urządzenia (np. K27_00005) ani adresem IPv4", 2};
    if (!used[i]) throw CliError{named[i] + ": tego kontrolera nie ma w planie", 2};
  }
  return items;
}

// The --map entries that name a bus device of this entry (a replaced controller is its
// target already).
std::vector<std::string> EntryMaps(const ApplyItem& it, const std::vector<std::string>& maps) {
  std::vector<std::string> out;
  for (const std::string& m : maps) {
    const std::string from = SplitMap(m).first;
    if (from != DevName(it.entry->arc.ctrlId) && PlanHasDevice(*it.entry, from)) out.push_back(m);
  }
  return out;
}

// From the read: what the plan asks for, built through the editor's rules by restore's own
// steps, and the list of changes. An entry that breaks a rule or names a missing device
// fails here, with restore's reason.
void Prepare(ApplyItem& it, const std::vector<std::string>& maps) {
  const CtrlRead& r = it.read;
  if (!r.ok) {
    it.st = ApplySt::Failed;
    it.why = r.unreadable ? "nie do odczytu (tryb " + r.modeText + ")" : r.error;
    return;
  }
  try {
    it.plan = PlanRestore(it.entry->arc, "z planu (wpis " + DevName(it.entry->arc.ctrlId) + ")",
                          r.read, RestoreOptions{EntryMaps(it, maps), false});
  } catch (const CliError& e) {
    if (e.code == kExitInterrupted) throw;
    it.st = ApplySt::Failed;
    it.why = e.text;
    return;
  }
  it.plan.address = AddressChangeLine(it.entry->arc, r.dev->id, r.dev->IpText());
  if (!it.plan.write) it.st = ApplySt::InLine;
}

// Just before the write: the controller read again. False (nothing may be sent) when it no
// longer holds what the list of changes was computed from.
bool FreshReadUnchanged(ApplyItem& it) {
  UdpDev& dev = *it.read.dev;
  ReadCfg fresh;
  try {
    if (!StateMoved(dev, it.plan, fresh)) return true;
  } catch (const UErr& e) {
    it.why = "świeży odczyt przed zapisem nie powiódł się: " + LinkErrorLine(e);
    return false;
  }
  const std::vector<std::string> moved =
      DiffCfg(ResolveCfg(*it.read.read.cfg), ResolveCfg(*fresh.cfg));
  it.why = "konfiguracja kontrolera zmieniła się od odczytu";
  it.why += moved.empty() ? " (lista urządzeń magistrali)" : ":\n  " + moved[0];
  for (size_t i = 1; i < moved.size(); ++i) it.why += "\n  " + moved[i];
  return false;
}

// The write and the read-back comparison, restore's own step.
bool Write(ApplyItem& it, int& bytes) {
  try {
    bytes = WriteAndVerify(*it.read.dev, it.plan);
    return true;
  } catch (const CliError& e) {
    if (e.code == kExitInterrupted) throw;
    it.why = e.text;
  } catch (const UErr& e) {
    it.why = "zapis nie powiódł się: " + LinkErrorLine(e);
  }
  return false;
}

}  // namespace

int SiteApply(LinkSlot& slot, const Args& a) {
  const std::string& path = a.positional[1];
  SitePlan plan;
  std::string why;
  int en = 0;
  if (!LoadPlan(path, plan, why, &en))
    throw CliError{"plan obiektu " + path + " odrzucony: " + FileReason(path, why, en) +
                   ". Nic nie wysłano."};
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
      // The same name under another identifier is not the planned controller.
      for (int i = 0; i < set.count; ++i)
        if (it.target && DevName(set.dev[i].id) == DevName(it.entry->arc.ctrlId))
          it.why += " (" + SameNameNote(it.entry->arc.ctrlId, set.dev[i]) + ")";
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
      std::cout << "zgodny z planem, nic do zapisania"
                << (it.plan.address.empty() ? "" : " (" + it.plan.address + ")") << "\n";
    } else if (it.st == ApplySt::Failed) {
      std::cout << "nie do zastosowania: " << it.why << "\n";
    } else {
      if (it.plan.changes.empty() && it.plan.address.empty()) {
        std::cout << EncodingOnlyLine(it.targetName) << "\n";
      } else {
        std::cout << "zmiany (kontroler -> plan):\n";
        // The address on record is one of the changes the user confirms.
        if (!it.plan.address.empty()) std::cout << "  " << it.plan.address << "\n";
        for (const std::string& l : ChangeLines(it.plan.changes)) std::cout << "  " << l << "\n";
        if (it.plan.changes.empty()) std::cout << "  " << EncodingOnlyLine(it.targetName) << "\n";
      }
      for (const std::string& n : it.plan.notes) std::cout << "  " << n << "\n";
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
    for (const ApplyItem* it : toWrite)
      names += (names.empty() ? "" : ", ") + it->targetName +
               (it->plan.address.empty() ? "" : " (" + it->plan.address + ")");
    std::vector<UdpDev*> devs;
    for (const ApplyItem* it : toWrite) devs.push_back(it->read.dev);
    const Answer ans = AskKeepingSessions(
        devs, "Zapisać zmiany do " + CtrlsGen(long(toWrite.size())) + " (" + names + ")?");
    if (ans == Answer::NoTerminal) {
      std::cerr << "feldaro-cli: nie zapisano: wejście nie jest terminalem, więc nie można "
                   "zapytać o potwierdzenie; dodaj --yes.\n";
      return 1;
    }
    if (ans == Answer::No) {
      std::cerr << "feldaro-cli: nie zapisano: brak potwierdzenia.\n";
      return 1;
    }
  }
  int done = 0;
  for (ApplyItem* it : toWrite) {
    CheckInterrupted();
    int bytes = 0;
    it->st = ApplySt::Failed;
    if (const std::string refused = AddressRefusal(it->plan, a); !refused.empty()) {
      it->why = refused;
      std::cerr << "feldaro-cli: " << Who(*it) << ": " << refused << "\n";
    } else if (!FreshReadUnchanged(*it)) {
      std::cerr << "feldaro-cli: " << Who(*it) << ": nic nie wysłano: " << it->why << "\n";
    } else if (!Write(*it, bytes)) {
      std::cerr << "feldaro-cli: " << Who(*it) << ": " << it->why << "\n";
    } else {
      it->st = ApplySt::Written;
      std::cout << Who(*it) << ": zapisano (" << CountPl(bytes, "bajt", "bajty", "bajtów")
                << "); odczyt kontrolny zgodny z planem.\n";
    }
    done += it->st == ApplySt::Written;
    SetProgress("zapisano do " + std::to_string(done) + " z " + CtrlsGen(long(toWrite.size())) +
                " z listy zmian");
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
            << (failed ? " (" + failedNames + ")" : std::string()) << " z "
            << CtrlsGen(long(items.size())) << " planu.\n";
  return failed ? 1 : 0;
}
