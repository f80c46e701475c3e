// Putting an archive back onto a controller, step by step: plan (what will change), a fresh
// read compared with what the plan was computed from, the write with its read-back. Every
// command that writes archived passages goes through these steps.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "config/archive.h"

struct RestoreOptions {
  std::vector<std::string> maps;  // "OLD=NEW" as given to --map
  bool otherModel = false;        // an archive of another controller model is accepted
};

struct RestorePlan {
  uint32_t ctrl = 0;                            // the target controller
  std::unique_ptr<CtrlCfg> built;               // what the write sends
  std::vector<CfgChange> changes;               // the controller as read -> after the write
  std::vector<std::string> notes;               // what else the user should know before a "t"
  std::vector<uint32_t> confirmsNew;            // new bus devices the write would confirm
  std::vector<uint8_t> fromDevList, fromDoors;  // the answers the plan was computed from
  bool write = false;                           // false: the controller has it all already
  // "adres: 10.0.0.5 -> 10.0.0.66" when the controller answers from another address than
  // the archive or plan records (AddressChangeLine); empty otherwise.
  std::string address;
};

// With --yes, a controller answering from another address than the one on record is written
// only with --address-changed: the reason it is not, or empty when it may be.
std::string AddressRefusal(const RestorePlan& plan, const Args& a);

enum class Answer { Yes, No, NoTerminal };
// Asks on the terminal ("t"/"tak" in any letter case confirms); while the question waits,
// the sessions of `devs` are kept alive every few seconds, as the window's tick does, so
// they do not lapse behind the user's back.
Answer AskKeepingSessions(const std::vector<UdpDev*>& devs, const std::string& question);

// Checks the archive against the controller as read (model, maps, the editor's rules) and
// computes what to write and what changes. Throws CliError with the reason on a refusal.
RestorePlan PlanRestore(const Archive& arc, const std::string& arcName, const ReadCfg& read,
                        const RestoreOptions& opt);

// Whether two reads of a controller hold the same configuration: the passages byte for byte,
// the device list slot by slot (identifier, counts, the "new" mark) without the states that
// change on their own (inactive, power, tamper).
bool SameState(const std::vector<uint8_t>& devListA, const std::vector<uint8_t>& doorsA,
               const std::vector<uint8_t>& devListB, const std::vector<uint8_t>& doorsB);

// Reads 'D' and 'C' again into fresh; true when they differ from what the plan was computed
// from, so that the list the user saw no longer tells what the write would do.
bool StateMoved(UdpDev& dev, const RestorePlan& plan, ReadCfg& fresh);

// Sends the planned configuration ('c'), reads it back ('C') and compares. Returns the
// number of bytes written; throws CliError when the read-back differs.
int WriteAndVerify(UdpDev& dev, const RestorePlan& plan);

// The plan as text: header, changes, notes (text.cpp). "Brak zmian" only when nothing is to
// be written; a write that changes no assignment's meaning says so in one line.
std::vector<std::string> PlanText(const RestorePlan& plan, const Archive& arc);
// "Przejścia się nie zmienią: ...": the write only changes how the assignments are encoded.
std::string EncodingOnlyLine(const std::string& ctrlName);
void PrintPlan(const RestorePlan& plan, const Archive& arc);
// diff --json and restore --dry-run --json: one object, documented in feldaro-cli(1).
void PrintChangesJson(const std::string& ctrlName, const Archive& arc, const std::string& file,
                      const std::vector<CfgChange>& changes, const RestorePlan* plan);
