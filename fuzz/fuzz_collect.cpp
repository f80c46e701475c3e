// Discovery answers, well-formed or not, through UdpDevSet::Collect, within a search or outside
// one. A reference model of the device set is replayed over the same datagrams in delivery
// order; the set, the time frames sent back and Collect's results must agree with it.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
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
  uint32_t ip2 = 0, round = 0;
  bool heardOld = false, heardTwoNew = false;
  uint32_t heardNew = 0;
  uint16_t heardNewStatus = 0;
};

// The device set's rule, written out: ascending by the low 26 bits, equal keys by arrival,
// at most kMaxDevices records, a known identifier updated in place even when full. Outside a
// search an answer never moves a device: another address is recorded as its second, and an
// unknown identifier from an address another one holds is not added. In a search an address
// answering with a second identifier adds nobody; at its end a device moves to the one new
// address it alone answered from, when its old address was silent.
struct RefSet {
  std::vector<Rec> recs;
  uint32_t round = 0;
  bool searching = false;
  std::map<uint32_t, uint32_t> idAt;
  std::set<uint32_t> twoIds;

  bool Update(Rec& r, uint32_t ip, uint16_t status) {
    bool changed = false;
    if (searching && r.round != round) {
      r.round = round;
      r.heardOld = r.heardTwoNew = false;
      r.heardNew = 0;
    }
    if (ip == r.ip) {
      r.heardOld = r.heardOld || searching;
      changed = r.status != status;
      r.status = status;
    } else if (!searching) {
      if (ip == r.ip2) return false;
      r.ip2 = ip;
      return true;
    } else if (!r.heardNew) {
      r.heardNew = ip;
      r.heardNewStatus = status;
      changed = true;
    } else if (ip == r.heardNew) {
      r.heardNewStatus = status;
    } else if (!r.heardTwoNew) {
      r.heardTwoNew = changed = true;
    }
    if (searching && r.heardNew && (r.heardOld || r.heardTwoNew) && r.ip2 != r.heardNew) {
      r.ip2 = r.heardNew;
      changed = true;
    }
    return changed;
  }

  bool Add(uint32_t id, uint32_t ip, uint16_t status) {
    bool second = false;
    if (searching) {
      const auto [it, first] = idAt.emplace(ip, id);
      if (!first && it->second != id) {
        second = true;
        twoIds.insert(ip);
      }
    }
    size_t at = recs.size();
    for (size_t i = 0; i < recs.size(); ++i) {
      if (recs[i].id == id) return Update(recs[i], ip, status);
      if (at == recs.size() && (recs[i].id & 0x03FFFFFF) > (id & 0x03FFFFFF)) at = i;
    }
    if (second) return false;
    if (!searching)
      for (const Rec& r : recs)
        if (r.ip == ip || r.ip2 == ip) return false;
    if (recs.size() >= size_t(kMaxDevices)) return false;
    Rec r{id, ip, status};
    r.round = searching ? round : 0;
    r.heardOld = searching;
    recs.insert(recs.begin() + long(at), r);
    return true;
  }

  void Begin() {
    ++round;
    searching = true;
    idAt.clear();
    twoIds.clear();
  }

  // The devices that moved.
  std::vector<uint32_t> End() {
    searching = false;
    std::vector<uint32_t> moved;
    for (Rec& r : recs) {
      if (r.round != round) continue;
      if (!r.heardNew) {
        r.ip2 = 0;
        continue;
      }
      if (!r.heardOld && !r.heardTwoNew && !twoIds.count(r.heardNew)) {
        r.ip = r.heardNew;
        r.ip2 = 0;
        r.status = r.heardNewStatus;
        moved.push_back(r.id);
      } else {
        r.ip2 = r.heardNew;
      }
    }
    return moved;
  }
};

// Senders: devices on the tool's network 10.77.0.0/24, one beyond it, and addresses that
// are never a device's (the network's broadcast and network address, loopback, 0.0.0.0,
// the limited broadcast, multicast).
const char* const kSenders[] = {"10.77.0.10",  "10.77.0.11", "10.77.0.12",      "192.168.5.20",
                                "10.77.0.255", "10.77.0.0",  "127.0.0.1",       "0.0.0.0",
                                "224.0.0.9",   "10.77.0.13", "255.255.255.255", "10.77.0.14"};
constexpr size_t kUsableSenders = 4;  // the first four, and the last two

