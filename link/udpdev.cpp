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
      ip2(o.ip2),
      seq(o.seq),
      status(o.status),
      online(o.online),
      changed(o.changed),
      session(o.session),
      owner(o.owner),
      round(o.round),
      heardOld(o.heardOld),
      heardTwoNew(o.heardTwoNew),
      heardNew(o.heardNew),
      heardNewStatus(o.heardNewStatus) {
  std::memcpy(key, o.key, sizeof key);
  o.session = false;
}

UdpDev& UdpDev::operator=(UdpDev&& o) noexcept {
  if (this == &o) return *this;
  id = o.id;
  ip = o.ip;
  ip2 = o.ip2;
  owner = o.owner;
  round = o.round;
  heardOld = o.heardOld;
  heardTwoNew = o.heardTwoNew;
  heardNew = o.heardNew;
  heardNewStatus = o.heardNewStatus;
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

namespace {
std::string Dotted(uint32_t ip) {
  char text[kIpTextSize];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(ip >> 24), unsigned((ip >> 16) & 0xFF),
                unsigned((ip >> 8) & 0xFF), unsigned(ip & 0xFF));
  return text;
}
}  // namespace

std::string UdpDev::IpText() const {
  return Dotted(ip);
}

std::string UdpDev::Ip2Text() const {
  return ip2 ? Dotted(ip2) : std::string();
}

std::string TwoAddressText(const UdpDev& d) {
  if (!d.ip2) return {};
  return DevName(d.id) + " odpowiada z dwóch adresów: " + d.IpText() + ", " + d.Ip2Text();
}

bool UsableDeviceAddress(uint32_t ip, const std::vector<LocalNet>& localNets) {
  const uint32_t first = ip >> 24;
  if (first == 0 || first == 127) return false;  // "this network", loopback
  if (first >= 224) return false;                // multicast, reserved, 255.255.255.255
  for (const LocalNet& n : localNets) {
    // A /31 or /32 has no network or broadcast address of its own.
    if (~n.mask <= 1u) continue;
    if (ip == (n.addr & n.mask) || ip == (n.addr | ~n.mask)) return false;
  }
  return true;
}

std::string UdpDev::ModeText() const {
  if (!online) return "Niedostępny";
  return kModeNames[status & 3];
}

std::string UdpDev::ListText() const {
  std::string text = " ";
  text.append(DevName(id)).append(",  ").append(IpText()).append(",  ").append(ModeText());
  if (ip2) text.append(",  drugi adres: ").append(Ip2Text());
  return text;
}

