// Network namespaces for the real-UDP tests: a bridge in a namespace of its own and hosts
// (the tool, the simulated devices) attached to it by veth pairs. Everything a test builds
// is removed again when its objects go out of scope, also after a failed assertion.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Whether this process may create network namespaces; why not in `why`.
bool NetnsUsable(std::string& why);

// Runs a shell command; throws std::runtime_error with its output when it fails.
void Sh(const std::string& cmd);

// While alive, the calling thread works in the named namespace: sockets created now
// belong to it (and keep belonging to it afterwards).
class NetnsScope {
 public:
  explicit NetnsScope(const std::string& ns);
  ~NetnsScope();
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

 private:
  int saved_ = -1;
};

// A child process started inside a namespace; killed (SIGKILL) when destroyed if it still runs.
class Proc {
 public:
  Proc() = default;
  // argv[0] is the program path; stdout and stderr go to outFile. withStdin: a pipe the test
  // can write console lines to.
  Proc(const std::string& ns, const std::vector<std::string>& argv, const std::string& outFile,
       bool withStdin = false, const std::vector<std::string>& env = {});
  ~Proc();
  Proc(Proc&& o) noexcept;
  Proc& operator=(Proc&& o) noexcept;

  pid_t pid() const { return pid_; }
  void Write(const std::string& text);
  void Signal(int sig);
  // Waits up to timeout for the exit; returns true and the wait status when it ended.
  bool Wait(std::chrono::milliseconds timeout, int& status);
  bool Running();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  bool reaped_ = false;
};

class NetLab {
 public:
  // tag: a few letters naming the test; the pid makes every name unique.
  explicit NetLab(const std::string& tag);
  ~NetLab();
  NetLab(const NetLab&) = delete;
  NetLab& operator=(const NetLab&) = delete;

  // A new LAN: a bridge in the lab's bridge namespace. Returns its index.
  int AddLan();
  // A namespace with loopback up; returns its full name.
  std::string AddHost(const std::string& name);
  // Connects host to lan with an interface ifname carrying cidr (e.g. "10.77.0.1/24");
  // gateway, when not empty, becomes the host's default route.
  void Connect(const std::string& host, int lan, const std::string& ifname, const std::string& cidr,
               const std::string& gateway = "");
  void Exec(const std::string& host, const std::string& cmd);  // ip netns exec host cmd

  const std::string& dir() const { return dir_; }  // scratch directory of the test
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string prefix_;
  std::string bridgeNs_;
  std::string dir_;
  std::vector<std::string> hosts_;
  int lans_ = 0;
  int links_ = 0;
};

// One line of feldaro-sim's datagram log.
struct LogLine {
  double t = 0;
  std::string dir;                            // RX, TX, EV, CMD, END
  std::string from, to, tag, id, cmd, check;  // check: "crc=ok", "sig=bad", ...
  unsigned seq = 0;
  size_t len = 0;
  std::string raw;
};

std::vector<LogLine> ReadSimLog(const std::string& path);
// Polls the log until pred holds for its lines or the timeout passes; returns the last read.
bool WaitForLog(const std::string& path,
                const std::function<bool(const std::vector<LogLine>&)>& pred,
                std::chrono::milliseconds timeout, std::vector<LogLine>* lines = nullptr);
// Writes text to path; throws when it cannot.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
