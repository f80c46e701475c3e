#include "simserver.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "config/devname.h"
#include "link/crypto.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"

namespace {

constexpr int kMaxPollMs = 100;  // bounds how late a stop request is seen

bool Sign8(const uint8_t key[16], const uint8_t* data, size_t n, uint8_t out[8]) {
  AES128 aes;
  aes.SetKey(key);
  Cmac mac(&aes);
  mac.Init();
  mac.Update(data, n);
  uint8_t tag[16];
  mac.Final(tag);
  std::memcpy(out, tag, 8);
  return true;
}

std::string SockText(const sockaddr_in& sa) {
  return DottedIp(ntohl(sa.sin_addr.s_addr)) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace

std::string DescribeDatagram(const uint8_t* data, size_t len, const uint8_t* key) {
  char buf[160];
  if (len < 8) {
    std::snprintf(buf, sizeof buf, "tag=? len=%zu short", len);
    return buf;
  }
  char tag[5];
  for (int i = 0; i < 4; ++i) tag[i] = (data[i] >= 0x20 && data[i] < 0x7F) ? char(data[i]) : '.';
  tag[4] = 0;
  uint32_t id = GetU32(data + 4);
  std::string idText = id == kBroadcastId ? "*" : DevName(id);
  if (std::memcmp(data, "MMD", 3) != 0) {
    std::snprintf(buf, sizeof buf, "tag=%s id=%s len=%zu foreign", tag, idText.c_str(), len);
    return buf;
  }
  if (data[3] == 'C') {
    if (len < 19) {
      std::snprintf(buf, sizeof buf, "tag=MMDC id=%s len=%zu short", idText.c_str(), len);
      return buf;
    }
    const char* sig = "?";
    if (key) {
      uint8_t want[8];
      Sign8(key, data, len - 8, want);
      sig = std::memcmp(want, data + len - 8, 8) == 0 ? "ok" : "bad";
    }
    char letter = char(data[10] & 0x7F);
    std::snprintf(buf, sizeof buf, "tag=MMDC id=%s cmd=%c seq=%u len=%zu sig=%s", idText.c_str(),
                  (letter >= 0x20 && letter < 0x7F) ? letter : '?', unsigned(GetU16(data + 8)), len,
                  sig);
    return buf;
  }
  const char* crc = "short";
  if (len >= 12) crc = Crc32(data, len - 4) == GetU32(data + len - 4) ? "ok" : "bad";
  if (data[3] == 'T' && len >= 12) {
    std::snprintf(buf, sizeof buf, "tag=MMDT id=%s cmd=T utc=%u len=%zu crc=%s", idText.c_str(),
                  unsigned(GetU32(data + 8)), len, crc);
    return buf;
  }
  std::snprintf(buf, sizeof buf, "tag=%s id=%s cmd=%c len=%zu crc=%s", tag, idText.c_str(), tag[3],
                len, crc);
  return buf;
}

bool KeyFromKAnswer(const uint8_t* data, size_t len, uint8_t key[16]) {
  if (len != 28 || std::memcmp(data, "MMDK", 4) != 0) return false;
  if (Crc32(data, 24) != GetU32(data + 24)) return false;
  std::memcpy(key, data + 8, 16);
  AES128 aes;
  aes.SetKey(key);
  aes.Encrypt(key);
  return true;
}

SimServer::SimServer(Scenario& sc, const ServerOptions& opt)
    : sc_(sc), opt_(opt), keys_(sc.nodes.size()) {
  startMs_ = Now();
}

SimServer::~SimServer() {
  if (fd_ >= 0) close(fd_);
  if (log_) std::fclose(log_);
}

int64_t SimServer::Now() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SimServer::Open(std::string& err) {
  if (!opt_.logPath.empty()) {
    log_ = std::fopen(opt_.logPath.c_str(), "w");
    if (!log_) {
      err = "cannot write log " + opt_.logPath + ": " + std::strerror(errno);
      return false;
    }
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    err = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  // IP_PKTINFO tells which address a datagram was sent to (a device's or a broadcast).
  if (setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) < 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
    err = std::string("setsockopt: ") + std::strerror(errno);
    return false;
  }
  int rcv = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);  // best effort
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(opt_.port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    err = "bind port " + std::to_string(opt_.port) + ": " + std::strerror(errno);
    return false;
  }
  // A device can only answer from an address the host owns; say so early.
  for (const SimNode& n : sc_.nodes) {
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in pa{};
    pa.sin_family = AF_INET;
    pa.sin_addr.s_addr = htonl(n.dev->ip);
    if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&pa), sizeof pa) < 0)
      std::cerr << "feldaro-sim: warning: " << DottedIp(n.dev->ip) << " (" << n.name
                << ") is not a local address; add it with ip addr add or --add-addrs\n";
    if (probe >= 0) close(probe);
  }
  if (log_) {
    std::fprintf(log_, "# feldaro-sim: %zu devices, port %u\n", sc_.nodes.size(),
                 unsigned(opt_.port));
    std::fflush(log_);
  }
  return true;
}

