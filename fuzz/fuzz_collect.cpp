// Discovery answers, well-formed or not, through UdpDevSet::Collect. A reference model of the
// device set is replayed over the same datagrams in delivery order; the set, the time frames
// sent back and Collect's results must agree with it.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/devname.h"
#include "fuzz_util.h"
#include "link_harness.h"

namespace {

struct Injected {
  int64_t at;
  std::string from;
  std::vector<uint8_t> bytes;
};

struct Rec {
  uint32_t id, ip;
  uint16_t status;
};

// The device set's insertion rule: ascending by the low 26 bits, equal keys by arrival,
// at most kMaxDevices records, a known identifier updated in place even when full.
bool RefAdd(std::vector<Rec>& set, uint32_t id, uint32_t ip, uint16_t status) {
  for (size_t i = 0; i < set.size(); ++i) {
    if (set[i].id == id) {
      const bool differs = set[i].ip != ip || set[i].status != status;
      set[i].ip = ip;
      set[i].status = status;
      return differs;
    }
    if (set.size() < size_t(kMaxDevices) && (set[i].id & 0x03FFFFFF) > (id & 0x03FFFFFF)) {
      set.insert(set.begin() + long(i), Rec{id, ip, status});
      return true;
    }
  }
  if (set.size() >= size_t(kMaxDevices)) return false;
  set.push_back(Rec{id, ip, status});
  return true;
}

bool Accepted(const std::vector<uint8_t>& b) {
  if (b.size() != 28 || std::memcmp(b.data(), "MMDO", 4) != 0 || !CrcOk(b)) return false;
  const uint32_t id = GetU32(b.data() + 4);
  return id != kBroadcastId && (id >> 28) == 2;
}

void CheckSet(const UdpDevSet& set, const std::vector<Rec>& ref) {
  FUZZ_CHECK(set.count == int(ref.size()));
  for (int i = 0; i < set.count; ++i) {
    const UdpDev& d = set.dev[i];
    FUZZ_CHECK(d.id == ref[size_t(i)].id);
    FUZZ_CHECK(d.ip == ref[size_t(i)].ip);
    FUZZ_CHECK(d.status == ref[size_t(i)].status);
    FUZZ_CHECK(!d.session);
    if (i > 0) FUZZ_CHECK((set.dev[i - 1].id & 0x03FFFFFF) <= (d.id & 0x03FFFFFF));
    for (int j = 0; j < i; ++j) FUZZ_CHECK(set.dev[j].id != d.id);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  FuzzNet fn;
  fn.clock.now = 1000;
  auto set = std::make_unique<UdpDevSet>();
  std::vector<Rec> ref;

  // Devices already known: none, a few from the input, or a set filled to the limit.
  const uint8_t flags = in.U8();
  const int prefill =
      (flags & 3) == 3 ? kMaxDevices - (flags >> 2 & 1) : (flags & 3) * (in.U8() % 8);
  const uint16_t seed = in.U16();
  for (int i = 0; i < prefill; ++i) {
    const uint32_t id = (flags & 3) == 3 ? MakeId(uint32_t(i * 7 + seed) % 1024, uint32_t(seed + i))
                                         : (in.U32() & 0x0FFFFFFFu) | 0x20000000u;
    const uint32_t ip = 0x7F000000u | uint32_t(i + 1);
    const uint16_t status = uint16_t(i & 0x83);
    FUZZ_CHECK(set->Add(id, ip, status) == RefAdd(ref, id, ip, status));
  }
  CheckSet(*set, ref);
  FUZZ_CHECK(fn.net.sentByTool.empty());
  if (set->count > 0) set->selected = int(in.U8() % unsigned(set->count + 1)) - 1;
  const uint32_t selectedId = set->selected >= 0 ? set->dev[set->selected].id : 0;

  // The datagrams: framed answers (CRC correct unless the input says otherwise) or raw bytes.
  std::vector<Injected> sent;
  while (!in.empty() && sent.size() < 400) {
    const uint8_t h = in.U8();
    Injected d;
    d.at = fn.clock.now + (h & 0x0F) * 20;
    d.from = SenderText(in.U8());
    if (h & 0x80) {
      d.bytes.resize(24);
      std::memcpy(d.bytes.data(), "MMDO", 4);
      // Mostly identifiers of known devices or of class 2, so updates and inserts happen.
      uint32_t id = in.U32();
      if ((h & 0x30) == 0x00 && !ref.empty()) id = ref[id % ref.size()].id;
      if ((h & 0x30) == 0x10) id = (id & 0x0FFFFFFFu) | 0x20000000u;
      PutU32(d.bytes.data() + 4, id);
      for (int i = 8; i < 24; ++i) d.bytes[size_t(i)] = in.U8();
      AppendCrc(d.bytes);
      if (h & 0x40) {
        const uint8_t at = in.U8() % 28;
        d.bytes[at] ^= uint8_t(1 + in.U8() % 255);
      }
    } else {
      // Never empty: a zero-length datagram reads as "nothing arrived" and ends the wait.
      d.bytes = in.Bytes(size_t(1 + in.U8() % 64));
      if (d.bytes.empty()) d.bytes.push_back(0);
    }
    fn.net.Inject(d.bytes, d.from, d.at);
    sent.push_back(std::move(d));
  }
  // The network hands them over ordered by time, equal times in injection order.
  std::stable_sort(sent.begin(), sent.end(),
                   [](const Injected& a, const Injected& b) { return a.at < b.at; });

  const int64_t start = fn.clock.now;
  bool any = set->Collect(flags & 0x10 ? 0 : 200);
  // A long wait takes in whatever the first call left.
  any = set->Collect(1000) || any;
  // Each timed collection ends one wait after the last datagram (all due by start + 300).
  FUZZ_CHECK(fn.clock.now - start <= 300 + 200 + 1000);

  // Replay: every accepted answer that changed the set was answered with a time frame.
  size_t frame = 0;
  bool refAny = false;
  for (const Injected& d : sent) {
    if (!Accepted(d.bytes)) continue;
    const uint32_t id = GetU32(d.bytes.data() + 4);
    if (!RefAdd(ref, id, ParseIp(d.from.c_str()), d.bytes[10])) continue;
    refAny = true;
    FUZZ_CHECK(frame < fn.net.sentByTool.size());
    const NetDatagram& t = fn.net.sentByTool[frame++];
    FUZZ_CHECK(t.to == d.from);
    FUZZ_CHECK(t.bytes.size() == 16);
    FUZZ_CHECK(std::memcmp(t.bytes.data(), "MMDT", 4) == 0);
    FUZZ_CHECK(GetU32(t.bytes.data() + 4) == id);
    FUZZ_CHECK(GetU32(t.bytes.data() + 8) == fn.clock.utcBase + uint32_t(t.atMs / 1000));
    FUZZ_CHECK(CrcOk(t.bytes));
  }
  FUZZ_CHECK(frame == fn.net.sentByTool.size());
  FUZZ_CHECK(any == refAny);
  CheckSet(*set, ref);
  // The selection follows its device through insertions.
  if (selectedId != 0 || set->selected >= 0) {
    FUZZ_CHECK(set->selected >= 0 && set->selected < set->count);
    FUZZ_CHECK(set->dev[set->selected].id == selectedId);
  }
  // The known addresses parse back to what they say.
  FUZZ_CHECK(ParseIp("127.200.100.50") == 0x7FC86432u);
  return 0;
}
