// The discovery tap of feldaro-cli over the in-memory network: it notes exactly the devices
// the device set takes (a source address that is no device's is refused by both), plus
// those a full set has no room for.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "config/devname.h"
#include "link/udpdev.h"
#include "sim/memnet.h"
#include "tap.h"

namespace {

std::vector<uint8_t> Answer(uint32_t id) {
  std::vector<uint8_t> b(28, 0);
  std::memcpy(b.data(), "MMDO", 4);
  PutU32(b.data() + 4, id);
  b[10] = 2;
  PutU32(b.data() + 24, Crc32(b.data(), 24));
  return b;
}

std::vector<uint32_t> Ids(const std::vector<SeenDevice>& seen) {
  std::vector<uint32_t> v;
  for (const SeenDevice& s : seen) v.push_back(s.id);
  std::sort(v.begin(), v.end());
  return v;
}

std::vector<uint32_t> Ids(const UdpDevSet& set) {
  std::vector<uint32_t> v;
  for (int i = 0; i < set.count; ++i) v.push_back(set.dev[i].id);
  std::sort(v.begin(), v.end());
  return v;
}

struct Rig {
  VirtualClock clock;
  MemNet net{clock};
  DiscoveryTap tap{net};
  std::unique_ptr<UdpDevSet> set = std::make_unique<UdpDevSet>();
  Rig() {
    net.localNets = {LocalNet{0x0A4D0001u, 0xFFFFFF00u}};  // 10.77.0.1/24
    LinkSetEndpoint(&tap);
    LinkSetClock(&clock);
  }
  ~Rig() {
    set.reset();
    LinkSetEndpoint(nullptr);
    LinkSetClock(nullptr);
  }
};

}  // namespace

TEST(CliTap, NotesWhatTheSetTakesAndRefusesAddressesThatAreNoDevices) {
  Rig r;
  const char* const refused[] = {"10.77.0.255", "10.77.0.0",       "127.0.0.1",
                                 "0.0.0.0",     "255.255.255.255", "224.0.0.1"};
  uint32_t serial = 1;
  for (const char* from : refused) r.net.Inject(Answer(MakeId(327, serial++)), from, 1);
  r.net.Inject(Answer(MakeId(327, 50)), "10.77.0.10", 2);
  r.net.Inject(Answer(MakeId(5, 51)), "10.77.0.11", 3);  // a reader answers too
  r.set->Collect(200);
  ASSERT_EQ(r.set->count, 2);
  EXPECT_EQ(Ids(r.tap.Seen()), Ids(*r.set));
  for (const SeenDevice& s : r.tap.Seen()) {
    ASSERT_EQ(s.addresses.size(), 1u);
    EXPECT_EQ(s.addresses[0].rfind("10.77.0.1", 0), 0u);
  }
}

TEST(CliTap, KeepsEveryAddressOfAnIdentifierAsTheSetDoes) {
  Rig r;
  const uint32_t k5 = MakeId(327, 5);
  r.net.Inject(Answer(k5), "10.77.0.10", 1);
  r.set->Search();
  // Another host answers in its name, between searches and again in the next one.
  r.net.Inject(Answer(k5), "10.77.0.66", r.clock.now + 1);
  r.set->Collect(200);
  r.net.Inject(Answer(k5), "10.77.0.10", r.clock.now + 1);
  r.net.Inject(Answer(k5), "10.77.0.66", r.clock.now + 2);
  r.set->Search();
  const std::vector<SeenDevice> seen = r.tap.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].addresses, (std::vector<std::string>{"10.77.0.10", "10.77.0.66"}));
  ASSERT_EQ(r.set->count, 1);
  EXPECT_EQ(r.set->dev[0].IpText() + ", " + r.set->dev[0].Ip2Text(), seen[0].AddressText());
}

TEST(CliTap, NotesTheControllersAFullSetHasNoRoomFor) {
  Rig r;
  for (int i = 0; i < kMaxDevices + 2; ++i)
    r.net.Inject(Answer(MakeId(327, 100 + i)), "10.77.1." + std::to_string(10 + i), 1 + i);
  r.set->Collect(200);
  ASSERT_EQ(r.set->count, kMaxDevices);
  const std::vector<SeenDevice> seen = r.tap.Seen();
  ASSERT_EQ(seen.size(), size_t(kMaxDevices + 2));
  // Every member of the set was seen, and two more beyond it.
  const std::vector<uint32_t> inSet = Ids(*r.set), all = Ids(seen);
  EXPECT_TRUE(std::includes(all.begin(), all.end(), inSet.begin(), inSet.end()));
}
