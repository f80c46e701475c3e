#include "netlab.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string Capture(const std::string& cmd, int& rc) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) {
    rc = -1;
    return "popen failed";
  }
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

int OpenNs(const std::string& ns) {
  std::string path = "/var/run/netns/" + ns;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

void Sh(const std::string& cmd) {
  int rc = 0;
  std::string out = Capture(cmd, rc);
  if (rc != 0)
    throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + cmd + "\n" + out);
}

bool NetnsUsable(std::string& why) {
  std::string probe = "fdlprobe" + std::to_string(getpid());
  int rc = 0;
  std::string out;
  // Parallel tests may race to set up /run/netns the very first time; try again briefly.
  for (int attempt = 0; attempt < 3; ++attempt) {
    out = Capture("ip netns add " + probe, rc);
    if (rc == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (rc != 0) {
    why = "cannot create network namespaces (ip netns add: " + out.substr(0, out.find('\n')) + ")";
    return false;
  }
  Capture("ip netns del " + probe, rc);
  return true;
}

NetnsScope::NetnsScope(const std::string& ns) {
  saved_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (saved_ < 0) throw std::runtime_error("cannot open /proc/self/ns/net");
  int fd = OpenNs(ns);
  int r = setns(fd, CLONE_NEWNET);
  int err = errno;
  close(fd);
  if (r < 0) {
    close(saved_);
    throw std::runtime_error("setns " + ns + ": " + std::strerror(err));
  }
}

NetnsScope::~NetnsScope() {
  if (setns(saved_, CLONE_NEWNET) < 0) {
    // Staying in a test namespace would send later traffic to the wrong place; stop here.
    std::fprintf(stderr, "cannot return to the original network namespace\n");
    std::abort();
  }
  close(saved_);
}

Proc::Proc(const std::string& ns, const std::vector<std::string>& argv, const std::string& outFile,
           bool withStdin, const std::vector<std::string>& env) {
  int nsFd = OpenNs(ns);
  int pipeFd[2] = {-1, -1};
  if (withStdin && pipe2(pipeFd, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The child must never outlive the test, even when the test process is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    if (setns(nsFd, CLONE_NEWNET) < 0) _exit(125);
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    if (withStdin) {
      dup2(pipeFd[0], 0);
    } else {
      int nul = open("/dev/null", O_RDONLY);
      if (nul >= 0) dup2(nul, 0);
    }
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(nsFd);
  pid_ = pid;
  if (withStdin) {
    close(pipeFd[0]);
    in_ = pipeFd[1];
  }
}

Proc::~Proc() {
  if (in_ >= 0) close(in_);
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
}

Proc::Proc(Proc&& o) noexcept : pid_(o.pid_), in_(o.in_), reaped_(o.reaped_) {
  o.pid_ = -1;
  o.in_ = -1;
}

Proc& Proc::operator=(Proc&& o) noexcept {
  if (this != &o) {
    this->~Proc();
    pid_ = o.pid_;
    in_ = o.in_;
    reaped_ = o.reaped_;
    o.pid_ = -1;
    o.in_ = -1;
  }
  return *this;
}

void Proc::Write(const std::string& text) {
  if (in_ < 0) throw std::runtime_error("process has no console pipe");
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(in_, text.data() + off, text.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("write to console failed");
    }
    off += size_t(n);
  }
}

void Proc::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Proc::Wait(std::chrono::milliseconds timeout, int& status) {
  if (pid_ <= 0) return false;
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool Proc::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    return false;
  }
  return true;
}

NetLab::NetLab(const std::string& tag) {
  prefix_ = "fdl" + tag + std::to_string(getpid());
  bridgeNs_ = prefix_ + "-br";
  char tmpl[] = "/tmp/fdl-e2e-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  Sh("ip netns add " + bridgeNs_);
  Sh("ip -n " + bridgeNs_ + " link set lo up");
}

NetLab::~NetLab() {
  // Processes still inside the namespaces go first, then the namespaces (which takes their
  // interfaces with them).
  std::vector<std::string> all = hosts_;
  all.push_back(bridgeNs_);
  for (const std::string& ns : all) {
    int rc;
    std::string pids = Capture("ip netns pids " + ns, rc);
    std::istringstream is(pids);
    for (long p; is >> p;)
      if (p > 1 && p != getpid()) kill(pid_t(p), SIGKILL);
  }
  for (const std::string& ns : all) {
    int rc;
    Capture("ip netns del " + ns, rc);
  }
  const bool keep = ::testing::Test::HasFailure() || std::getenv("FDL_KEEP_LOGS");
  if (keep) {
    std::fprintf(stderr, "e2e: logs kept in %s\n", dir_.c_str());
  } else {
    int rc;
    Capture("rm -rf " + dir_, rc);
  }
}

int NetLab::AddLan() {
  int n = lans_++;
  std::string br = "br" + std::to_string(n);
  Sh("ip -n " + bridgeNs_ + " link add " + br + " type bridge");
  // Forward at once instead of waiting through the listening and learning states.
  Sh("ip -n " + bridgeNs_ + " link set " + br + " type bridge forward_delay 0 stp_state 0");
  Sh("ip -n " + bridgeNs_ + " link set " + br + " up");
  return n;
}

std::string NetLab::AddHost(const std::string& name) {
  std::string ns = prefix_ + "-" + name;
  Sh("ip netns add " + ns);
  hosts_.push_back(ns);
  Sh("ip -n " + ns + " link set lo up");
  return ns;
}

void NetLab::Connect(const std::string& host, int lan, const std::string& ifname,
                     const std::string& cidr, const std::string& gateway) {
  // Appended, not "p" + ...: GCC 12 at -O3 reports a false -Wrestrict on that operator+.
  std::string peer = "p";
  peer += std::to_string(links_++);
  Sh("ip link add " + ifname + " netns " + host + " type veth peer name " + peer + " netns " +
     bridgeNs_);
  Sh("ip -n " + bridgeNs_ + " link set " + peer + " master br" + std::to_string(lan));
  Sh("ip -n " + bridgeNs_ + " link set " + peer + " up");
  Sh("ip -n " + host + " addr add " + cidr + " dev " + ifname);
  Sh("ip -n " + host + " link set " + ifname + " up");
  if (!gateway.empty()) Sh("ip -n " + host + " route add default via " + gateway);
}

void NetLab::Exec(const std::string& host, const std::string& cmd) {
  Sh("ip netns exec " + host + " " + cmd);
}

std::vector<LogLine> ReadSimLog(const std::string& path) {
  std::vector<LogLine> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream is(line);
    LogLine l;
    l.raw = line;
    if (!(is >> l.t >> l.dir)) continue;
    for (std::string tok; is >> tok;) {
      size_t eq = tok.find('=');
      if (eq == std::string::npos) continue;
      std::string k = tok.substr(0, eq), v = tok.substr(eq + 1);
      if (k == "from")
        l.from = v;
      else if (k == "to")
        l.to = v;
      else if (k == "tag")
        l.tag = v;
      else if (k == "id")
        l.id = v;
      else if (k == "cmd")
        l.cmd = v;
      else if (k == "seq")
        l.seq = unsigned(std::stoul(v));
      else if (k == "len")
        l.len = size_t(std::stoul(v));
      else if (k == "crc" || k == "sig")
        l.check = tok;
    }
    out.push_back(l);
  }
  return out;
}

bool WaitForLog(const std::string& path,
                const std::function<bool(const std::vector<LogLine>&)>& pred,
                std::chrono::milliseconds timeout, std::vector<LogLine>* lines) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<LogLine> l = ReadSimLog(path);
    bool ok = pred(l);
    if (ok || std::chrono::steady_clock::now() >= end) {
      if (lines) *lines = std::move(l);
      return ok;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
