// UDP/IPv4 endpoint of the tool on top of POSIX sockets.
#include "posix_endpoint.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

std::string ErrnoText(int err) {
  return std::strerror(err);
}

sockaddr_in MakeAddr(in_addr_t addrNetOrder, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNetOrder;
  return sa;
}

struct BroadcastIf {
  int index;
  in_addr addr;
};

// The IPv4 interfaces of the socket's own network namespace that can carry a broadcast:
// up, broadcast-capable, not loopback; one entry per interface even when it has several
// addresses. Asked through the socket so the answer always matches where it sends.
std::vector<BroadcastIf> BroadcastInterfaces(int fd) {
  std::vector<BroadcastIf> out;
  std::vector<char> buf(16 * sizeof(ifreq));
  ifconf ifc{};
  for (;;) {
    ifc.ifc_len = int(buf.size());
    ifc.ifc_buf = buf.data();
    if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) return out;
    // A full buffer may mean more entries did not fit.
    if (size_t(ifc.ifc_len) + sizeof(ifreq) <= buf.size()) break;
    if (buf.size() > (1u << 20)) break;
    buf.resize(buf.size() * 2);
  }
  const size_t n = size_t(ifc.ifc_len) / sizeof(ifreq);
  for (size_t i = 0; i < n; ++i) {
    ifreq req = ifc.ifc_req[i];
    if (req.ifr_addr.sa_family != AF_INET) continue;
    in_addr addr;
    std::memcpy(&addr, &reinterpret_cast<const sockaddr_in*>(&req.ifr_addr)->sin_addr, sizeof addr);
    ifreq q{};
    std::memcpy(q.ifr_name, req.ifr_name, sizeof q.ifr_name);
    if (ioctl(fd, SIOCGIFFLAGS, &q) < 0) continue;
    const int flags = q.ifr_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK)) continue;
    std::memcpy(q.ifr_name, req.ifr_name, sizeof q.ifr_name);
    if (ioctl(fd, SIOCGIFINDEX, &q) < 0) continue;
    const int index = q.ifr_ifindex;
    bool seen = false;
    for (const auto& b : out) seen = seen || b.index == index;
    if (!seen) out.push_back({index, addr});
  }
  return out;
}

}  // namespace

PosixEndpoint::PosixEndpoint(uint16_t port, uint16_t destPort) : destPort_(destPort) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error_ = ErrnoText(errno);
    return;
  }
  int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
    error_ = ErrnoText(errno);
    close(fd);
    return;
  }
  // No SO_REUSEADDR: a second program on the same port must fail to bind, or the two
  // would silently share (and steal) each other's answers.
  sockaddr_in sa = MakeAddr(htonl(INADDR_ANY), port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    inUse_ = errno == EADDRINUSE;
    error_ = ErrnoText(errno);
    close(fd);
    return;
  }
  fd_ = fd;
}

PosixEndpoint::~PosixEndpoint() {
  if (fd_ >= 0) close(fd_);
}

void PosixEndpoint::Check() const {
  if (fd_ < 0) throw std::runtime_error(error_);
}

void PosixEndpoint::Send(const char* host, uint16_t port, const uint8_t* data, size_t len) {
  Check();
  in_addr addr{};
  if (host == nullptr || inet_pton(AF_INET, host, &addr) != 1)
    throw std::runtime_error(std::string("Invalid IPv4 address: ") + (host ? host : "(none)"));
  sockaddr_in sa = MakeAddr(addr.s_addr, port);
  if (sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
    throw std::runtime_error(ErrnoText(errno));
}

void PosixEndpoint::Broadcast(uint16_t port, const uint8_t* data, size_t len) {
  Check();
  // 255.255.255.255 alone would leave only through the interface of the default route;
  // the devices may sit behind any interface, so the datagram goes out through each.
  sockaddr_in dest = MakeAddr(htonl(INADDR_BROADCAST), port);
  const std::vector<BroadcastIf> ifs = BroadcastInterfaces(fd_);
  if (ifs.empty()) {
    if (sendto(fd_, data, len, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest) < 0)
      throw std::runtime_error(ErrnoText(errno));
    return;
  }
  int lastErr = 0;
  int sent = 0;
  for (const BroadcastIf& bif : ifs) {
    // The answers come back to this interface's address.
    if (!SendWithPktInfo(fd_, data, len, dest, bif.index, bif.addr))
      lastErr = errno;
    else
      ++sent;
  }
  // One dead interface must not spoil discovery on the others.
  if (sent == 0) throw std::runtime_error(ErrnoText(lastErr));
}

bool SendWithPktInfo(int fd, const uint8_t* data, size_t len, const sockaddr_in& dest, int ifindex,
                     in_addr src) {
  iovec iov{const_cast<uint8_t*>(data), len};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  sockaddr_in to = dest;
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* cm = CMSG_FIRSTHDR(&msg);
  cm->cmsg_level = IPPROTO_IP;
  cm->cmsg_type = IP_PKTINFO;
  cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo pi{};
  pi.ipi_ifindex = ifindex;
  pi.ipi_spec_dst = src;
  std::memcpy(CMSG_DATA(cm), &pi, sizeof pi);
  return sendmsg(fd, &msg, 0) >= 0;
}

size_t PosixEndpoint::Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) {
  Check();
  if (sender) sender[0] = 0;
  if (timeoutMs < 0) timeoutMs = 0;
  using clk = std::chrono::steady_clock;
  const auto deadline = clk::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int left = int(std::chrono::ceil<std::chrono::milliseconds>(deadline - clk::now()).count());
    if (left < 0) left = 0;
    int r = poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;  // a signal is no reason to cut the wait short
      throw std::runtime_error(ErrnoText(errno));
    }
    if (r == 0) return 0;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC makes the call report the full length; anything beyond cap is lost and the
    // caller sees the first cap bytes (the devices never send more than 8192).
    ssize_t n = recvfrom(fd_, buf, cap, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        if (clk::now() >= deadline) return 0;
        continue;
      }
      // An ICMP error queued for an earlier datagram is no datagram; keep waiting.
      if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) continue;
      throw std::runtime_error(ErrnoText(errno));
    }
    // An empty datagram carries nothing and would read as "no datagram": skip it.
    if (n == 0) {
      if (clk::now() >= deadline) return 0;
      continue;
    }
    if (sender) inet_ntop(AF_INET, &from.sin_addr, sender, kIpTextSize);
    return size_t(n) < cap ? size_t(n) : cap;
  }
}

std::vector<LocalNet> PosixEndpoint::LocalNets() {
  std::vector<LocalNet> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !a->ifa_netmask) continue;
    LocalNet n;
    n.addr = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
    n.mask = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
    out.push_back(n);
  }
  freeifaddrs(list);
  return out;
}

const char* NoAnswerHint() {
  return "";
}
