// As-built documentation: what the handover document says about each controller, built from
// the same model as the report, in the same Polish texts. Plain data; the PDF layout (doc/)
// only places these texts on pages.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/ctrlcfg.h"

// Who the controller is, beside its configuration.
struct DocIdentity {
  uint32_t id = 0;
  std::string address;  // dotted IPv4; empty when not known
  int mode = -1;        // 0..3, -1 when not known
  std::string label;    // where it is installed ("Budynek B, parter"), may be empty
};

// One row of the bus device table.
struct DocDevice {
  int slot = 0;
  std::string label;  // DevLabel: "R05_00109/A2"
  std::string kind;   // type name without its alignment blanks: "Czytnik"
  std::string state;  // "(nieaktywny) (nowy)", "" for a device in order
  bool isNew = false, inactive = false;
  int outputs = 0, inputs = 0, readers = 0;
  bool oc = false;
};

// One passage: a cell for every row of DocController::functions, then its settings.
struct DocPassage {
  int number = 0;                  // counted from 1
  std::vector<std::string> cells;  // "K01_00123:Out3 NC", "---"
  std::string type, boltPulse, openTime, airlock;
  std::vector<std::string> flags;  // "Otwieranie klamką", "Pełny impuls rygla"
};

// One passage function served by a terminal.
struct DocUse {
  int passage = 0;  // counted from 1
  std::string function;
  bool nc = false;
};

// One terminal of a bus device: an output, input or reader and what it serves.
struct DocWire {
  int kind = kOutputs;       // kOutputs, kInputs, kReaders
  int index = 0;             // counted from 0
  std::vector<DocUse> uses;  // empty: free; more than one only for a shared alarm or CCTV output
  bool beyondCount = false;  // referenced, yet the device reports fewer terminals
  std::string text;  // "R05_00109 Out1 → Przejście 2, Rygiel, NC", "R05_00109 Out2 – wolne"
};

struct DocWiringDevice {
  int slot = 0;
  std::string heading;         // "R05_00109/A2, Czytnik, slot 3"
  bool listed = true;          // false: a slot the passages name but the device list does not hold
  std::vector<DocWire> wires;  // outputs, inputs, readers, each by index
};

struct DocController {
  DocIdentity ident;
  std::string name;      // "K27_00005"
  std::string model;     // "K27"
  std::string modeText;  // "Serwis", "" when not known
  bool hasTrainNumber = false;
  uint16_t trainNumber = 0;
  bool missing = false;  // could not be read: only the identity and the reason
  std::string reason;
  std::vector<DocDevice> devices;      // display order, the controller first
  std::vector<std::string> functions;  // row labels of the passage table
  std::vector<DocPassage> passages;
  std::vector<DocWiringDevice> wiring;  // display order, then slots the list lacks
};

struct DocSite {
  std::string name, address, installer;
  std::string date;  // "2024-03-05"
  std::string tool;  // "Feldaro 1.2.1"
};

struct AsBuiltDoc {
  DocSite site;
  std::vector<DocController> controllers;
};

struct DocCounts {
  int controllers = 0, missing = 0, passages = 0, devices = 0;
};

// The documentation of one controller's configuration as read (or as planned).
DocController BuildControllerDoc(const CtrlCfg& cfg, const DocIdentity& ident);
// A controller that could not be read, with the reason in the user's words.
DocController MissingControllerDoc(const DocIdentity& ident, const std::string& reason);
// The documentation of an archive's (or a site plan's) controller record: its devices in
// their slots, its passages with each device found again by identifier (PlanEntryModel); a
// record that names a device it does not list is documented as missing, with the reason.
DocController ArchiveControllerDoc(const Archive& arc, const std::string& label);
DocCounts CountDoc(const AsBuiltDoc& doc);
// "R05_00109 Out1", the terminal's name in the wiring list.
std::string TerminalText(const std::string& devName, int kind, int index);