size_t UdpDev::SendAndWait(const char tag[4], char letter, const uint8_t* req, size_t reqLen) {
  Endpoint& ep = LinkEndpoint();
  Clock& clock = LinkClock();
  const std::string host = IpText();
  // Datagrams this request drains or skips are still looked at by the device set: a
  // discovery answer among them counts for the two-address rule. A device's own route (a
  // thread of its own) sees only that device's datagrams, and the set is not shared
  // between threads.
  UdpDevSet* set = LinkHasThreadEndpoint() ? nullptr : owner;
  // Whatever is queued now was sent before this request: late answers to earlier requests,
  // duplicates, answers forged ahead of time. None of it can answer this request.
  for (int k = 0; k < kMaxDrain; ++k) {
    char drained[kIpTextSize] = {};
    const size_t n = ep.Receive(gAnswer, kRecvBufSize, 0, drained);
    if (n == 0) break;
    drained[kIpTextSize - 1] = 0;
    if (set) set->Offer(drained, gAnswer, n);
  }
  ep.Send(host.c_str(), ep.DestPort(), req, reqLen);
  // One deadline for the whole attempt: datagrams we ignore do not buy more time.
  const int64_t deadline = clock.NowMs() + kDefaultWaitMs;
  for (;;) {
    const int64_t left = deadline - clock.NowMs();
    if (left <= 0) return 0;
    // An empty datagram reads as 0 too; only the deadline ends the attempt.
    char from[kIpTextSize] = {};
    const size_t n = ep.Receive(gAnswer, kRecvBufSize, int(left), from);
    from[kIpTextSize - 1] = 0;
    // Only the address the request went to answers it.
    const bool answer = host == from && n >= 16 && std::memcmp(gAnswer, tag, 4) == 0 &&
                        GetU32(gAnswer + 4) == id &&
                        (letter == 0 || (n >= 19 && gAnswer[10] == (uint8_t(letter) | 0x80)));
    if (answer) return n;
    if (set) set->Offer(from, gAnswer, n);
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

bool ParseDiscoveryAnswer(const uint8_t* b, size_t n, const char* from,
                          const std::vector<LocalNet>& localNets, DiscoveryAnswer& out) {
  if (n != 28 || std::memcmp(b, "MMDO", 4) != 0) return false;
  if (Crc32(b, 24) != GetU32(b + 24)) return false;
  const uint32_t id = GetU32(b + 4);
  if (id == kBroadcastId || (id >> 28) != 2) return false;
  // An address that reaches many hosts, or none, is never a device's address.
  if (!from || !from[0]) return false;
  const uint32_t ip = ParseIp(from);
  if (!UsableDeviceAddress(ip, localNets)) return false;
  out = DiscoveryAnswer{id, ip, b[10]};
  return true;
}

std::string FullSetText() {
  return "zbiór urządzeń jest pełny (" + std::to_string(kMaxDevices) +
         " urządzeń, tyle obsługuje protokół); dalsze urządzenia pominięto.";
}

std::string TwoIdentifiersText(uint32_t ip, uint32_t first, uint32_t second) {
  return Dotted(ip) + " odpowiada jako " + DevName(first) + " i " + DevName(second);
}

void UdpDevSet::Note(const std::string& text) {
  if (std::find(notices_.begin(), notices_.end(), text) == notices_.end()) notices_.push_back(text);
}

std::vector<std::string> UdpDevSet::TakeNotices() {
  std::vector<std::string> out;
  out.swap(notices_);
  return out;
}

bool UdpDevSet::HeldByAnother(uint32_t ip, uint32_t id) const {
  for (int i = 0; i < count; ++i)
    if (dev[i].id != id && (dev[i].ip == ip || dev[i].ip2 == ip)) return true;
  return false;
}

// A discovery answer of a known device.
bool UdpDevSet::Update(UdpDev& d, uint32_t ip, uint16_t status, bool inSearch) {
  bool changed = false;
  if (inSearch && d.round != round) {
    // Its first answer in this search: what the search hears of it starts afresh.
    d.round = round;
    d.heardOld = false;
    d.heardTwoNew = false;
    d.heardNew = 0;
  }
  if (ip == d.ip) {
    if (inSearch) d.heardOld = true;
    if (d.status != status) {
      d.status = status;
      changed = true;
    }
  } else if (!inSearch) {
    // Outside a search nothing moves a device: the other address is only recorded.
    if (ip == d.ip2) return false;
    d.ip2 = ip;
    return true;
  } else if (!d.heardNew) {
    // Where it may move at the end of the search, unless more answers there or elsewhere.
    d.heardNew = ip;
    d.heardNewStatus = status;
    changed = true;
  } else if (ip == d.heardNew) {
    d.heardNewStatus = status;
  } else if (!d.heardTwoNew) {
    d.heardTwoNew = true;
    changed = true;
  }
  // Two addresses within one search: reported at once, never silently resolved.
  if (inSearch && d.heardNew && (d.heardOld || d.heardTwoNew) && d.ip2 != d.heardNew) {
    d.ip2 = d.heardNew;
    changed = true;
  }
  return changed;
}

const UdpDev* UdpDevSet::Find(uint32_t id) const {
  for (int i = 0; i < count; ++i)
    if (dev[i].id == id) return &dev[i];
  return nullptr;
}

bool UdpDevSet::Add(uint32_t id, uint32_t ip, uint16_t status) {
  return AddAnswer(id, ip, status, searching_);
}

bool UdpDevSet::AddAnswer(uint32_t id, uint32_t ip, uint16_t status, bool inSearch) {
  // One address, one identifier within a search.
  bool second = false;
  if (inSearch) {
    const auto [it, first] = idAt_.emplace(ip, id);
    if (!first && it->second != id) {
      second = true;
      if (twoIds_.insert(ip).second) Note(TwoIdentifiersText(ip, it->second, id));
    }
  }
  const uint32_t key = id & 0x03FFFFFFu;
  int at = count;
  for (int i = 0; i < count; ++i) {
    UdpDev& d = dev[i];
    if (d.id == id) return Update(d, ip, status, inSearch);
    if (at == count && (d.id & 0x03FFFFFFu) > key) at = i;
  }
  if (second) return false;
  // Outside a search an address another identifier holds adds nobody.
  if (!inSearch && HeldByAnother(ip, id)) return false;
  if (count >= kMaxDevices) {
    if (!fullNoted_) Note(FullSetText());
    fullNoted_ = true;
    return false;
  }
  // Shift by moving: a record with an open session moves, it is not destroyed.
  for (int j = count; j > at; --j) dev[j] = std::move(dev[j - 1]);
  dev[at] = UdpDev(id, ip, status);
  dev[at].owner = this;
  dev[at].round = inSearch ? round : 0;
  dev[at].heardOld = inSearch;
  if (at < count && at <= selected) ++selected;
  ++count;
  return true;
}

void UdpDevSet::Offer(const char* from, const uint8_t* bytes, size_t n) {
  // Cheap checks first: most of what a request skips is no discovery answer at all.
  if (n != 28 || std::memcmp(bytes, "MMDO", 4) != 0) return;
  if (!netsKnown_) {
    nets_ = LinkEndpoint().LocalNets();
    netsKnown_ = true;
  }
  DiscoveryAnswer a;
  if (!ParseDiscoveryAnswer(bytes, n, from, nets_, a)) return;
  if (Find(a.id)) {
    // A second address or a new status: the next collection reports the change.
    if (AddAnswer(a.id, a.ip, a.status, false)) offeredChange_ = true;
    return;
  }
  // A new record would shift the records a caller is working on: it waits for Collect.
  constexpr size_t kMaxOffered = 128;
  for (const DiscoveryAnswer& o : offered_)
    if (o.id == a.id && o.ip == a.ip) return;
  if (offered_.size() < kMaxOffered) offered_.push_back(a);
}

namespace {
void SendTimeFrame(Endpoint& ep, Clock& clock, const UdpDev& d) {
  uint8_t frame[16];
  BuildTimeFrame(d.id, clock.UtcSeconds(), frame);
  ep.Send(d.IpText().c_str(), ep.DestPort(), frame, sizeof frame);
}
}  // namespace

bool UdpDevSet::Collect(int timeoutMs) {
  Endpoint& ep = LinkEndpoint();
  Clock& clock = LinkClock();
  bool any = std::exchange(offeredChange_, false);
  // Answers a request set aside: taken as the late answers they are, outside any search.
  std::vector<DiscoveryAnswer> offered;
  offered.swap(offered_);
  for (const DiscoveryAnswer& a : offered) {
    if (!AddAnswer(a.id, a.ip, a.status, false)) continue;
    any = true;
    const UdpDev* d = Find(a.id);
    if (d && d->ip == a.ip) SendTimeFrame(ep, clock, *d);
  }
  // With a wait, collection ends once a whole wait passes without any datagram, accepted or
  // not; under a flood that never falls silent it ends after kCollectWaits waits in all.
  const int wait = std::max(timeoutMs, 0);
  const int64_t start = clock.NowMs();
  const int64_t limit = start + int64_t(wait) * kCollectWaits;
  int64_t quietUntil = start + wait;
  int taken = 0;
  std::vector<LocalNet> nets;
  bool netsKnown = false;
  for (;;) {
    int waitNow = 0;
    bool cut = false;
    if (wait > 0) {
      const int64_t left = std::min(quietUntil, limit) - clock.NowMs();
      if (left <= 0) break;
      // No single wait is longer than one answer wait, the late answers' included.
      cut = left > kDefaultWaitMs;
      waitNow = int(std::min<int64_t>(left, kDefaultWaitMs));
    } else if (taken >= kMaxDrain) {
      break;
    }
    char from[kIpTextSize] = {};
    const int64_t before = clock.NowMs();
    const size_t n = ep.Receive(gCollectBuf, kRecvBufSize, waitNow, from);
    if (n == 0) {
      if (wait <= 0) break;
      // Nothing before the wait ran out; an empty datagram returns early and is one more
      // datagram to ignore.
      if (clock.NowMs() >= quietUntil) break;
      if (cut && clock.NowMs() - before >= waitNow) continue;  // a part of the wait ran out
    }
    ++taken;
    if (wait > 0) quietUntil = clock.NowMs() + wait;
    from[kIpTextSize - 1] = 0;
    if (n != 28 || std::memcmp(gCollectBuf, "MMDO", 4) != 0) continue;
    if (!netsKnown) {
      nets = ep.LocalNets();
      netsKnown = true;
    }
    DiscoveryAnswer a;
    if (!ParseDiscoveryAnswer(gCollectBuf, n, from, nets, a)) continue;
    if (!Add(a.id, a.ip, a.status)) continue;
    any = true;
    // Never a time frame to a second address, nor to one the device may move to: a moved
    // device gets its frame at the end of the search.
    const UdpDev* d = Find(a.id);
    if (d && d->ip == a.ip) SendTimeFrame(ep, clock, *d);
  }
  return any;
}

void UdpDevSet::BeginSearch() {
  // A search is followed by a redraw of the whole list; its collections speak only of itself.
  offeredChange_ = false;
  ++round;
  searching_ = true;
  netsKnown_ = false;
  idAt_.clear();
  twoIds_.clear();
}

bool UdpDevSet::EndSearch() {
  if (!searching_) return false;
  searching_ = false;
  bool changed = false;
  std::vector<uint32_t> moved;
  for (int i = 0; i < count; ++i) {
    UdpDev& d = dev[i];
    if (d.round != round) continue;  // silent in this search: nothing is settled
    if (!d.heardNew) {
      // Heard from its own address alone: a second address recorded earlier is cleared.
      if (d.ip2) changed = true;
      d.ip2 = 0;
      continue;
    }
    const bool alone = !d.heardOld && !d.heardTwoNew && !twoIds_.count(d.heardNew);
    if (alone && !d.session) {
      d.ip = d.heardNew;  // moved, e.g. a new address from DHCP
      d.ip2 = 0;
      d.status = d.heardNewStatus;
      moved.push_back(d.id);
    } else {
      // During this program's session the device stays where the session is.
      d.ip2 = d.heardNew;
    }
    changed = true;
  }
  idAt_.clear();
  twoIds_.clear();
  if (!moved.empty()) {
    Endpoint& ep = LinkEndpoint();
    Clock& clock = LinkClock();
    for (const uint32_t id : moved)
      if (const UdpDev* d = Find(id)) SendTimeFrame(ep, clock, *d);
  }
  return changed;
}

void UdpDevSet::Search(int lateMs) {
  BeginSearch();
  try {
    uint8_t req[12];
    BuildRequest('O', kBroadcastId, req);
    Endpoint& ep = LinkEndpoint();
    for (int i = 0; i < 3; ++i) {
      ep.Broadcast(ep.DestPort(), req, sizeof req);
      if (Collect(kDefaultWaitMs)) break;
    }
    if (lateMs > 0) Collect(lateMs);
  } catch (...) {
    CancelSearch();
    throw;
  }
  EndSearch();
}

void UdpDevSet::CancelSearch() {
  // A search cut short moves nobody: what it heard is not the whole segment's answer.
  searching_ = false;
  idAt_.clear();
  twoIds_.clear();
}

std::string UdpDevSet::TwoAddressStatus() const {
  std::string text;
  for (int i = 0; i < count; ++i) {
    const std::string one = TwoAddressText(dev[i]);
    if (one.empty()) continue;
    if (!text.empty()) text += "; ";
    text += one;
  }
  return text;
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
