// The notes shown beside the list of changes before a write of archived passages.
#include "restorenotes.h"

#include "devname.h"

namespace {

// "K27": the model part of a device name.
std::string Model(uint32_t id) {
  return DevName(id).substr(0, 3);
}

std::string Names(const std::vector<uint32_t>& ids) {
  std::string s;
  for (uint32_t id : ids) s += (s.empty() ? "" : ", ") + DevName(id);
  return s;
}

}  // namespace

std::string AddressChangeLine(const Archive& arc, uint32_t answeringId,
                              const std::string& answering) {
  if (answeringId != arc.ctrlId) return {};
  if (arc.ctrlAddress.empty() || answering.empty() || arc.ctrlAddress == answering) return {};
  return "adres: " + arc.ctrlAddress + " -> " + answering;
}

RestoreNotes NotesForRestore(const Archive& arc, const CtrlCfg& read, bool write) {
  RestoreNotes out;
  const uint32_t target = read.devs[0].id;
  const bool arcTrain = arc.cfg.hasTrainNumber, ctrlTrain = HasTrainNumber(target);
  if (arcTrain && !ctrlTrain && arc.cfg.trainNumber != 0)
    out.lines.push_back("Nr pociągu z archiwum (" + std::to_string(arc.cfg.trainNumber) +
                        ") pominięty: model " + Model(target) + " nie ma numeru pociągu.");
  if (!arcTrain && ctrlTrain)
    out.lines.push_back("Nr pociągu kontrolera (" + std::to_string(read.trainNumber) +
                        ") bez zmian: archiwum jest z modelu " + Model(arc.ctrlId) +
                        " bez numeru pociągu.");
  // A write also confirms every new device on the controller's list.
  for (int k = 0; k < read.listedCount; ++k)
    if (read.devs[read.order[k]].state & kStNew)
      out.confirmsNew.push_back(read.devs[read.order[k]].id);
  if (write && !out.confirmsNew.empty())
    out.lines.push_back("Zapis potwierdzi też nowe urządzenia na liście kontrolera: " +
                        Names(out.confirmsNew) + ".");
  return out;
}