void SimServer::Log(const char* dir, const std::string& from, const std::string& to,
                    const uint8_t* data, size_t len, const uint8_t* key, const char* note) {
  if (!log_) return;
  double t = double(Now() - startMs_) / 1000.0;
  std::string desc = DescribeDatagram(data, len, key);
  std::fprintf(log_, "%9.3f %s from=%s to=%s %s%s%s\n", t, dir, from.c_str(), to.c_str(),
               desc.c_str(), note ? " " : "", note ? note : "");
  std::fflush(log_);  // tests and the user read the log while the simulator runs
}

void SimServer::ReceiveAll() {
  for (;;) {
    uint8_t buf[kRecvBufSize];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        std::cerr << "feldaro-sim: recvmsg: " << std::strerror(errno) << "\n";
      return;
    }
    in_addr dst{};
    dst.s_addr = htonl(INADDR_BROADCAST);
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
        in_pktinfo pi;
        std::memcpy(&pi, CMSG_DATA(cm), sizeof pi);
        dst = pi.ipi_addr;  // the destination in the IP header
      }
    }
    size_t len = size_t(n) < sizeof buf ? size_t(n) : sizeof buf;
    Handle(buf, len, from, dst);
  }
}

void SimServer::Handle(const uint8_t* data, size_t len, const sockaddr_in& from, in_addr dst) {
  const uint32_t to = ntohl(dst.s_addr);
  const int64_t now = Now();
  // A limited or a directed (x.x.x.255) broadcast reaches every device; a unicast only
  // the device owning the address.
  std::vector<size_t> targets;
  bool broadcast = false;
  for (size_t i = 0; i < sc_.nodes.size(); ++i)
    if (sc_.nodes[i].dev->ip == to) targets.push_back(i);
  if (targets.empty() && (to == INADDR_BROADCAST || (to & 0xFF) == 0xFF)) {
    broadcast = true;
    for (size_t i = 0; i < sc_.nodes.size(); ++i) targets.push_back(i);
  }
  const uint8_t* key = nullptr;
  if (!broadcast && targets.size() == 1 && keys_[targets[0]].known) key = keys_[targets[0]].key;
  Log("RX", SockText(from), DottedIp(to), data, len, key,
      targets.empty() ? "(no device)" : nullptr);
  for (size_t i : targets) {
    SimDevice& dev = *sc_.nodes[i].dev;
    std::vector<SimAnswer> answers;
    dev.OnDatagram(data, len, broadcast, now, answers);
    // The device keeps every datagram for the in-process tests; a long run needs no history.
    if (dev.received.size() > 256)
      dev.received.erase(dev.received.begin(), dev.received.end() - 64);
    if (dev.written.size() > 16) dev.written.erase(dev.written.begin(), dev.written.end() - 4);
    // Processing: after the request before it is done, the device's own time.
    SimNode& node = sc_.nodes[i];
    int64_t ready = now;
    if (node.processingMs > 0) {
      ready = std::max(now, node.busyUntilMs) + node.processingMs;
      node.busyUntilMs = ready;
    }
    for (SimAnswer& a : answers) {
      Pending p{i, from, std::move(a.bytes)};
      int delay = (a.delayMs > 0 ? a.delayMs : 0) + (broadcast ? node.discoveryDelayMs : 0);
      pending_.emplace(ready + delay, std::move(p));
    }
  }
  SendDue();
}

