// Signed answers through UdpDev::Exchange and UdpDev::Command. In half of the inputs the
// answers are framed for the device and signed with the session key, so the accepting paths
// are reached; in the other half they are raw bytes. Checks every frame sent (numbering,
// payload, signature), the outcome against the injected answers, the caller's buffer limit,
// the error codes and the time spent.
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "link_harness.h"

namespace {

struct Injected {
  std::vector<uint8_t> bytes;
  bool fromDevice = false;  // sent from the device's own address
};

bool Framed(const std::vector<uint8_t>& b, char letter, uint32_t id) {
  return b.size() >= 19 && std::memcmp(b.data(), "MMDC", 4) == 0 && GetU32(b.data() + 4) == id &&
         b[10] == (uint8_t(letter) | 0x80);
}

bool SignedOk(const std::vector<uint8_t>& b, const uint8_t key[16]) {
  uint8_t sig[8];
  Sign8(key, b.data(), b.size() - 8, sig);
  return std::memcmp(sig, b.data() + b.size() - 8, 8) == 0;
}

constexpr uint8_t kCanary = 0x5A;
const char kLetters[] = {'D', 'C', 'c', 'F', 'R', 'S', 's'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  FuzzNet fn;
  fn.clock.now = 9000;

  const uint8_t flags = in.U8();
  const bool command = flags & 0x04;
  const bool sign = flags & 0x08;  // frame and sign the answers
  const uint8_t l = in.U8();
  const char letter = l & 0x80 ? char(l & 0x7F) : kLetters[l % sizeof kLetters];
  UdpDev dev(in.U32(), 0x7F000002u, 0x82);
  dev.online = flags & 1;
  dev.session = flags & 2;
  for (uint8_t& k : dev.key) k = in.U8();
  dev.seq = in.U16();
  const std::vector<uint8_t> payload = in.Bytes(in.U16() % 1001);
  const int p = int(payload.size());
  const int m = command ? 1 : int(in.U16() % 1100);

  std::vector<Injected> sent;
  while (!in.empty() && sent.size() < 32) {
    const uint8_t h = in.U8();
    const int64_t at = fn.clock.now + (h & 0x3F) * 12;
    std::vector<uint8_t> b;
    if (sign && !(h & 0x40)) {
      b = {'M', 'M', 'D', 'C', 0, 0, 0, 0, 0, 0, uint8_t(uint8_t(letter) | 0x80)};
      PutU32(b.data() + 4, dev.id);
      b[8] = in.U8();
      b[9] = in.U8();
      // Command answers are mostly one byte, mostly the acknowledgement.
      const uint16_t dl = in.U16();
      std::vector<uint8_t> body;
      if (command && (h & 0x80)) {
        body.push_back((dl & 0x100) ? uint8_t(dl) : kAck);
      } else {
        body = in.Bytes(dl % 1100);
      }
      b.insert(b.end(), body.begin(), body.end());
      b.resize(b.size() + 8);
      Sign8(dev.key, b.data(), b.size() - 8, b.data() + b.size() - 8);
      if ((h & 0x80) && (dl & 0x200)) b[in.U8() % b.size()] ^= 1;  // damaged on the way
    } else {
      b = in.Bytes(size_t(1 + in.U16() % 1100));
      if (b.empty()) b.push_back(0);
      // Some raw datagrams carry a valid header, so the signature check itself is reached.
      if ((h & 0x80) && b.size() >= 19) {
        std::memcpy(b.data(), "MMDC", 4);
        PutU32(b.data() + 4, dev.id);
        b[10] = uint8_t(uint8_t(letter) | 0x80);
      }
    }
    fn.net.Inject(b, SenderText(h), at);
    sent.push_back({std::move(b), std::string(SenderText(h)) == "127.0.0.2"});
  }

  const bool wasOnline = dev.online, wasSession = dev.session;
  uint8_t wasKey[16];
  std::memcpy(wasKey, dev.key, 16);
  const uint16_t seq0 = dev.seq;
  const int attempts = (dev.online && dev.session) ? 3 : 1;
  const int64_t start = fn.clock.now;

  std::vector<uint8_t> out(size_t(m) + 32, kCanary);
  int code = 0, d = -1;
  try {
    if (command) {
      dev.Command(letter, p, payload.data());
      d = 1;
    } else {
      d = dev.Exchange(letter, p, payload.data(), m, out.data());
    }
  } catch (const UErr& e) {
    FUZZ_CHECK(e.dev == &dev);
    FUZZ_CHECK(e.cmd == letter);
    code = e.code;
  }
  // Anything but UErr escaping is a finding in itself (libFuzzer reports the exception).
  if (code == 8) {
    // Refused before anything is sent: a letter that no answer could carry.
    FUZZ_CHECK(letter == 0 && fn.net.sentByTool.empty());
    dev.session = false;
    return 0;
  }

  // Frames: one per attempt, numbered on from the last number, each signed under the key.
  const auto& tx = fn.net.sentByTool;
  FUZZ_CHECK(!tx.empty() && int(tx.size()) <= attempts);
  FUZZ_CHECK(dev.seq == uint16_t(seq0 + tx.size()));
  for (size_t i = 0; i < tx.size(); ++i) {
    const std::vector<uint8_t>& f = tx[i].bytes;
    FUZZ_CHECK(tx[i].to == "127.0.0.2");
    FUZZ_CHECK(f.size() == size_t(p) + 19);
    FUZZ_CHECK(std::memcmp(f.data(), "MMDC", 4) == 0 && GetU32(f.data() + 4) == dev.id);
    FUZZ_CHECK(GetU16(f.data() + 8) == uint16_t(seq0 + i + 1));
    FUZZ_CHECK(f[10] == uint8_t(letter));
    FUZZ_CHECK(p == 0 || std::memcmp(f.data() + 11, payload.data(), size_t(p)) == 0);
    uint8_t sig[8];
    Sign8(wasKey, f.data(), size_t(p) + 11, sig);
    FUZZ_CHECK(std::memcmp(sig, f.data() + 11 + p, 8) == 0);
  }
  FUZZ_CHECK(fn.clock.now - start <= int64_t(tx.size()) * kDefaultWaitMs);
  FUZZ_CHECK(fn.net.longestWaitMs <= kDefaultWaitMs);

  // Whatever the outcome, the session stays as it was.
  FUZZ_CHECK(dev.online == wasOnline && dev.session == wasSession);
  FUZZ_CHECK(std::memcmp(dev.key, wasKey, 16) == 0);

  // Only the device's own address answers.
  const auto genuine = [&](const Injected& s) {
    return s.fromDevice && Framed(s.bytes, letter, dev.id) && SignedOk(s.bytes, wasKey);
  };
  switch (code) {
    case 0: {
      FUZZ_CHECK(d >= 0 && d <= m);
      bool found = false;
      for (const Injected& s : sent) {
        if (!genuine(s) || s.bytes.size() != size_t(d) + 19) continue;
        if (command)
          found |= s.bytes[11] == kAck;
        else
          found |= std::memcmp(out.data(), s.bytes.data() + 11, size_t(d)) == 0;
      }
      FUZZ_CHECK(found);
      if (!command)
        for (size_t i = size_t(d); i < out.size(); ++i) FUZZ_CHECK(out[i] == kCanary);
      break;
    }
    case 4: {
      // Some answer passed the header checks but not the signature.
      bool found = false;
      for (const Injected& s : sent)
        found |= s.fromDevice && Framed(s.bytes, letter, dev.id) && !genuine(s);
      FUZZ_CHECK(found);
      break;
    }
    case 5: {
      bool found = false;
      for (const Injected& s : sent)
        found |= genuine(s) && s.bytes.size() > size_t(m) + 19 &&
                 (command || std::memcmp(out.data(), s.bytes.data() + 11, size_t(m)) == 0);
      FUZZ_CHECK(found);
      if (!command)
        for (size_t i = size_t(m); i < out.size(); ++i) FUZZ_CHECK(out[i] == kCanary);
      break;
    }
    case 6:
      FUZZ_CHECK(int(tx.size()) == attempts);
      break;
    case 7: {
      FUZZ_CHECK(command);
      bool found = false;
      for (const Injected& s : sent)
        found |=
            genuine(s) && (s.bytes.size() == 19 || (s.bytes.size() == 20 && s.bytes[11] != kAck));
      FUZZ_CHECK(found);
      break;
    }
    default:
      FUZZ_CHECK(false);
  }
  dev.session = false;  // the record's destructor would otherwise end the session
  return 0;
}
