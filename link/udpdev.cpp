// Frames without a session, discovery, the device record and the device set.
#include "link/udpdev.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "config/devname.h"

namespace {

// Per thread, so devices worked on at once on threads of their own never share a buffer.
thread_local uint8_t gAnswer[kRecvBufSize];
// Discovery answers go to a buffer of their own so a poll never clobbers an answer that
// a caller of SendAndWait is still reading.
thread_local uint8_t gCollectBuf[kRecvBufSize];

// Collect(0) drains only what is already queued, but never more than this many datagrams
// in one call, so a flood cannot hold the user-interface thread.
constexpr int kMaxDrain = 512;
// A timed collection never lasts longer than this many waits, however busy the segment.
constexpr int kCollectWaits = 10;

const char* const kModeNames[4] = {"Blokada", "Konfiguracja", "Serwis", "Instalacja"};

}  // namespace

uint8_t* LinkAnswerBuffer() {
  return gAnswer;
}

void BuildRequest(char letter, uint32_t id, uint8_t out[12]) {
  out[0] = 'M';
  out[1] = 'M';
  out[2] = 'D';
  out[3] = uint8_t(letter);
  PutU32(out + 4, id);
  PutU32(out + 8, Crc32(out, 8));
}

void BuildTimeFrame(uint32_t id, uint32_t utc, uint8_t out[16]) {
  std::memcpy(out, "MMDT", 4);
  PutU32(out + 4, id);
  PutU32(out + 8, utc);
  PutU32(out + 12, Crc32(out, 12));
}

uint32_t ParseIp(const char* dotted) {
  if (!dotted) return 0;
  uint32_t result = 0;
  const char* p = dotted;
  for (int part = 0; part < 4; ++part) {
    uint32_t v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      v = v * 10 + uint32_t(*p - '0');
      ++p;
      ++digits;
    }
    result = (result << 8) | (v & 0xFF);
    if (*p == '.') ++p;
  }
  return result;
}

UdpDev::UdpDev(uint32_t id_, uint32_t ip_, uint16_t status_)
    : id(id_), ip(ip_), seq(0), status(status_), online(true), changed(false), session(false) {}

UdpDev::UdpDev(UdpDev&& o) noexcept
    : id(o.id),
      ip(o.ip),
      seq(o.seq),
      status(o.status),
      online(o.online),
      changed(o.changed),
      session(o.session) {
  std::memcpy(key, o.key, sizeof key);
  o.session = false;
}

UdpDev& UdpDev::operator=(UdpDev&& o) noexcept {
  if (this == &o) return *this;
  id = o.id;
  ip = o.ip;
  seq = o.seq;
  status = o.status;
  online = o.online;
  changed = o.changed;
  session = o.session;
  std::memcpy(key, o.key, sizeof key);
  o.session = false;
  return *this;
}

UdpDev::~UdpDev() {
  if (!session) return;
  try {
    EndSession();
  } catch (...) {
    // At exit there is nobody left to tell; the controller drops the session in ~30 s.
  }
}

std::string UdpDev::IpText() const {
  char text[kIpTextSize];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(ip >> 24), unsigned((ip >> 16) & 0xFF),
                unsigned((ip >> 8) & 0xFF), unsigned(ip & 0xFF));
  return text;
}

std::string UdpDev::ModeText() const {
  if (!online) return "Niedostępny";
  return kModeNames[status & 3];
}

std::string UdpDev::ListText() const {
  std::string text = " ";
  text.append(DevName(id)).append(",  ").append(IpText()).append(",  ").append(ModeText());
  return text;
}

size_t UdpDev::SendAndWait(const char tag[4], char letter, const uint8_t* req, size_t reqLen) {
  Endpoint& ep = LinkEndpoint();
  Clock& clock = LinkClock();
  const std::string host = IpText();
  ep.Send(host.c_str(), ep.DestPort(), req, reqLen);
  // One deadline for the whole attempt: datagrams we ignore do not buy more time.
  const int64_t deadline = clock.NowMs() + kDefaultWaitMs;
  for (;;) {
    const int64_t left = deadline - clock.NowMs();
    if (left <= 0) return 0;
    // An empty datagram reads as 0 too; only the deadline ends the attempt.
    const size_t n = ep.Receive(gAnswer, kRecvBufSize, int(left), nullptr);
    if (n < 16) continue;
    if (std::memcmp(gAnswer, tag, 4) != 0) continue;
    if (GetU32(gAnswer + 4) != id) continue;
    if (letter != 0 && (n < 19 || gAnswer[10] != (uint8_t(letter) | 0x80))) continue;
    return n;
  }
}

