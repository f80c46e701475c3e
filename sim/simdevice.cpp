// Device side of the protocol as the tool relies on it, for tests and the UDP simulator.
#include "simdevice.h"

#include <cstdio>
#include <cstring>

#include "config/ctrlcfg.h"
#include "link/crypto.h"
#include "link/udpdev.h"
#include "sysrandom.h"

namespace {

constexpr uint8_t kNak = 0x15;

std::vector<uint8_t> WithCrc(std::vector<uint8_t> frame) {
  const uint32_t crc = Crc32(frame.data(), frame.size());
  frame.resize(frame.size() + 4);
  PutU32(frame.data() + frame.size() - 4, crc);
  return frame;
}

std::vector<uint8_t> Header(const char* tag, uint32_t id) {
  std::vector<uint8_t> f(8);
  std::memcpy(f.data(), tag, 4);
  PutU32(f.data() + 4, id);
  return f;
}

}  // namespace

std::string DottedIp(uint32_t ip) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(ip >> 24), unsigned((ip >> 16) & 0xFF),
                unsigned((ip >> 8) & 0xFF), unsigned(ip & 0xFF));
  return text;
}

SimDevice::SimDevice(uint32_t id_, uint32_t ip_, int mode_) : id(id_), ip(ip_), mode(mode_) {
  rng_.seed(12345u ^ id_);
}

void SimDevice::Seed(uint32_t seed) {
  rng_.seed(seed ^ id);
}

void SimDevice::KeyMaterial(uint8_t m[16]) {
  if (systemKeys) {
    if (SystemRandom(m, 16)) return;  // else the generator fills it
  }
  for (int i = 0; i < 16; ++i) m[i] = uint8_t(rng_());
}

std::vector<uint8_t> SimDevice::DiscoveryAnswer(int64_t nowMs) const {
  std::vector<uint8_t> f = Header("MMDO", id);
  const uint8_t status[16] = {0x01, 0x02, StatusByte(nowMs), '1', 'S', 'I', 'M'};
  f.insert(f.end(), status, status + 16);
  return WithCrc(std::move(f));
}

std::vector<uint8_t> SimDevice::ForgedStatus() const {
  std::vector<uint8_t> f = Header("MMDO", id);
  const uint8_t status[16] = {0x01, 0x02, uint8_t(mode & 3), '1', 'S', 'I', 'M'};
  f.insert(f.end(), status, status + 16);
  return WithCrc(std::move(f));
}

std::vector<uint8_t> SimDevice::ForgedKey() {
  uint8_t m[16];
  KeyMaterial(m);
  std::vector<uint8_t> f = Header("MMDK", id);
  f.insert(f.end(), m, m + 16);
  return WithCrc(std::move(f));
}

bool SimDevice::SessionOpen(int64_t nowMs) const {
  return session_ && nowMs - lastActivityMs_ < kSimSessionMs;
}

uint8_t SimDevice::StatusByte(int64_t nowMs) const {
  uint8_t s = uint8_t(mode & 3);
  if (SessionOpen(nowMs) || foreignSession) s |= 0x80;
  return s;
}

int SimDevice::AddBusDevice(uint32_t devId, uint8_t outputs, uint8_t inputs, uint8_t readers,
                            bool oc, uint8_t state, uint8_t suffixNumber) {
  SimBusDev d;
  d.present = true;
  d.id = devId;
  d.outputs = outputs;
  d.inputs = inputs;
  d.readers = readers;
  d.oc = oc;
  d.state = state;
  d.suffixNumber = suffixNumber;
  bus.push_back(d);
  return int(bus.size()) - 1;
}

void SimDevice::SetInactive(int slot, bool on) {
  if (slot < 0 || slot >= int(bus.size())) return;
  if (on)
    bus[size_t(slot)].state |= kStInactive;
  else
    bus[size_t(slot)].state &= uint8_t(~kStInactive);
}

std::vector<uint8_t> SimDevice::DevListPayload(int64_t nowMs) const {
  const size_t n = bus.size();
  std::vector<uint8_t> p(2 + 8 * n);
  PutU16(p.data(), uint16_t(n));
  for (size_t s = 0; s < n; ++s) {
    const SimBusDev& d = bus[s];
    PutU32(p.data() + 2 + 4 * s, d.present ? d.id : 0xFFFFFFFFu);
    uint8_t* info = p.data() + 2 + 4 * n + 4 * s;
    if (!d.present) continue;  // an empty slot keeps an all-zero record
    uint8_t state = d.state;
    if (int(s) == movedSlot_ && nowMs < movedUntilMs_) state |= kStInactive;
    info[0] = d.suffixNumber;
    info[1] = state;
    info[2] = uint8_t((d.outputs & 0x0F) | ((d.readers & 3) << 4) | (d.oc ? 0x40 : 0) | 0x80);
    info[3] = uint8_t(d.inputs & 0x0F);
  }
  return p;
}