void SimServer::SendNow(const Pending& p) {
  const SimDevice& dev = *sc_.nodes[p.node].dev;
  KeyState& ks = keys_[p.node];
  if (KeyFromKAnswer(p.bytes.data(), p.bytes.size(), ks.key)) ks.known = true;
  std::string fromText = DottedIp(dev.ip) + ":" + std::to_string(opt_.port);
  in_addr src{};
  src.s_addr = htonl(dev.ip);  // answer from the device's own address
  if (!SendWithPktInfo(fd_, p.bytes.data(), p.bytes.size(), p.to, 0, src)) {
    std::string note = std::string("(send failed: ") + std::strerror(errno) + ")";
    Log("TX", fromText, SockText(p.to), p.bytes.data(), p.bytes.size(), ks.known ? ks.key : nullptr,
        note.c_str());
    return;
  }
  Log("TX", fromText, SockText(p.to), p.bytes.data(), p.bytes.size(), ks.known ? ks.key : nullptr);
}

void SimServer::SendDue() {
  const int64_t now = Now();
  while (!pending_.empty() && pending_.begin()->first <= now) {
    Pending p = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    SendNow(p);
  }
}

void SimServer::RunTimeline() {
  const int64_t now = Now();
  while (nextEvent_ < sc_.timeline.size() &&
         startMs_ + int64_t(sc_.timeline[nextEvent_].at * 1000.0) <= now) {
    const TimelineEvent& ev = sc_.timeline[nextEvent_++];
    CommandResult r = RunCommand(sc_, ev.command, now);
    if (log_) {
      std::fprintf(log_, "%9.3f EV %s -> %s\n", double(now - startMs_) / 1000.0, ev.command.c_str(),
                   r.text.c_str());
      std::fflush(log_);
    }
    if (opt_.console) std::cout << "[t=" << ev.at << "] " << r.text << std::endl;
  }
}

bool SimServer::ReadConsole() {
  char buf[1024];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return true;
    consoleOpen_ = false;
    return true;
  }
  if (n == 0) {
    // End of input (started in the background): keep serving without a console.
    consoleOpen_ = false;
    return true;
  }
  consoleLine_.append(buf, size_t(n));
  size_t pos;
  while ((pos = consoleLine_.find('\n')) != std::string::npos) {
    std::string line = consoleLine_.substr(0, pos);
    consoleLine_.erase(0, pos + 1);
    CommandResult r = RunCommand(sc_, line, Now());
    if (!r.text.empty()) std::cout << r.text << std::endl;
    if (log_ && !line.empty()) {
      std::fprintf(log_, "%9.3f CMD %s -> %s\n", double(Now() - startMs_) / 1000.0, line.c_str(),
                   r.ok ? "ok" : r.text.c_str());
      std::fflush(log_);
    }
    if (r.quit) return false;
  }
  return true;
}

int SimServer::Run(volatile std::sig_atomic_t* stop) {
  consoleOpen_ = opt_.console;
  while (!(stop && *stop)) {
    RunTimeline();
    SendDue();
    int64_t now = Now();
    int64_t wait = kMaxPollMs;
    if (!pending_.empty()) wait = std::min<int64_t>(wait, pending_.begin()->first - now);
    if (nextEvent_ < sc_.timeline.size())
      wait = std::min<int64_t>(wait, startMs_ + int64_t(sc_.timeline[nextEvent_].at * 1000) - now);
    if (wait < 0) wait = 0;
    pollfd p[2] = {{fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int r = poll(p, consoleOpen_ ? 2 : 1, int(wait));
    if (r < 0) {
      if (errno == EINTR) continue;
      std::cerr << "feldaro-sim: poll: " << std::strerror(errno) << "\n";
      return 1;
    }
    if (p[0].revents & POLLIN) ReceiveAll();
    if (consoleOpen_ && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (!ReadConsole()) break;
    }
  }
  if (log_) {
    std::fprintf(log_, "%9.3f END\n", double(Now() - startMs_) / 1000.0);
    std::fflush(log_);
  }
  return 0;
}
