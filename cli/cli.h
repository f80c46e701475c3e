// feldaro-cli: shared pieces of the command-line client.
#pragma once
#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "link/system_endpoint.h"
#include "link/udpdev.h"
#include "tap.h"

// Exit status of every command.
constexpr int kExitOk = 0;
constexpr int kExitFail = 1;   // also diff: the controller differs from the archive
constexpr int kExitUsage = 2;  // also diff: trouble (no answer, a refused archive)
constexpr int kExitInterrupted = 130;

// A failure with its message for the user; code 1 (failure) or 2 (usage).
struct CliError {
  std::string text;
  int code = kExitFail;
};

// Set by SIGINT and SIGTERM; the commands stop at the next safe point.
// Lock-free, so the signal handler may set it and the reading threads may look at it.
extern std::atomic<int> gInterrupted;
void CheckInterrupted();
// What the running command has done so far, for the one line printed after an interrupt:
// "nic nie zapisano", "zapisano k5.json", ...
void SetProgress(const std::string& text);
const std::string& Progress();

// The parsed command line of one command.
struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::string output, location, name, installer, plan;
  bool hasName = false;
  std::vector<std::string> maps;
  bool json = false, all = false, dryRun = false, yes = false, help = false, force = false,
       otherModel = false;
};

// Texts shared by the commands (text.cpp).
// The system's reason for a failed file operation, in Polish.
std::string SystemReason(int errnum);
// The reason of a failed file operation for a message that names the path itself: the
// system's reason in Polish when errnum is set, else the file module's text without its
// leading "<path>: ".
std::string FileReason(const std::string& path, const std::string& error, int errnum);
// One line for a link error, with what to do next.
std::string LinkErrorLine(const UErr& e);
// "(feldaro-cli list pokaże urządzenia w sieci)" and the like.
extern const char* const kListHint;

// A controller that answered a SearchAll but is not in the device set, and why.
struct LeftOutCtrl {
  uint32_t id;
  std::string address, reason;
  std::string text;  // "K27_00002 (10.77.0.11, poza pełnym zbiorem urządzeń)"
};
// The controllers left out of the device set; prints the notice of a full set.
std::vector<LeftOutCtrl> ControllersLeftOut(const UdpDevSet& set,
                                            const std::vector<SeenDevice>& seen);

// The UDP endpoint on port 45389 and the device set. Destroying it ends every session
// this program opened, before the socket closes.
class LinkCtx {
 public:
  LinkCtx();
  ~LinkCtx();
  LinkCtx(const LinkCtx&) = delete;
  LinkCtx& operator=(const LinkCtx&) = delete;

  UdpDevSet& Set() { return *set_; }
  // The discovery of the window; with late, also a short wait for devices that answer late.
  void Search(bool late);
  // Every search's three broadcasts, each with its wait, then the late answers: for a
  // command that must reach every device (--all). Returns the devices that answered.
  std::vector<SeenDevice> SearchAll();
  // The device named by DEV (a name such as K27_00005, in any letter case, or an IPv4
  // address); searches first.
  UdpDev& Find(const std::string& dev);

 private:
  class Tap;
  SystemEndpoint ep_;
  std::unique_ptr<Tap> tap_;
  SystemClock clock_;
  std::unique_ptr<UdpDevSet> set_;
  bool searched_ = false;
};

// A controller's configuration as read, with the raw answers.
struct ReadCfg {
  std::unique_ptr<CtrlCfg> cfg = std::make_unique<CtrlCfg>();
  std::vector<uint8_t> rawDevList, rawDoors;
};
// Reads a controller as the window's selection does: status, session, 'D', 'C'.
void ReadController(UdpDev& dev, ReadCfg& out);

// The link is opened only when a command first needs it, so a command that fails on its
// input (an archive that is refused) never touches the network.
using LinkSlot = std::optional<LinkCtx>;
LinkCtx& OpenLink(LinkSlot& slot);

// Files: "-" is standard output or standard input.
void WriteOut(const std::string& path, const std::string& bytes);
struct Archive;
std::string ReadArchiveFile(const std::string& path, Archive& arc);
std::string ArchiveText(const UdpDev& dev, const ReadCfg& r, const std::string& location);
std::string ReportText(const UdpDev& dev, const ReadCfg& r, const std::string& location);
// "2026-12-09": the local date, as file names of --all use it.
std::string IsoToday();
// One controller read for the site commands: the read and its archive record, or why not.
struct CtrlRead {
  CtrlRead() = default;
  explicit CtrlRead(UdpDev* d) : dev(d) {}
  UdpDev* dev = nullptr;
  bool ok = false;
  bool unreadable = false;  // its mode does not allow reading the passages
  std::string modeText;     // the mode as the read found it
  std::string error;        // why the read failed, on one line
  std::string errorLine;    // the same for a line of its own (with the device and what to do)
  int errorCode = 0;        // the link's error number, when the link failed
  ReadCfg read;
  Archive arc;
};
// Reads one controller as ReadController does and records the outcome; with endSession the
// session is ended afterwards.
void ReadOneController(CtrlRead& r, const std::string& location, bool endSession);
// Reads every controller of reads (dev set, distinct controllers).
void ReadControllers(std::vector<CtrlRead>& reads, const std::string& location, bool endSession);

// The command implementations; they return the exit status.
int CmdList(LinkSlot& link, const Args& a);
int CmdShow(LinkSlot& link, const Args& a);
int CmdReport(LinkSlot& link, const Args& a);
int CmdBackup(LinkSlot& link, const Args& a);
int CmdDiff(LinkSlot& link, const Args& a);
int CmdRestore(LinkSlot& link, const Args& a);
// report --all and backup --all (all.cpp).
int ForAll(LinkSlot& link, const Args& a, const char* ext,
           std::string (*text)(const UdpDev&, const ReadCfg&, const std::string&));
int CmdSite(LinkSlot& link, const Args& a);
int SiteApply(LinkSlot& link, const Args& a);
int CmdDoc(LinkSlot& link, const Args& a);  // cli/doc.cpp

// Shared by the commands.
// A device name such as K27_00005 (not an address).
bool IsDevName(const std::string& s);
bool IsIpv4(const std::string& s);