bool UsableSender(const std::string& s) {
  for (size_t i = 0; i < sizeof kSenders / sizeof kSenders[0]; ++i)
    if (s == kSenders[i]) return i < kUsableSenders || s == "10.77.0.13" || s == "10.77.0.14";
  return false;
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
    FUZZ_CHECK(d.ip2 == ref[size_t(i)].ip2);
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
  fn.net.localNets = {{0x0A4D0001u, 0xFFFFFF00u}};  // the tool at 10.77.0.1/24
  auto set = std::make_unique<UdpDevSet>();
  RefSet ref;

  // Devices already known: none, a few from the input, or a set filled to the limit.
  const uint8_t flags = in.U8();
  const int prefill =
      (flags & 3) == 3 ? kMaxDevices - (flags >> 2 & 1) : (flags & 3) * (in.U8() % 8);
  const uint16_t seed = in.U16();
  for (int i = 0; i < prefill; ++i) {
    const uint32_t id = (flags & 3) == 3 ? MakeId(uint32_t(i * 7 + seed) % 1024, uint32_t(seed + i))
                                         : (in.U32() & 0x0FFFFFFFu) | 0x20000000u;
    // Outside a search an address holds one identifier: the first few share the senders'.
    const uint32_t ip = 0x0A4D0000u | uint32_t(10 + i);
    const uint16_t status = uint16_t(i & 0x83);
    FUZZ_CHECK(set->Add(id, ip, status) == ref.Add(id, ip, status));
  }
  CheckSet(*set, ref.recs);
  // Half the time the answers below belong to a new search, in which devices may move.
  if (flags & 0x20) {
    set->BeginSearch();
    ref.Begin();
  }
  FUZZ_CHECK(fn.net.sentByTool.empty());
  if (set->count > 0) set->selected = int(in.U8() % unsigned(set->count + 1)) - 1;
  const uint32_t selectedId = set->selected >= 0 ? set->dev[set->selected].id : 0;

  // The datagrams: framed answers (CRC correct unless the input says otherwise) or raw bytes.
  std::vector<Injected> sent;
  while (!in.empty() && sent.size() < 400) {
    const uint8_t h = in.U8();
    Injected d;
    d.at = fn.clock.now + (h & 0x0F) * 20;
    d.from = kSenders[in.U8() % (sizeof kSenders / sizeof kSenders[0])];
    if (h & 0x80) {
      d.bytes.resize(24);
      std::memcpy(d.bytes.data(), "MMDO", 4);
      // Mostly identifiers of known devices or of class 2, so updates and inserts happen.
      uint32_t id = in.U32();
      if ((h & 0x30) == 0x00 && !ref.recs.empty()) id = ref.recs[id % ref.recs.size()].id;
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

  // Replay: the set follows the rule over the answers from usable addresses. Every time
  // frame goes to a usable address that answered for its identifier, and only to a record's
  // address (so never to a second address the record keeps).
  bool refAny = false;
  size_t changes = 0;
  std::vector<std::pair<uint32_t, std::string>> sources;
  for (const Injected& d : sent) {
    if (!Accepted(d.bytes) || !UsableSender(d.from)) continue;
    const uint32_t id = GetU32(d.bytes.data() + 4);
    sources.emplace_back(id, d.from);
    if (!ref.Add(id, ParseIp(d.from.c_str()), d.bytes[10])) continue;
    refAny = true;
    ++changes;
  }
  // The end of the search moves devices; each gets its time frame at its new address.
  if (flags & 0x20) {
    set->EndSearch();
    const std::vector<uint32_t> moved = ref.End();
    for (uint32_t id : moved) {
      size_t frames = 0;
      const Rec* r = nullptr;
      for (const Rec& x : ref.recs)
        if (x.id == id) r = &x;
      for (const NetDatagram& t : fn.net.sentByTool)
        frames += t.to == DottedIp(r->ip) && GetU32(t.bytes.data() + 4) == id;
      FUZZ_CHECK(frames >= 1);
    }
  }
  FUZZ_CHECK(fn.net.sentByTool.size() <= changes);
  for (const NetDatagram& t : fn.net.sentByTool) {
    FUZZ_CHECK(t.bytes.size() == 16);
    FUZZ_CHECK(std::memcmp(t.bytes.data(), "MMDT", 4) == 0);
    const uint32_t id = GetU32(t.bytes.data() + 4);
    FUZZ_CHECK(std::find(sources.begin(), sources.end(), std::make_pair(id, t.to)) !=
               sources.end());
    FUZZ_CHECK(UsableSender(t.to));
    FUZZ_CHECK(GetU32(t.bytes.data() + 8) == fn.clock.utcBase + uint32_t(t.atMs / 1000));
    FUZZ_CHECK(CrcOk(t.bytes));
    FUZZ_CHECK(set->Find(id) != nullptr);
  }
  FUZZ_CHECK(any == refAny);
  CheckSet(*set, ref.recs);
  // The selection follows its device through insertions.
  if (selectedId != 0 || set->selected >= 0) {
    FUZZ_CHECK(set->selected >= 0 && set->selected < set->count);
    FUZZ_CHECK(set->dev[set->selected].id == selectedId);
  }
  // The known addresses parse back to what they say.
  FUZZ_CHECK(ParseIp("127.200.100.50") == 0x7FC86432u);
  for (const char* s : kSenders)
    FUZZ_CHECK(UsableDeviceAddress(ParseIp(s), fn.net.LocalNets()) == UsableSender(s));
  return 0;
}
