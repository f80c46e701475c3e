// Unauthenticated answers, well-formed or not, through UdpDev::Request and UdpDev::ReadStatus.
// Checks what was sent, how long the link waited, that returned data comes from an answer that
// deserves acceptance, that nothing is written past the caller's limit, and the status flags.
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "link_harness.h"

namespace {

struct Injected {
  std::vector<uint8_t> bytes;
  bool fromDevice = false;  // sent from the device's own address
};

// An answer Request may return: tag "MMD" + letter, the device's identifier, CRC correct.
bool Acceptable(const std::vector<uint8_t>& b, char letter, uint32_t id) {
  return b.size() >= 16 && b[0] == 'M' && b[1] == 'M' && b[2] == 'D' && b[3] == uint8_t(letter) &&
         GetU32(b.data() + 4) == id && CrcOk(b);
}

constexpr uint8_t kCanary = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  FuzzNet fn;
  fn.clock.now = 5000;

  const uint8_t flags = in.U8();
  const int op = flags >> 1 & 3;  // 0 ReadStatus, 1 'O', 2 'K', 3 any letter and limit
  const char letter = op == 2 ? 'K' : op == 3 ? char(in.U8()) : 'O';
  const int maxLen = op == 3 ? int(in.U8() % 40) : 16;
  const uint32_t id = in.U32();
  const uint8_t status = in.U8();
  UdpDev dev(id, 0x7F000001u, status);
  dev.online = flags & 1;
  dev.session = flags & 0x08;
  const bool fix = flags & 0x10;  // frame the answers for this device and letter

  std::vector<Injected> sent;
  while (!in.empty() && sent.size() < 64) {
    const uint8_t h = in.U8();
    const int64_t at = fn.clock.now + (h & 0x3F) * 12;  // up to ~750 ms: past all attempts
    std::vector<uint8_t> b;
    if (fix && (h & 0x80)) {
      b = {'M', 'M', 'D', uint8_t(letter), 0, 0, 0, 0};
      PutU32(b.data() + 4, (h & 0x40) ? in.U32() : dev.id);
      const uint8_t bodyLen = in.U8();
      // Status queries mostly get the 16 data bytes they expect.
      const std::vector<uint8_t> body = in.Bytes(op == 0 && (h & 2) ? 16 : bodyLen % 40);
      b.insert(b.end(), body.begin(), body.end());
      if (op == 0 && b.size() >= 12 && (h & 0x01)) b[11] = '1';  // a status that counts
      AppendCrc(b);
    } else {
      b = in.Bytes(size_t(1 + in.U8() % 48));
      if (b.empty()) b.push_back(0);
    }
    fn.net.Inject(b, SenderText(h), at);
    sent.push_back({std::move(b), std::string(SenderText(h)) == "127.0.0.1"});
  }

  const bool wasOnline = dev.online, wasSession = dev.session;
  const uint16_t wasStatus = dev.status;
  const int attempts = dev.online ? 3 : 1;
  const int64_t start = fn.clock.now;

  if (op == 0) {
    const bool ok = dev.ReadStatus();
    FUZZ_CHECK(ok == dev.online);
    if (ok) {
      // Some acceptable 28-byte answer with '1' at data byte 3 carried the stored status.
      bool found = false;
      for (const Injected& d : sent)
        found |= d.fromDevice && Acceptable(d.bytes, 'O', dev.id) && d.bytes.size() == 28 &&
                 d.bytes[11] == '1' && d.bytes[10] == dev.status;
      FUZZ_CHECK(found);
      FUZZ_CHECK(dev.status <= 0xFF);
      if (!(dev.status & 0x80))
        FUZZ_CHECK(!dev.session);
      else
        FUZZ_CHECK(dev.session == wasSession);
    } else {
      FUZZ_CHECK(dev.status == wasStatus && dev.session == wasSession);
    }
    FUZZ_CHECK(dev.changed == (wasOnline != dev.online || wasStatus != dev.status));
  } else {
    std::vector<uint8_t> out(size_t(maxLen) + 32, kCanary);
    const int d = dev.Request(letter, maxLen, out.data());
    FUZZ_CHECK(d >= 0);
    if (d > 0) {
      const size_t copied = size_t(d < maxLen ? d : maxLen);
      bool found = false;
      for (const Injected& s : sent)
        found |= s.fromDevice && Acceptable(s.bytes, letter, dev.id) &&
                 s.bytes.size() == size_t(d) + 12 &&
                 std::memcmp(out.data(), s.bytes.data() + 8, copied) == 0;
      FUZZ_CHECK(found);
      for (size_t i = copied; i < out.size(); ++i) FUZZ_CHECK(out[i] == kCanary);
    } else {
      for (uint8_t b : out) FUZZ_CHECK(b == kCanary);
    }
    // A plain request leaves the record alone.
    FUZZ_CHECK(dev.online == wasOnline && dev.status == wasStatus && dev.session == wasSession);
  }

  // One 12-byte request per attempt, no more attempts than the device's state allows, and no
  // attempt waits past its own 200 ms.
  const auto& tx = fn.net.sentByTool;
  FUZZ_CHECK(!tx.empty() && int(tx.size()) <= attempts);
  uint8_t req[12];
  BuildRequest(op == 0 ? 'O' : letter, dev.id, req);
  for (const NetDatagram& t : tx) {
    FUZZ_CHECK(t.to == "127.0.0.1");
    FUZZ_CHECK(t.bytes.size() == 12 && std::memcmp(t.bytes.data(), req, 12) == 0);
  }
  FUZZ_CHECK(fn.clock.now - start <= int64_t(tx.size()) * kDefaultWaitMs);
  FUZZ_CHECK(fn.net.longestWaitMs <= kDefaultWaitMs);
  FUZZ_CHECK(req[3] == uint8_t(op == 0 ? 'O' : letter) &&
             CrcOk(std::vector<uint8_t>(req, req + 12)));

  // Destroying a record that holds a session would end it over the network; not this target's
  // business.
  dev.session = false;
  return 0;
}
