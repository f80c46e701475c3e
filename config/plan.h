// Site plan: the intended configuration of every controller of one site in a single JSON
// document ("format": "feldaro-site"). Each controller is kept as the controller record of a
// configuration archive (config/archive.h) with a label, so a plan can be prepared at the
// desk, compared with what the controllers hold and put back onto them. Plain C++; shared by
// the window and feldaro-cli.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/archive.h"
#include "config/ctrlcfg.h"

inline constexpr const char* kPlanFormat = "feldaro-site";
inline constexpr int kPlanVersion = 1;
// A plan holds at most this many controllers (a segment has far fewer); a bigger file is
// not a plan.
inline constexpr size_t kPlanMaxCtrls = 512;
inline constexpr size_t kPlanMaxBytes = 64u << 20;

struct SiteInfo {
  std::string name;       // "Biurowiec Zachodni" (UTF-8, may be empty)
  std::string address;    // postal address of the site
  std::string installer;  // who prepared the plan
  std::string notes;      // free text, may span lines
};

// One controller of the plan: a label such as "Budynek B, parter" and its archive record
// (identity arc.ctrlId / ctrlAddress / ctrlMode, devices, passages, raw 'D' and 'C').
struct PlanCtrl {
  std::string label;
  Archive arc;
};

struct SitePlan {
  SiteInfo site;
  std::string created;   // UTC "2024-03-05T10:15:00Z" when the plan was made
  std::string modified;  // UTC of the last save
  std::string tool;      // "Feldaro 1.2.1", the program that saved it last
  std::vector<PlanCtrl> ctrls;
  // Read from a single controller's archive (not written to a file): that file stays the
  // user's backup, so the plan is saved only into a file the user names.
  bool fromArchive = false;
};

// The plan as the JSON document that SavePlan writes.
std::string PlanToJson(const SitePlan& plan);
// Reads a plan, or a version 1 archive as a plan of one controller (its location becomes
// the label and the site name). False with the reason (Polish, UTF-8) for broken files,
// unknown formats or versions and duplicated controllers; `out` is then empty.
bool ParsePlan(std::string_view text, SitePlan& out, std::string& error);
// Reads the file at path through ParsePlan; the reason names the file's problem. When the
// file could not be read, the reason is "<path>: <the system's reason>" and errnum (when
// given) receives the system's error number; otherwise errnum is 0.
bool LoadPlan(const std::string& path, SitePlan& out, std::string& error, int* errnum = nullptr);
// Writes PlanToJson(plan) atomically (config/atomicfile.h); false with "<path>: reason" and
// the system's error number in errnum (when given) as WriteFileAtomically gives it.
// The caller sets plan.modified (and tool) before saving, through StampSaved.
bool SavePlan(const std::string& path, const SitePlan& plan, std::string& error,
              int* errnum = nullptr);
// Before a save of `out`, edited from `before` (as opened or last saved): when it holds
// exactly what before holds, its time of change and tool stay those of before, so an
// unchanged plan is written byte for byte as it was; otherwise modified becomes now, tool
// becomes tool, and an empty created becomes now.
void StampSaved(SitePlan& out, const SitePlan& before, const std::string& now,
                const std::string& tool);

// Index of the controller with that identifier in plan.ctrls, or -1.
int FindPlanCtrl(const SitePlan& plan, uint32_t ctrlId);

// How one controller stands against the network.
enum class DriftState {
  Unchecked,   // not compared yet
  Agree,       // the controller holds the planned passages
  Differs,     // it holds something else: see lines
  Missing,     // not found on the network
  Unreadable,  // found, but cannot be read (mode Blokada/Konfiguracja, no answer): see reason
  NotInPlan,   // on the network, not in the plan
};

struct CtrlDrift {
  DriftState state = DriftState::Unchecked;
  // For Differs: first "adres: planned -> now" when the controller answers from another
  // address than the plan records (AddressChangeLine), then the lines of DiffCfg,
  // controller -> plan ("Przejście 2:", "  Rygiel: A -> B",
  // A on the controller, B in the plan).
  std::vector<std::string> lines;
  std::string reason;  // for Unreadable (and Missing/NotInPlan: a short note, may be empty)
};

// Compares the planned record with what the controller holds (an archive made from a fresh
// read, MakeArchive); actual null means the controller was not found. The planned
// controller's own identifier stands for the actual controller's.
CtrlDrift CompareCtrl(const Archive& planned, const Archive* actual);
// The texts of feldaro-cli ("zgodny", "różni się", "brak w sieci", "nie do odczytu",
// "spoza planu", "nie sprawdzono").
const char* DriftCliText(DriftState s);
// The captions of the plan window ("Zgodny", "Różni się", "Brak w sieci", "Nie do odczytu",
// "Spoza planu", "Nie sprawdzono").
const char* DriftCaption(DriftState s);

// The editable model of a plan entry (offline editing with the passage editor): the device
// table from the record's device list (slots, counts, OC, states, as a 'D' answer gives
// them), the passages from the record, used I/O marked. False with the reason when a passage names
// a device the table lacks or the record cannot make a model.
bool PlanEntryModel(const Archive& arc, CtrlCfg& out, std::string& error);
// The record for an edited model: identity, times, location and 'D' of base, devices and
// passages from cfg, raw 'C' re-encoded from cfg (what a write of cfg would send). A model
// that holds what base holds gives base itself, raw answers as read.
Archive ArchiveFromModel(const CtrlCfg& cfg, const Archive& base);
