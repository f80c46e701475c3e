// Whole configuration commands (ReadConfig, PollDevList, WriteConfig, DeleteLost, ReplaceDev)
// against a scripted controller: the input is a sequence of status answers, key material,
// signed answers (signed with the key in force at that point, the derived one after key
// material) and junk, delivered in order. Checks the error codes each operation may raise,
// that a failed read leaves the model alone, that a successful read holds a decoded answer
// with consistent used masks, what the writes send, and how a new session's key came about.
#include <memory>
#include <vector>

#include "fuzz_util.h"
#include "link_harness.h"

namespace {

struct Injected {
  std::vector<uint8_t> bytes;
  char letter;  // signed answers: the command answered
};

CtrlCfg gCfg, gBefore, gScratch;
const char kLetters[] = {'D', 'C', 'c', 'F', 'R'};

void DeriveKey(const uint8_t m[16], uint8_t out[16]) {
  AES128 aes;
  aes.SetKey(m);
  std::memcpy(out, m, 16);
  aes.Encrypt(out);
}

bool MasksConsistent(const CtrlCfg& c) {
  std::memcpy(&gScratch, &c, sizeof c);
  for (BusDev& d : gScratch.devs) d.usedOutputs = d.usedInputs = d.usedReaders = 0;
  MarkUsedIo(gScratch);
  for (int s = 0; s < kMaxDevs; ++s)
    if (c.devs[s].usedOutputs != gScratch.devs[s].usedOutputs ||
        c.devs[s].usedInputs != gScratch.devs[s].usedInputs ||
        c.devs[s].usedReaders != gScratch.devs[s].usedReaders)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  FuzzNet fn;
  fn.clock.now = 20000;

  const uint8_t flags = in.U8();
  const int op = flags % 5;  // ReadConfig, PollDevList, WriteConfig, DeleteLost, ReplaceDev
  const uint32_t id = MakeId(327, in.U16());
  const uint8_t status = in.U8();
  UdpDev dev(id, 0x7F000003u, status);
  dev.online = !(flags & 0x80);
  dev.session = flags & 0x40;
  for (uint8_t& k : dev.key) k = in.U8();
  dev.seq = in.U16();
  const uint16_t pair = in.U16();

  // The model: zero, or something a write may carry (any passage count, up to out of range).
  std::memset(&gCfg, 0, sizeof gCfg);
  gCfg.devs[0].id = flags & 0x20 ? MakeId(327, 1) : MakeId(310, 1);
  gCfg.devCount = gCfg.listedCount = 1;
  if (op == 2) {
    gCfg.doorCount = in.U8() % 24;
    const std::vector<uint8_t> raw = in.Bytes(sizeof gCfg.doors);
    if (!raw.empty()) std::memcpy(gCfg.doors, raw.data(), raw.size());
    gCfg.trainNumber = in.U16();
  }
  std::memcpy(&gBefore, &gCfg, sizeof gCfg);

  // The controller's side, in delivery order.
  uint8_t signKey[16];
  std::memcpy(signKey, dev.key, 16);
  std::vector<Injected> sent;
  std::vector<std::vector<uint8_t>> keyMaterial;
  int64_t at = fn.clock.now;
  while (!in.empty() && sent.size() < 24) {
    const uint8_t h = in.U8();
    at += 1 + (h >> 6) * 60;
    Injected d{{}, 0};
    switch (h & 3) {
      case 0: {  // status answer
        d.bytes = {'M', 'M', 'D', 'O', 0, 0, 0, 0, 0, 0, in.U8(), '1'};
        PutU32(d.bytes.data() + 4, id);
        d.bytes.resize(24);
        AppendCrc(d.bytes);
        break;
      }
      case 1: {  // key material; later answers are signed with the key derived from it
        d.bytes = {'M', 'M', 'D', 'K', 0, 0, 0, 0};
        PutU32(d.bytes.data() + 4, id);
        const std::vector<uint8_t> m = in.Bytes(16);
        d.bytes.insert(d.bytes.end(), m.begin(), m.end());
        d.bytes.resize(24);
        AppendCrc(d.bytes);
        keyMaterial.emplace_back(d.bytes.begin() + 8, d.bytes.begin() + 24);
        DeriveKey(d.bytes.data() + 8, signKey);
        break;
      }
      case 2: {  // signed answer
        d.letter = kLetters[(h >> 2) % 5];
        d.bytes = {'M', 'M', 'D', 'C', 0, 0, 0, 0, 0, 0, uint8_t(uint8_t(d.letter) | 0x80)};
        PutU32(d.bytes.data() + 4, id);
        std::vector<uint8_t> body;
        if (d.letter == 'D' || d.letter == 'C')
          body = in.Bytes(in.U16() % 1010);
        else
          body = {uint8_t(h & 0x20 ? in.U8() : kAck)};
        d.bytes.insert(d.bytes.end(), body.begin(), body.end());
        d.bytes.resize(d.bytes.size() + 8);
        Sign8(signKey, d.bytes.data(), d.bytes.size() - 8, d.bytes.data() + d.bytes.size() - 8);
        break;
      }
      default:
        d.bytes = in.Bytes(size_t(1 + in.U8() % 40));
        if (d.bytes.empty()) d.bytes.push_back(0);
        break;
    }
    fn.net.Inject(d.bytes, "127.0.0.3", at);
    sent.push_back(std::move(d));
  }

  const bool wasOnline = dev.online, wasSession = dev.session;
  const int wasMode = dev.Mode();
  const bool foreign = (dev.status & 0x80) && !dev.session;
  const int64_t start = fn.clock.now;
  int code = 0;
  bool polled = false;
  try {
    switch (op) {
      case 0:
        dev.ReadConfig(gCfg);
        break;
      case 1:
        polled = dev.PollDevList(gCfg);
        break;
      case 2:
        dev.WriteConfig(gCfg);
        break;
      case 3:
        dev.DeleteLost();
        break;
      default:
        dev.ReplaceDev(pair);
        break;
    }
  } catch (const UErr& e) {
    FUZZ_CHECK(e.dev == &dev);
    code = e.code;
  }
  const auto& tx = fn.net.sentByTool;

  // Which codes each operation may raise.
  static const int kMaxCode[] = {6, 6, 8, 7, 7};
  FUZZ_CHECK(code >= 0 && code <= kMaxCode[op]);
  if (op == 1) FUZZ_CHECK(code == 0 || code >= 3);
  if (code == 8) FUZZ_CHECK(op == 2 && tx.empty() && (gCfg.doorCount > kMaxDoors));
  if (op == 2 && gCfg.doorCount > kMaxDoors) FUZZ_CHECK(code == 8);

  // Reads and polls leave an offline or locked controller, or someone else's session, alone.
  if ((op == 0 || op == 1) && (!wasOnline || wasMode < 2)) {
    FUZZ_CHECK(tx.empty() && code == 0 && !polled);
    FUZZ_CHECK(std::memcmp(&gBefore, &gCfg, sizeof gCfg) == 0);
  }
  if (op == 1 && foreign && wasOnline && wasMode >= 2) FUZZ_CHECK(tx.empty() && !polled);

  // The model changes only through a completed read or a poll that saw a change.
  const bool modelMayChange = (op == 0 && code == 0) || (op == 1 && polled);
  if (!modelMayChange) FUZZ_CHECK(std::memcmp(&gBefore, &gCfg, sizeof gCfg) == 0);
  if (modelMayChange && std::memcmp(&gBefore, &gCfg, sizeof gCfg) != 0) {
    FUZZ_CHECK(gCfg.devCount >= 0 && gCfg.devCount <= kMaxDevs);
    FUZZ_CHECK(gCfg.listedCount >= 0 && gCfg.listedCount <= kMaxDevs);
    FUZZ_CHECK(gCfg.doorCount >= 0 && gCfg.doorCount <= kMaxDoors);
    FUZZ_CHECK(MasksConsistent(gCfg));
    // The listed devices come from one genuine device-list answer, decoded with its length.
    bool found = false;
    for (const Injected& s : sent) {
      if (s.letter != 'D' || found) continue;
      std::memcpy(&gScratch, &gBefore, sizeof gBefore);
      if (!DecodeDevList(gScratch, s.bytes.data() + 11, s.bytes.size() - 19)) continue;
      found =
          gScratch.listedCount == gCfg.listedCount &&
          std::memcmp(gScratch.order, gCfg.order, sizeof(int32_t) * size_t(gCfg.listedCount)) == 0;
      for (int i = 0; found && i < gScratch.devCount; ++i)
        found = gScratch.devs[i].id == gCfg.devs[i].id;
    }
    FUZZ_CHECK(found || gCfg.listedCount == gBefore.listedCount);
  }

  // Every signed frame carries the next number, and writes carry what the model encodes.
  uint16_t expectSeq = 0;
  bool haveSeq = false;
  for (const NetDatagram& t : tx) {
    FUZZ_CHECK(t.to == "127.0.0.3");
    const std::vector<uint8_t>& f = t.bytes;
    if (f.size() == 12) {
      FUZZ_CHECK(f[3] == 'O' || f[3] == 'K');
      if (f[3] == 'K') {  // a new session numbers from 1
        expectSeq = 0;
        haveSeq = true;
      }
      continue;
    }
    FUZZ_CHECK(f.size() >= 19 && std::memcmp(f.data(), "MMDC", 4) == 0);
    const uint16_t seq = GetU16(f.data() + 8);
    if (haveSeq) FUZZ_CHECK(seq == uint16_t(expectSeq + 1));
    expectSeq = seq;
    haveSeq = true;
    const char l = char(f[10]);
    if (l == 'c') {
      uint8_t enc[kCfgBufSize];
      const int len = EncodeDoors(gCfg, enc);
      FUZZ_CHECK(f.size() == size_t(len) + 19 && std::memcmp(f.data() + 11, enc, size_t(len)) == 0);
    } else if (l == 'R') {
      FUZZ_CHECK(f.size() == 21 && f[11] == (pair & 0xFF) && f[12] == (pair >> 8));
    } else {
      FUZZ_CHECK(f.size() == 19);
    }
  }
  FUZZ_CHECK(fn.clock.now - start <= int64_t(tx.size()) * kDefaultWaitMs);

  // A session the program did not hold before came from key material it received.
  if (dev.session && !wasSession) {
    bool derived = false;
    for (const auto& m : keyMaterial) {
      uint8_t k[16];
      DeriveKey(m.data(), k);
      derived |= std::memcmp(k, dev.key, 16) == 0;
    }
    FUZZ_CHECK(derived);
  }
  dev.session = false;
  return 0;
}