std::vector<uint8_t> SimDevice::DoorsPayload() const {
  const size_t n = doors.size();
  std::vector<uint8_t> p(2 + 44 * n + 2);
  p[0] = uint8_t(n);
  p[1] = 18;
  for (size_t d = 0; d < n; ++d)
    for (int r = 0; r < 18; ++r) PutU16(p.data() + 2 + 36 * d + 2 * size_t(r), doors[d].refs[r]);
  for (size_t d = 0; d < n; ++d) std::memcpy(p.data() + 2 + 36 * n + 8 * d, doors[d].params, 8);
  PutU16(p.data() + 2 + 44 * n, trainNumber);
  return p;
}

std::vector<char> SimDevice::Commands() const {
  std::vector<char> letters;
  for (const SimReceived& r : received) {
    const std::vector<uint8_t>& b = r.bytes;
    if (b.size() < 8 || std::memcmp(b.data(), "MMD", 3) != 0 || GetU32(b.data() + 4) != id)
      continue;
    if (b[3] == 'K')
      letters.push_back('K');
    else if (b[3] == 'C' && b.size() >= 19)
      letters.push_back(char(b[10]));
  }
  return letters;
}

bool SimDevice::Chance(double rate) {
  if (rate <= 0) return false;
  return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate;
}

void SimDevice::Signature(const uint8_t* bytes, size_t n, uint8_t out[8]) const {
  AES128 aes;
  aes.SetKey(key_);
  Cmac mac(&aes);
  uint8_t tag[16];
  mac.Init();
  mac.Update(bytes, n);
  mac.Final(tag);
  std::memcpy(out, tag, 8);
}

// Applies the fault knobs to one finished answer.
void SimDevice::Emit(std::vector<uint8_t> bytes, bool isSigned, std::vector<SimAnswer>& out) {
  if (faults.dropNext > 0) {
    --faults.dropNext;
    return;
  }
  if (Chance(faults.lossRate)) return;
  if (isSigned) {
    if (faults.badSigNext > 0 || Chance(faults.badSigRate)) {
      if (faults.badSigNext > 0) --faults.badSigNext;
      bytes.back() ^= 0x5A;
    }
  } else if (faults.badCrcNext > 0 || Chance(faults.badCrcRate)) {
    if (faults.badCrcNext > 0) --faults.badCrcNext;
    bytes.back() ^= 0xA5;
  }
  for (int i = 0; i <= faults.duplicate; ++i) out.push_back({bytes, faults.delayMs});
}

void SimDevice::OnDatagram(const uint8_t* data, size_t len, bool broadcast, int64_t nowMs,
                           std::vector<SimAnswer>& out) {
  received.push_back({nowMs, broadcast, std::vector<uint8_t>(data, data + len)});
  if (faults.offline) return;
  if (session_ && !SessionOpen(nowMs)) session_ = false;  // silent too long
  if (len < 8 || std::memcmp(data, "MMD", 3) != 0) return;
  if (data[3] == 'C')
    OnSigned(data, len, nowMs, out);
  else
    OnPlain(data, len, nowMs, out);
}

void SimDevice::OnPlain(const uint8_t* data, size_t len, int64_t nowMs,
                        std::vector<SimAnswer>& out) {
  const uint32_t to = GetU32(data + 4);
  const char letter = char(data[3]);
  if (letter == 'T') {
    if (len == 16 && to == id && Crc32(data, 12) == GetU32(data + 12)) lastTime = GetU32(data + 8);
    return;
  }
  if (len != 12 || Crc32(data, 8) != GetU32(data + 8)) return;
  if (to != id && !(to == kBroadcastId && letter == 'O')) return;
  if (faults.silentFor == letter) return;
  if (letter == 'O') {
    std::vector<uint8_t> f = Header("MMDO", id);
    const uint8_t status[16] = {0x01, 0x02, StatusByte(nowMs), faults.statusDigit, 'S', 'I', 'M'};
    f.insert(f.end(), status, status + 16);
    Emit(WithCrc(std::move(f)), false, out);
  } else if (letter == 'K') {
    if (foreignSession) return;  // the session belongs to someone else
    uint8_t m[16];
    KeyMaterial(m);
    AES128 aes;
    aes.SetKey(m);
    std::memcpy(key_, m, 16);
    aes.Encrypt(key_);
    session_ = true;
    lastActivityMs_ = nowMs;
    std::vector<uint8_t> f = Header("MMDK", id);
    f.insert(f.end(), m, m + 16);
    Emit(WithCrc(std::move(f)), false, out);
  }
}

