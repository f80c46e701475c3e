// UDP/IPv4 endpoint of the tool on top of Winsock.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mswsock.h>
// clang-format on

#include "win_endpoint.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "config/wide_win.h"

namespace {

std::string WsaText(int err) {
  return SystemMessage(DWORD(err));
}

sockaddr_in MakeAddr(uint32_t addrHostOrder, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addrHostOrder);
  return sa;
}

SOCKET S(uintptr_t s) {
  return static_cast<SOCKET>(s);
}

// WSASendMsg is reached through the socket, as Winsock hands it out.
LPFN_WSASENDMSG SendMsgFn(SOCKET s) {
  LPFN_WSASENDMSG fn = nullptr;
  GUID guid = WSAID_WSASENDMSG;
  DWORD got = 0;
  if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &fn, sizeof fn, &got,
               nullptr, nullptr) != 0)
    return nullptr;
  return fn;
}

// Sends one datagram out of interface ifindex from local address src (IP_PKTINFO).
bool SendWithPktInfo(SOCKET s, const uint8_t* data, size_t len, sockaddr_in dest,
                     unsigned long ifindex, uint32_t src) {
  const LPFN_WSASENDMSG sendMsg = SendMsgFn(s);
  if (!sendMsg) return false;
  WSABUF wb{ULONG(len), reinterpret_cast<char*>(const_cast<uint8_t*>(data))};
  alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
  WSAMSG msg{};
  msg.name = reinterpret_cast<sockaddr*>(&dest);
  msg.namelen = sizeof dest;
  msg.lpBuffers = &wb;
  msg.dwBufferCount = 1;
  msg.Control.buf = control;
  msg.Control.len = sizeof control;
  WSACMSGHDR* cm = WSA_CMSG_FIRSTHDR(&msg);
  cm->cmsg_level = IPPROTO_IP;
  cm->cmsg_type = IP_PKTINFO;
  cm->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
  IN_PKTINFO pi{};
  pi.ipi_addr.s_addr = htonl(src);
  pi.ipi_ifindex = ifindex;
  std::memcpy(WSA_CMSG_DATA(cm), &pi, sizeof pi);
  DWORD sent = 0;
  return sendMsg(s, &msg, 0, &sent, nullptr, nullptr) == 0;
}

}  // namespace

std::vector<WinBroadcastIf> WinInterfaces(std::vector<LocalNet>* nets) {
  std::vector<WinBroadcastIf> out;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buf;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < 4 && rc == ERROR_BUFFER_OVERFLOW; ++i) {
    buf.resize(size);
    rc = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
  }
  if (rc != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
    const bool carries = a->OperStatus == IfOperStatusUp &&
                         a->IfType != IF_TYPE_SOFTWARE_LOOPBACK && a->IfIndex != 0;
    bool first = true;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      const sockaddr* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET) continue;
      const uint32_t addr = ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
      const unsigned bits = u->OnLinkPrefixLength > 32 ? 32 : u->OnLinkPrefixLength;
      const uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
      if (nets) nets->push_back(LocalNet{addr, mask});
      if (carries && first) out.push_back(WinBroadcastIf{a->IfIndex, addr});
      first = false;
    }
  }
  return out;
}

WinEndpoint::WinEndpoint(uint16_t port, uint16_t destPort) : destPort_(destPort) {
  WSADATA wsa;
  if (const int rc = WSAStartup(MAKEWORD(2, 2), &wsa); rc != 0) {
    error_ = WsaText(rc);
    return;
  }
  started_ = true;
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    error_ = WsaText(WSAGetLastError());
    return;
  }
  auto failed = [&] {
    error_ = WsaText(WSAGetLastError());
    closesocket(s);
  };
  BOOL one = TRUE;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one), sizeof one) !=
      0) {
    failed();
    return;
  }
  // A second program on the same port must fail to bind, or the two would silently share
  // (and steal) each other's answers; Windows otherwise lets a later bind take the port over.
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one) != 0) {
    failed();
    return;
  }
  // An ICMP "port unreachable" for an earlier datagram is no reason to fail the next receive.
  BOOL no = FALSE;
  DWORD got = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &no, sizeof no, nullptr, 0, &got, nullptr, nullptr);
  sockaddr_in sa = MakeAddr(INADDR_ANY, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    const int err = WSAGetLastError();
    inUse_ = err == WSAEADDRINUSE || err == WSAEACCES;
    error_ = WsaText(err);
    closesocket(s);
    return;
  }
  sock_ = uintptr_t(s);
}

