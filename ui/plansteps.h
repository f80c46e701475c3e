// The plan window's decisions, without widgets: reading a controller into a record, the
// list of changes an upload would make, whether the controller moved since the user saw it,
// the read-back check, the state of each row. The network steps here run on the link's
// thread; everything else on the window's.
#pragma once
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "config/plan.h"
#include "link/udpdev.h"

inline constexpr const char* kToolName = "Feldaro " FELDARO_VERSION;

// One controller as read: its model and the 'D' and 'C' answers as they came.
struct CtrlSnap {
  std::unique_ptr<CtrlCfg> cfg = std::make_unique<CtrlCfg>();
  std::vector<uint8_t> rawDevList, rawDoors;
  uint32_t id = 0;
  std::string addr;          // the address it answered from
  std::string twoAddresses;  // its TwoAddressText at the read: empty unless two hosts answer
};

// The refusal of a write to a controller reported with two addresses ("Nie zapisano: ..."),
// or empty when one address answers.
std::string TwoAddressRefusal(const CtrlSnap& snap);

// Network step: status, session, 'D', 'C' (as the window's selection reads a controller).
// Raises UErr 1 when the controller does not answer, 9 in modes Blokada and Konfiguracja,
// std::runtime_error for answers that do not decode.
void ReadCtrl(UdpDev& dev, CtrlSnap& out);

// ReadCtrl as a step for the link's thread: a failure is kept in `err`, for the window's
// thread to show once the step is done.
std::function<void()> ReadCtrlStep(UdpDev* dev, CtrlSnap& out, std::exception_ptr& err);

// A caught error on one line: ErrorText of a UErr, any other error's message.
std::string ErrText(std::exception_ptr err);

// The record of a read, as backup writes it.
Archive ReadArchive(const CtrlSnap& r, const UdpDev& dev, const std::string& location);

// The configuration an upload of `planned` (the plan's record of the controller) onto the
// controller as read would write, built through the editor's rules, and the list of
// changes as restore shows it (controller -> plan) with its notes. False with the reason when the
// plan names a device the controller lacks or breaks a rule.
struct UploadPrep {
  std::unique_ptr<CtrlCfg> built = std::make_unique<CtrlCfg>();
  std::vector<std::string> lines;
  std::vector<std::string> notes;  // the notes restore prints with them (NotesForRestore)
  std::string address;  // "adres: 10.0.0.5 -> 10.0.0.66" when it answers from another address
  std::string why;
};
bool PrepareUpload(const Archive& planned, const CtrlSnap& seen, UploadPrep& out);

// Whether a fresh read still shows what the list of changes was computed from: the same
// controller, the same passages and the same bus device table. False with what moved.
bool Unmoved(const CtrlSnap& seen, const CtrlSnap& fresh, std::string& why);

// Network step after the write: the passages read back ('C'); compared with VerifyReadBack.
std::vector<uint8_t> ReadBackDoors(UdpDev& dev);
// Whether the controller holds exactly what was written; false with the differences.
bool VerifyReadBack(const CtrlCfg& written, const std::vector<uint8_t>& back, std::string& why);

// Whether two models would write the same passages and train number.
bool SamePassages(const CtrlCfg& a, const CtrlCfg& b);

// The text of a row of the list "Kontrolery planu": state, controller name, label.
std::string PlanRowText(DriftState state, uint32_t id, const std::string& label, bool edited);

// "Porównaj z archiwum…": the differences from what the controller holds now to the
// archive, as feldaro-cli diff shows them; the archived controller stands for the one read.
std::vector<std::string> CompareWithArchive(const Archive& arc, const CtrlCfg& ctrl,
                                            uint32_t ctrlId);

// --- Saving the plan ------------------------------------------------------------------

// A file as the window last read or wrote it: size, modification time and a hash of the
// contents, so that a change made meanwhile by someone else is noticed.
struct FileStamp {
  bool exists = false;
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  uint64_t hash = 0;  // FNV-1a over the contents
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);
// Whether the two paths name the same existing file (links and relative paths resolved).
bool SameFile(const std::string& a, const std::string& b);
// Whether the file at path is a controller's archive (it reads as a plan from an archive).
bool IsArchiveFile(const std::string& path);

// What "Zapisz plan" does with `target`. `fromDialog`: the user chose it in the save dialog;
// otherwise it is the plan's own file `own`, whose stamp at the open or last save is
// `ownStamp`. `archive`: the archive the plan was read from (empty: none). An archive is
// never written over; another file is replaced only after a question; the plan's own file
// changed on disk meanwhile is not replaced without asking either.
enum class SaveStep { Write, AskReplace, AskChanged, RefuseArchive };
SaveStep DecideSave(const std::string& target, bool fromDialog, const std::string& own,
                    const FileStamp& ownStamp, const std::string& archive);

// "2026-12-10_K27_00009.pdf": a file name as feldaro-cli gives its files.
std::string DatedFileName(const std::string& isoDate, const std::string& name,
                          const std::string& ext);

// The state a row shows: a result of the check no longer holds for an entry edited since.
DriftState ShownState(DriftState checked, bool editedSinceCheck);