void SimDevice::OnSigned(const uint8_t* data, size_t len, int64_t nowMs,
                         std::vector<SimAnswer>& out) {
  if (len < 19 || GetU32(data + 4) != id) return;
  if (foreignSession || !SessionOpen(nowMs)) return;
  uint8_t sig[8];
  Signature(data, len - 8, sig);
  if (std::memcmp(sig, data + len - 8, 8) != 0) return;
  const char letter = char(data[10]);
  if (faults.silentFor == letter) return;
  lastActivityMs_ = nowMs;
  std::vector<uint8_t> answerData = Run(letter, data + 11, len - 19, nowMs);
  if (faults.noAckFor == letter && answerData.size() == 1 && answerData[0] == kAck)
    answerData[0] = kNak;
  if (faults.overrideFor == letter) answerData = faults.overrideData;
  std::vector<uint8_t> f = Header("MMDC", id);
  f.push_back(data[8]);
  f.push_back(data[9]);
  f.push_back(uint8_t(letter) | 0x80);
  f.insert(f.end(), answerData.begin(), answerData.end());
  f.resize(f.size() + 8);
  Signature(f.data(), f.size() - 8, f.data() + f.size() - 8);
  if (letter == 's') session_ = false;  // the answer is still signed with the old key
  Emit(std::move(f), true, out);
}

// Carries out one verified signed command; returns the answer data.
std::vector<uint8_t> SimDevice::Run(char letter, const uint8_t* p, size_t n, int64_t nowMs) {
  switch (letter) {
    case 'D':
      return DevListPayload(nowMs);
    case 'C':
      return DoorsPayload();
    case 'c': {
      if (n < 2 || p[1] != 18 || p[0] > kMaxDoors || n < 2 + 44 * size_t(p[0])) return {kNak};
      const size_t count = p[0];
      doors.assign(count, SimDoor{});
      for (size_t d = 0; d < count; ++d) {
        for (int r = 0; r < 18; ++r) doors[d].refs[r] = GetU16(p + 2 + 36 * d + 2 * size_t(r));
        std::memcpy(doors[d].params, p + 2 + 36 * count + 8 * d, 8);
      }
      if (n >= 2 + 44 * count + 2) trainNumber = GetU16(p + 2 + 44 * count);
      written.emplace_back(p, p + n);
      for (SimBusDev& d : bus) d.state &= uint8_t(~kStNew);  // the list is accepted
      return {kAck};
    }
    case 'F':
      // Slots are kept (emptied) so that passage references stay valid.
      for (size_t s = 0; s < bus.size(); ++s) {
        SimBusDev& d = bus[s];
        const bool moving = int(s) == movedSlot_ && nowMs < movedUntilMs_;
        if (d.present && ((d.state & kStInactive) || moving)) d = SimBusDev{};
      }
      return {kAck};
    case 'R': {
      if (n != 2) return {kNak};
      const size_t oldSlot = p[0], newSlot = p[1];
      if (oldSlot == newSlot || oldSlot >= bus.size() || newSlot >= bus.size()) return {kNak};
      SimBusDev& oldDev = bus[oldSlot];
      SimBusDev& newDev = bus[newSlot];
      if (!oldDev.present || !newDev.present || !(oldDev.state & kStInactive) ||
          IdTypeCode(oldDev.id) != IdTypeCode(newDev.id))
        return {kNak};
      // The new device takes the old slot with the old slot's settings.
      oldDev.id = newDev.id;
      oldDev.state = uint8_t(newDev.state & ~(kStInactive | kStNew));
      newDev = SimBusDev{};
      movedSlot_ = int(oldSlot);
      movedUntilMs_ = nowMs + kSimMovedMs;
      return {kAck};
    }
    case 'S':
    case 's':
      return {kAck};
    default:
      return {kNak};
  }
}
