// What else an installer should know before confirming a write of archived passages onto a
// controller, beside the list of changes: what happens to the train number, and which new
// bus devices the write confirms. feldaro-cli restore and site apply print these lines, the
// plan window's "Wgraj do kontrolera" shows them in its question.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "archive.h"
#include "ctrlcfg.h"

struct RestoreNotes {
  std::vector<uint32_t> confirmsNew;  // new devices on the controller's list, in list order
  std::vector<std::string> lines;     // the notes, in the order they are shown
};

// The address on record against the address the controller answers from now:
// "adres: 10.0.0.5 -> 10.0.0.66" when the controller is the archived one (`answeringId` is
// arc.ctrlId) and the addresses differ; empty when they agree, nothing was recorded, or the
// target is another controller (a replacement has an address of its own). restore, site
// apply and site check (CompareCtrl) show it among the changes, and a write with --yes needs
// --address-changed for it; the plan window's "Wgraj do kontrolera" shows it in its question.
// `answering` is the dotted address of the record the write goes to.
std::string AddressChangeLine(const Archive& arc, uint32_t answeringId,
                              const std::string& answering);

// arc: the archived record being written; read: the controller as read (devs[0] is the
// controller itself); write: whether the write changes the controller's passages (only then
// does it confirm the new devices).
RestoreNotes NotesForRestore(const Archive& arc, const CtrlCfg& read, bool write);
