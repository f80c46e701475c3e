// Configuration archive: a controller's bus device list and passages as a versioned JSON
// document, with every assignment resolved to a device identifier so that it can be put
// back onto the same or a replacement controller. Plain C++ on top of the model.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/ctrlcfg.h"

inline constexpr const char* kArchiveFormat = "feldaro-archive";
inline constexpr int kArchiveVersion = 1;
// Archives are small (a full controller is about 60 kB); anything far larger is not one.
inline constexpr size_t kArchiveMaxBytes = 4u << 20;

// One assignment resolved to its device: identifier, index counted from 0, NC flag.
struct ArcRef {
  bool set = false;
  uint32_t dev = 0;
  int index = 0;
  bool nc = false;
  bool operator==(const ArcRef&) const = default;
};

struct ArcDoor {
  ArcRef outputs[4];  // bolt, reminder, alarm, CCTV
  ArcRef inputs[10];  // exit button, open sensor, alarm sensor, tamper, 4-9 not edited
  ArcRef readers[4];
  uint8_t params[8] = {};
  bool operator==(const ArcDoor&) const = default;
};

// The passages of a controller with their devices named by identifier.
struct ArcCfg {
  std::vector<ArcDoor> doors;
  uint16_t trainNumber = 0;
  bool hasTrainNumber = false;  // the controller model carries the train number
  bool operator==(const ArcCfg&) const = default;
};

struct ArcDevice {
  int slot = 0;
  uint32_t id = 0;
  uint8_t suffixNumber = 0;
  uint8_t state = 0;
  int outputs = 0, inputs = 0, readers = 0;
  bool oc = false;
  bool operator==(const ArcDevice&) const = default;
};

struct Archive {
  std::string tool;      // "Feldaro 1.2.1"
  std::string created;   // UTC, "2024-03-05T10:15:00Z"
  std::string location;  // UTF-8, may be empty
  uint32_t ctrlId = 0;
  std::string ctrlAddress;
  int ctrlMode = 0;
  std::vector<ArcDevice> devices;  // listed slots in display order
  ArcCfg cfg;
  std::vector<uint8_t> rawDevList, rawDoors;  // the 'D' and 'C' answers as read
};

// The passages of a model with each reference resolved through the device table.
ArcCfg ResolveCfg(const CtrlCfg& cfg);
// An archive of a configuration just read (decoded from rawDevList and rawDoors).
Archive MakeArchive(const CtrlCfg& cfg, uint32_t ctrlId, const std::string& address, int mode,
                    const std::string& tool, const std::string& createdUtc,
                    const std::string& location, const std::vector<uint8_t>& rawDevList,
                    const std::vector<uint8_t>& rawDoors);
// UTC now as archives and plans record it ("2024-03-05T10:15:00Z").
std::string UtcNowText();
std::string ArchiveToJson(const Archive& arc);
// Reads an archive; false with the reason (Polish, UTF-8) when the text is not a valid one:
// a syntax error with its line and column, a key given twice, a value out of range with its
// JSON path and the value as written. The named fields of a passage (type, times, flags,
// airlock, assignments) are what a restore writes; the raw 'D' and 'C' answers are kept as
// read for the record and are not compared with them.
bool ParseArchive(std::string_view text, Archive& out, std::string& error);

// Replaces every device identifier found in map (the archived controller, replaced devices).
ArcCfg MapDevices(const ArcCfg& cfg, const std::map<uint32_t, uint32_t>& map);

// Puts the archived passages onto target (as read from the controller) through the model's
// assignment operations, taking each assignment only from what the passage editor would
// offer at that point. map sends archived identifiers to the target's (the archived
// controller to the target controller, replaced devices to their successors). False with
// the reason when a device is missing or a rule is broken; out is then unusable.
bool BuildRestore(const ArcCfg& archived, const CtrlCfg& target,
                  const std::map<uint32_t, uint32_t>& map, CtrlCfg& out, std::string& error);

// One difference: a function of a passage (passage 1-16) or of the controller (passage 0),
// in the window's texts, with the value before and after.
struct CfgChange {
  int passage = 0;
  std::string field;  // "Rygiel", "Impuls otwarcia rygla", "Nr pociągu", ...
  std::string from, to;
  bool operator==(const CfgChange&) const = default;
};

// Differences from `from` to `to`, passage by passage and function by function.
std::vector<CfgChange> DiffItems(const ArcCfg& from, const ArcCfg& to);
// The same as lines: "Przejście 2:" followed by lines such as "  Rygiel: A -> B".
std::vector<std::string> ChangeLines(const std::vector<CfgChange>& changes);
std::vector<std::string> DiffCfg(const ArcCfg& from, const ArcCfg& to);

// "K27_00005:Out1", "R05_00101:In2 [NC]", "---".
std::string ArcRefText(const ArcRef& ref, const char* kindText);