int UdpDev::Request(char letter, int maxLen, uint8_t* out) {
  const int attempts = online ? 3 : 1;
  uint8_t req[12];
  BuildRequest(letter, id, req);
  const char tag[4] = {'M', 'M', 'D', letter};
  for (int a = 0; a < attempts; ++a) {
    const size_t n = SendAndWait(tag, 0, req, sizeof req);
    if (n == 0) continue;
    if (Crc32(gAnswer, n - 4) != GetU32(gAnswer + n - 4)) continue;
    const int d = int(n) - 12;
    if (maxLen > 0 && out) std::memcpy(out, gAnswer + 8, size_t(std::min(d, maxLen)));
    return d;
  }
  return 0;
}

bool UdpDev::ReadStatus() {
  changed = false;
  uint8_t data[16];
  const int d = Request('O', 16, data);
  if (d != 16 || data[3] != '1') {
    if (online) changed = true;
    online = false;
    return false;
  }
  if (!online) changed = true;
  online = true;
  if (data[2] != status) {
    changed = true;
    status = data[2];
  }
  if (!(status & 0x80)) session = false;
  return true;
}

bool UdpDevSet::Add(uint32_t id, uint32_t ip, uint16_t status) {
  const uint32_t key = id & 0x03FFFFFFu;
  for (int i = 0; i < count; ++i) {
    UdpDev& d = dev[i];
    if (d.id == id) {
      const bool differs = d.ip != ip || d.status != status;
      d.ip = ip;
      d.status = status;
      return differs;
    }
    if (count < kMaxDevices && (d.id & 0x03FFFFFFu) > key) {
      // Shift by moving: a record with an open session moves, it is not destroyed.
      for (int j = count; j > i; --j) dev[j] = std::move(dev[j - 1]);
      dev[i] = UdpDev(id, ip, status);
      if (i <= selected) ++selected;
      ++count;
      return true;
    }
  }
  if (count >= kMaxDevices) return false;
  dev[count] = UdpDev(id, ip, status);
  ++count;
  return true;
}

bool UdpDevSet::Collect(int timeoutMs) {
  Endpoint& ep = LinkEndpoint();
  Clock& clock = LinkClock();
  // With a wait, collection ends once a whole wait passes without any datagram, accepted or
  // not; under a flood that never falls silent it ends after kCollectWaits waits in all.
  const int wait = std::max(timeoutMs, 0);
  const int64_t start = clock.NowMs();
  const int64_t limit = start + int64_t(wait) * kCollectWaits;
  int64_t quietUntil = start + wait;
  bool any = false;
  int taken = 0;
  for (;;) {
    int waitNow = 0;
    if (wait > 0) {
      const int64_t left = std::min(quietUntil, limit) - clock.NowMs();
      if (left <= 0) break;
      waitNow = int(left);
    } else if (taken >= kMaxDrain) {
      break;
    }
    char from[kIpTextSize] = {};
    const size_t n = ep.Receive(gCollectBuf, kRecvBufSize, waitNow, from);
    if (n == 0) {
      if (wait <= 0) break;
      // Nothing before the wait ran out; an empty datagram returns early and is one more
      // datagram to ignore.
      if (clock.NowMs() >= quietUntil) break;
    }
    ++taken;
    if (wait > 0) quietUntil = clock.NowMs() + wait;
    from[kIpTextSize - 1] = 0;
    const uint8_t* b = gCollectBuf;
    if (n != 28 || std::memcmp(b, "MMDO", 4) != 0) continue;
    if (Crc32(b, 24) != GetU32(b + 24)) continue;
    const uint32_t id = GetU32(b + 4);
    if (id == kBroadcastId || (id >> 28) != 2) continue;
    if (!Add(id, ParseIp(from), b[10])) continue;
    any = true;
    uint8_t frame[16];
    BuildTimeFrame(id, clock.UtcSeconds(), frame);
    ep.Send(from, ep.DestPort(), frame, sizeof frame);
  }
  return any;
}

void UdpDevSet::Search() {
  uint8_t req[12];
  BuildRequest('O', kBroadcastId, req);
  Endpoint& ep = LinkEndpoint();
  for (int i = 0; i < 3; ++i) {
    ep.Broadcast(ep.DestPort(), req, sizeof req);
    if (Collect(kDefaultWaitMs)) break;
  }
}

void UdpDevSet::EndSessions() {
  for (int i = kMaxDevices - 1; i >= 0; --i) {
    UdpDev& d = dev[i];
    if (!d.session) continue;
    try {
      d.EndSession();
    } catch (...) {
      // As at destruction: nobody is left to tell; the controller drops the session itself.
    }
    d.session = false;
  }
}
