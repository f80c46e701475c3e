// feldaro-cli: shared pieces of the command-line client.
#pragma once
#include <atomic>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"

// A failure with its message for the user; code 1 (failure) or 2 (usage).
struct CliError {
  std::string text;
  int code = 1;
};

// Set by SIGINT and SIGTERM; the commands stop at the next safe point.
// Lock-free, so the signal handler may set it and the reading threads may look at it.
extern std::atomic<int> gInterrupted;
void CheckInterrupted();

// The parsed command line of one command.
struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::string output, location, name, installer, plan;
  bool hasName = false;
  std::vector<std::string> maps;
  bool json = false, all = false, dryRun = false, yes = false, help = false;
};

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
  // The device named by DEV (a name such as K27_00005 or an IPv4 address); searches first.
  UdpDev& Find(const std::string& dev);

 private:
  PosixEndpoint ep_;
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

// One controller read for the site commands: the read and its archive record, or why not.
struct CtrlRead {
  CtrlRead() = default;
  explicit CtrlRead(UdpDev* d) : dev(d) {}
  UdpDev* dev = nullptr;
  bool ok = false;
  bool unreadable = false;  // its mode does not allow reading the passages
  std::string modeText;     // the mode as the read found it
  std::string error;        // why the read failed, on one line
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
int CmdSite(LinkSlot& link, const Args& a);
int SiteApply(LinkSlot& link, const Args& a);
int CmdDoc(LinkSlot& link, const Args& a);  // cli/doc.cpp

// Shared by the commands.
std::string UtcNow();
// A device name such as K27_00005 (not an address).
bool IsDevName(const std::string& s);
bool IsIpv4(const std::string& s);
// Asks on the terminal; false without a terminal, on end of input or anything but yes.
bool ConfirmOnTerminal(const std::string& question);