WinEndpoint::~WinEndpoint() {
  if (sock_ != kNoSocket) closesocket(S(sock_));
  if (started_) WSACleanup();
}

void WinEndpoint::Check() const {
  if (sock_ == kNoSocket) throw std::runtime_error(error_);
}

void WinEndpoint::Send(const char* host, uint16_t port, const uint8_t* data, size_t len) {
  Check();
  in_addr addr{};
  if (host == nullptr || inet_pton(AF_INET, host, &addr) != 1)
    throw std::runtime_error(std::string("Invalid IPv4 address: ") + (host ? host : "(none)"));
  sockaddr_in sa = MakeAddr(ntohl(addr.s_addr), port);
  if (sendto(S(sock_), reinterpret_cast<const char*>(data), int(len), 0,
             reinterpret_cast<sockaddr*>(&sa), sizeof sa) == SOCKET_ERROR)
    throw std::runtime_error(WsaText(WSAGetLastError()));
}

void WinEndpoint::Broadcast(uint16_t port, const uint8_t* data, size_t len) {
  Check();
  // 255.255.255.255 alone would leave only through one interface; the devices may sit
  // behind any (a laptop on Wi-Fi with a service cable), so the datagram goes out through
  // each.
  const sockaddr_in dest = MakeAddr(INADDR_BROADCAST, port);
  auto plain = [&] {
    return sendto(S(sock_), reinterpret_cast<const char*>(data), int(len), 0,
                  reinterpret_cast<const sockaddr*>(&dest), sizeof dest) != SOCKET_ERROR;
  };
  const std::vector<WinBroadcastIf> ifs = WinInterfaces();
  if (ifs.empty()) {
    if (!plain()) throw std::runtime_error(WsaText(WSAGetLastError()));
    return;
  }
  int lastErr = 0, sent = 0;
  for (const WinBroadcastIf& bif : ifs) {
    // The answers come back to this interface's address.
    if (SendWithPktInfo(S(sock_), data, len, dest, bif.index, bif.addr))
      ++sent;
    else
      lastErr = WSAGetLastError();
  }
  // One dead interface must not spoil discovery on the others; a stack that takes no
  // interface with the datagram still gets it out the system's way.
  if (sent == 0 && !plain())
    throw std::runtime_error(WsaText(lastErr ? lastErr : WSAGetLastError()));
}

size_t WinEndpoint::Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) {
  Check();
  if (sender) sender[0] = 0;
  if (timeoutMs < 0) timeoutMs = 0;
  using clk = std::chrono::steady_clock;
  const auto deadline = clk::now() + std::chrono::milliseconds(timeoutMs);
  const SOCKET s = S(sock_);
  for (;;) {
    long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clk::now()).count();
    if (left < 0) left = 0;
    WSAPOLLFD p{s, POLLRDNORM, 0};
    const int r = WSAPoll(&p, 1, int(left));
    if (r == SOCKET_ERROR) throw std::runtime_error(WsaText(WSAGetLastError()));
    if (r == 0) {
      if (clk::now() >= deadline) return 0;
      continue;
    }
    sockaddr_in from{};
    int fromLen = sizeof from;
    int n = recvfrom(s, reinterpret_cast<char*>(buf), int(cap), 0,
                     reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n == SOCKET_ERROR) {
      const int err = WSAGetLastError();
      // Longer than cap: the caller sees the first cap bytes (the devices never send more
      // than 8192).
      if (err == WSAEMSGSIZE) {
        n = int(cap);
      } else if (err == WSAEWOULDBLOCK || err == WSAEINTR || err == WSAECONNRESET ||
                 err == WSAENETRESET || err == WSAEHOSTUNREACH || err == WSAENETUNREACH) {
        // No datagram after all, or an ICMP error queued for an earlier one: keep waiting.
        if (clk::now() >= deadline) return 0;
        continue;
      } else {
        throw std::runtime_error(WsaText(err));
      }
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

std::vector<LocalNet> WinEndpoint::LocalNets() {
  std::vector<LocalNet> out;
  WinInterfaces(&out);
  return out;
}

// Windows Defender Firewall blocks unsolicited inbound UDP for a program it has no rule for,
// and the answers to a broadcast come from the devices' own addresses.
const char* NoAnswerHint() {
  return "Brak odpowiedzi: zapora systemu Windows może blokować port UDP 45389";
}
