// feldaro-cli site: the site plan of a segment (every controller's intended configuration in
// one file), its check against the network and its application onto the controllers.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "cli.h"
#include "config/archive.h"
#include "config/devname.h"
#include "config/plan.h"
#include "config/plural.h"
#include "link/demux.h"

namespace {

// Controllers read at once; more would only queue at the socket.
constexpr int kReadThreads = 32;

// ------------------------------------------------------------------ reading

// The link's error text on one line: "Błąd nr 1: Urządzenie nie odpowiada."
std::string OneLine(std::string text) {
  const size_t at = text.find("\n\n");
  if (at != std::string::npos) text = text.substr(at + 2);
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Label(const PlanCtrl& c) {
  return DevName(c.arc.ctrlId) + (c.label.empty() ? "" : " (" + c.label + ")");
}

SitePlan LoadPlanFile(const std::string& path, const char* nothing) {
  SitePlan plan;
  std::string why;
  int en = 0;
  if (!LoadPlan(path, plan, why, &en))
    throw CliError{"plan obiektu " + path + " odrzucony: " + FileReason(path, why, en) + ". " +
                   nothing};
  return plan;
}

// The controllers found by the search, readable or not, in the order of the device set.
std::vector<UdpDev*> Controllers(LinkCtx& link) {
  std::vector<UdpDev*> out;
  UdpDevSet& set = link.Set();
  for (int i = 0; i < set.count; ++i)
    if (IsController(set.dev[i].id)) out.push_back(&set.dev[i]);
  return out;
}

UdpDev* FindById(const std::vector<UdpDev*>& ctrls, uint32_t id) {
  for (UdpDev* d : ctrls)
    if (d->id == id) return d;
  return nullptr;
}

// ------------------------------------------------------------------ capture

int Capture(LinkSlot& slot, const Args& a) {
  RefuseExisting(a.output, a.force);
  LinkCtx& link = OpenLink(slot);
  const std::vector<SeenDevice> seen = link.SearchAll();
  std::vector<CtrlRead> reads;
  for (UdpDev* d : Controllers(link)) reads.push_back(CtrlRead(d));
  // Controllers that answered but are not in the device set are missed too.
  const std::vector<LeftOutCtrl> leftOut = ControllersLeftOut(link.Set(), seen);
  ReadControllers(reads, a.location, true);
  SitePlan plan;
  plan.site.name = a.name;
  plan.site.address = a.location;
  plan.created = plan.modified = UtcNowText();
  plan.tool = "Feldaro " FELDARO_VERSION;
  int missed = int(leftOut.size());
  for (const LeftOutCtrl& c : leftOut)
    std::cerr << "pominięto " << DevName(c.id) << " (" << c.address << "): " << c.reason << "\n";
  for (CtrlRead& r : reads) {
    if (!r.ok) {
      std::cerr << "pominięto " << DevName(r.dev->id) << " ("
                << (r.unreadable ? "tryb " + r.modeText : r.error) << ")\n";
      ++missed;
      continue;
    }
    plan.ctrls.push_back(PlanCtrl{"", std::move(r.arc)});
    std::cout << "odczytano " << DevName(r.dev->id) << ": "
              << CountPl(r.read.cfg->listedCount, "urządzenie", "urządzenia", "urządzeń") << ", "
              << CountPl(r.read.cfg->doorCount, "przejście", "przejścia", "przejść") << "\n";
  }
  const std::string summary =
      std::to_string(plan.ctrls.size()) + " z " + CtrlsGen(long(reads.size() + leftOut.size()));
  if (plan.ctrls.empty()) {
    std::cerr << "feldaro-cli: nie odczytano żadnego kontrolera (" << summary
              << "); planu nie zapisano.\n";
    return kExitFail;
  }
  RefuseExisting(a.output, a.force);
  std::string why;
  int en = 0;
  if (!SavePlan(a.output, plan, why, &en))
    throw CliError{"nie można zapisać planu " + a.output + ": " + FileReason(a.output, why, en) +
                   (en ? "; nic nie zapisano" : "")};
  std::cout << "zapisano plan " << a.output << ": " << summary << "\n";
  SetProgress("zapisano plan " + a.output);
  return missed ? kExitFail : kExitOk;
}

// ------------------------------------------------------------------ check

struct CheckRow {
  const PlanCtrl* entry = nullptr;  // null: on the network, not in the plan
  uint32_t id = 0;
  std::string address;
  CtrlDrift drift;
};

const char* StateKey(DriftState s) {
  switch (s) {
    case DriftState::Agree:
      return "agree";
    case DriftState::Differs:
      return "differs";
    case DriftState::Missing:
      return "missing";
    case DriftState::Unreadable:
      return "unreadable";
    case DriftState::NotInPlan:
      return "notInPlan";
    case DriftState::Unchecked:
      break;
  }
  return "unchecked";
}

int Check(LinkSlot& slot, const Args& a) {
  const std::string& path = a.positional[1];
  const SitePlan plan = LoadPlanFile(path, "Nic nie sprawdzono.");
  LinkCtx& link = OpenLink(slot);
  link.Search(false);
  // Devices that answer late are waited for only when the plan still misses some.
  std::vector<UdpDev*> ctrls = Controllers(link);
  bool allFound = true;
  for (const PlanCtrl& c : plan.ctrls) allFound = allFound && FindById(ctrls, c.arc.ctrlId);
  if (!allFound) {
    link.Set().Collect(700);
    ctrls = Controllers(link);
  }
  CheckInterrupted();
  std::vector<CtrlRead> reads;
  for (UdpDev* d : ctrls)
    if (FindPlanCtrl(plan, d->id) >= 0) reads.push_back(CtrlRead(d));
  ReadControllers(reads, "", true);

  std::vector<CheckRow> rows;
  for (const PlanCtrl& c : plan.ctrls) {
    CheckRow row{&c, c.arc.ctrlId, c.arc.ctrlAddress, {}};
    const CtrlRead* r = nullptr;
    for (const CtrlRead& x : reads)
      if (x.dev->id == c.arc.ctrlId) r = &x;
    if (!r) {
      row.drift = CompareCtrl(c.arc, nullptr);
    } else if (!r->ok) {
      row.address = r->dev->IpText();
      row.drift.state = DriftState::Unreadable;
      row.drift.reason = r->unreadable ? "tryb " + r->modeText : r->error;
    } else {
      row.address = r->dev->IpText();
      row.drift = CompareCtrl(c.arc, &r->arc);
    }
    rows.push_back(std::move(row));
  }
  // A planned controller that is missing while its name answers under another identifier:
  // one row for the pair, saying how they differ. One missing while a controller of its model
  // that the plan lacks answers: perhaps replaced, and the --map that says so.
  std::set<uint32_t> paired, hinted;
  for (CheckRow& row : rows) {
    if (row.drift.state != DriftState::Missing) continue;
    const std::string name = DevName(row.id);
    for (UdpDev* d : ctrls)
      if (FindPlanCtrl(plan, d->id) < 0 && !paired.count(d->id) && DevName(d->id) == name) {
        row.drift.reason = SameNameNote(row.id, *d);
        paired.insert(d->id);
        break;
      }
  }
  for (CheckRow& row : rows) {
    if (row.drift.state != DriftState::Missing || !row.drift.reason.empty()) continue;
    const std::string name = DevName(row.id);
    for (UdpDev* d : ctrls) {
      const std::string other = DevName(d->id);
      if (FindPlanCtrl(plan, d->id) >= 0 || paired.count(d->id) || hinted.count(d->id) ||
          other.substr(0, 3) != name.substr(0, 3))
        continue;
      row.drift.reason = "zastąpiony? użyj --map " + name + "=" + other;
      hinted.insert(d->id);
      break;
    }
  }
  for (UdpDev* d : ctrls)
    if (FindPlanCtrl(plan, d->id) < 0 && !paired.count(d->id)) {
      CheckRow row{nullptr, d->id, d->IpText(), {}};
      row.drift.state = DriftState::NotInPlan;
      row.drift.reason = "tryb " + d->ModeText();
      rows.push_back(std::move(row));
    }

  int counts[6] = {};
  for (const CheckRow& r : rows) ++counts[int(r.drift.state)];
  const int rc = counts[int(DriftState::Unreadable)]                  ? 2
                 : counts[int(DriftState::Agree)] == int(rows.size()) ? 0
                                                                      : 1;
  if (a.json) {
    using ojson = nlohmann::ordered_json;
    ojson list = ojson::array();
    for (const CheckRow& r : rows) {
      ojson j = {{"name", DevName(r.id)}, {"id", r.id}, {"address", r.address}};
      if (r.entry) j["label"] = r.entry->label;
      j["state"] = StateKey(r.drift.state);
      j["stateText"] = DriftCliText(r.drift.state);
      if (r.drift.state == DriftState::Differs) j["differences"] = r.drift.lines;
      if (!r.drift.reason.empty()) j["reason"] = r.drift.reason;
      list.push_back(std::move(j));
    }
    const ojson doc = {
        {"plan", path}, {"site", plan.site.name}, {"controllers", list}, {"exitCode", rc}};
    std::cout << doc.dump(2, ' ', false, ojson::error_handler_t::replace) << "\n";
    return rc;
  }
  for (const CheckRow& r : rows) {
    std::cout << (r.entry ? Label(*r.entry) : DevName(r.id)) << ": " << DriftCliText(r.drift.state);
    if (!r.drift.reason.empty()) std::cout << " (" << r.drift.reason << ")";
    std::cout << "\n";
    for (const std::string& l : r.drift.lines) std::cout << "  " << l << "\n";
  }
  std::cout << "Plan " << (plan.site.name.empty() ? path : plan.site.name)
            << ": zgodne: " << counts[int(DriftState::Agree)]
            << ", różne: " << counts[int(DriftState::Differs)]
            << ", brak w sieci: " << counts[int(DriftState::Missing)]
            << ", nie do odczytu: " << counts[int(DriftState::Unreadable)]
            << ", spoza planu: " << counts[int(DriftState::NotInPlan)] << "\n";
  return rc;
}

}  // namespace

// ------------------------------------------------------------------ reading, shared

std::string OtherIdNote(uint32_t planned, uint32_t found) {
  const uint32_t kSuffix = 3u << 26;
  if ((planned & ~kSuffix) == (found & ~kSuffix))
    return std::string("litera sufiksu ") + char('A' + ((found >> 26) & 3)) + ", w planie " +
           char('A' + ((planned >> 26) & 3));
  char buf[64];
  std::snprintf(buf, sizeof buf, "identyfikator 0x%08X, w planie 0x%08X", unsigned(found),
                unsigned(planned));
  return buf;
}

std::string SameNameNote(uint32_t planned, const UdpDev& found) {
  const std::string name = DevName(planned);
  return "pod " + found.IpText() + " odpowiada " + name +
         " o innym identyfikatorze: " + OtherIdNote(planned, found.id) + "; użyj --map " + name +
         "=" + name;
}

void ReadOneController(CtrlRead& r, const std::string& location, bool endSession) {
  UdpDev& d = *r.dev;
  r.modeText = d.ModeText();
  if ((d.status & 3) < 2) {
    r.unreadable = true;
    return;
  }
  try {
    ReadController(d, r.read);
    r.modeText = d.ModeText();
    r.arc = MakeArchive(*r.read.cfg, d.id, d.IpText(), d.Mode(), "Feldaro " FELDARO_VERSION,
                        UtcNowText(), location, r.read.rawDevList, r.read.rawDoors);
    r.ok = true;
  } catch (const UErr& e) {
    r.error = OneLine(ErrorText(e));
    r.errorLine = LinkErrorLine(e);
    r.errorHead = ErrorHeadline(e);
    r.errorCode = e.code;
    r.modeText = d.ModeText();
    r.unreadable = e.code == 9;
  } catch (const CliError& e) {
    if (e.code == kExitInterrupted || gInterrupted) throw;
    r.error = e.text;
  }
  if (!endSession) return;
  try {
    d.EndSession();
  } catch (const UErr&) {
  }
}

void ReadControllers(std::vector<CtrlRead>& reads, const std::string& location, bool endSession) {
  CheckInterrupted();
  // Each controller on a thread of its own with its own session: the segment is read in
  // about the time of one controller's chain of answers, not of all of them in a row.
  // Discovery answers no controller's route took still count for the two-address rule.
  UdpDevSet* set = reads.empty() ? nullptr : reads[0].dev->owner;
  RunPerDevice(
      LinkEndpoint(), reads.size(), kReadThreads,
      [&](size_t i) { return std::make_pair(reads[i].dev->IpText(), reads[i].dev->id); },
      [&](size_t i) {
        try {
          ReadOneController(reads[i], location, endSession);
        } catch (const CliError&) {
          // Interrupted: said below, once every thread has stopped.
        } catch (const std::exception& e) {
          reads[i].error = e.what();
        }
      },
      [set](const char* from, const uint8_t* b, size_t n) {
        if (set) set->Offer(from, b, n);
      });
  CheckInterrupted();
}

int CmdSite(LinkSlot& slot, const Args& a) {
  const std::string& sub = a.positional[0];
  if (sub == "capture") return Capture(slot, a);
  if (sub == "check") return Check(slot, a);
  return SiteApply(slot, a);
}
