// Discovery and the device set: accepting answers, ordering, the size limit, time frames,
// bounded collection and the end of every session when the set goes away.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <type_traits>
#include <utility>

#include "linkworld.h"

namespace {

const std::string kIp = "192.168.1.10";

class CollectTest : public ::testing::Test {
 protected:
  LinkWorld w;
  UdpDevSet set;
  void Offer(const Bytes& b, const std::string& from = kIp) { w.net.Inject(b, from, w.clock.now); }
};

TEST_F(CollectTest, AcceptsAValidAnswerAndSendsTheTimeFrame) {
  w.clock.utcBase = 1234567890u;
  w.clock.now = 7000;
  Offer(StatusAnswer(kCtrlId, 0x83));
  EXPECT_TRUE(set.Collect(0));
  ASSERT_EQ(set.count, 1);
  EXPECT_EQ(set.dev[0].id, kCtrlId);
  EXPECT_EQ(set.dev[0].ip, kCtrlIp);
  EXPECT_EQ(set.dev[0].status, 0x83);
  EXPECT_TRUE(set.dev[0].online);
  const auto sent = w.SentTo(kIp);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].size(), 16u);
  EXPECT_EQ(std::string(sent[0].begin(), sent[0].begin() + 4), "MMDT");
  EXPECT_EQ(GetU32(sent[0].data() + 4), kCtrlId);
  EXPECT_EQ(GetU32(sent[0].data() + 8), 1234567897u);  // UTC of the virtual clock
  EXPECT_EQ(GetU32(sent[0].data() + 12), Crc32(sent[0].data(), 12));
}

TEST_F(CollectTest, RejectsMalformedAndForeignAnswers) {
  Bytes longer = StatusAnswer(kCtrlId, 2);
  longer.push_back(0);
  Bytes shorter = StatusAnswer(kCtrlId, 2);
  shorter.pop_back();
  Bytes badCrc = StatusAnswer(kCtrlId, 2);
  badCrc[25] ^= 1;
  Offer(longer);
  Offer(shorter);
  Offer(badCrc);
  Offer(StatusAnswer(MakeId(301, 5, 0, 1), 2));  // class 1
  Offer(StatusAnswer(MakeId(301, 6, 0, 3), 2));  // class 3
  Offer(StatusAnswer(kBroadcastId, 2));
  Offer(StatusAnswer(kCtrlId, 2, '1', "MMDK"));
  EXPECT_FALSE(set.Collect(0));
  EXPECT_EQ(set.count, 0);
  EXPECT_TRUE(w.net.sentByTool.empty());
  // The same answer well-formed is taken.
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_TRUE(set.Collect(0));
  EXPECT_EQ(set.count, 1);
}

TEST_F(CollectTest, RepeatedAnswerChangesNothingAndSendsNoTimeFrame) {
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_TRUE(set.Collect(0));
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_FALSE(set.Collect(0));
  EXPECT_EQ(w.SentTo(kIp).size(), 1u);
  // A new address or status is news again.
  Offer(StatusAnswer(kCtrlId, 3));
  EXPECT_TRUE(set.Collect(0));
  // A new address is taken in a later search in which the device answers from it alone.
  Offer(StatusAnswer(kCtrlId, 3), "192.168.1.77");
  set.Search();
  EXPECT_EQ(set.dev[0].ip, 0xC0A8014Du);
  EXPECT_EQ(set.dev[0].ip2, 0u);
  EXPECT_EQ(w.SentTo("192.168.1.77").size(), 1u);
  EXPECT_EQ(set.count, 1);
}

TEST_F(CollectTest, TimedCollectEndsAtItsOverallLimitUnderAFlood) {
  // Junk every millisecond never leaves a whole wait of silence: ten waits end it.
  const int64_t t = w.clock.now;
  for (int i = 0; i < 3000; ++i) w.net.Inject(Bytes(28, 0x55), kIp, t + i);
  EXPECT_FALSE(set.Collect(200));
  EXPECT_EQ(w.clock.now - t, 2000);
  EXPECT_LE(w.net.longestWaitMs, 200);
}

TEST_F(CollectTest, TimedCollectListensUntilAWholeWaitPassesInSilence) {
  // A device answering at 300 ms, behind others at 20 and 150 ms, is still heard; so are
  // an ignored datagram and an empty one, which keep the collection listening as well.
  const int64_t t = w.clock.now;
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 20);
  w.net.Inject(StatusAnswer(kReaderId, 2), "192.168.1.11", t + 150);
  w.net.Inject(StatusAnswer(MakeId(402, 1), 2), "192.168.1.12", t + 300);
  w.net.Inject(Bytes(5, 1), "192.168.1.13", t + 480);
  w.net.Inject({}, "192.168.1.13", t + 650);
  w.net.Inject(StatusAnswer(MakeId(402, 2), 2), "192.168.1.14", t + 800);
  w.net.Inject(StatusAnswer(MakeId(402, 3), 2), "192.168.1.15", t + 1001);  // after silence
  EXPECT_TRUE(set.Collect(200));
  EXPECT_EQ(set.count, 4);
  EXPECT_EQ(w.clock.now - t, 1000);
  EXPECT_LE(w.net.longestWaitMs, 200);
  EXPECT_FALSE(set.Collect(0));  // not due yet
  w.clock.Advance(1);
  EXPECT_TRUE(set.Collect(0));  // the late one is taken by the next poll
  EXPECT_EQ(set.count, 5);
}

TEST_F(CollectTest, PollingDrainIsBoundedPerCall) {
  const int64_t t = w.clock.now;
  for (int i = 0; i < 5000; ++i) w.net.Inject(Bytes(10, 0), kIp, t);
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_FALSE(set.Collect(0));  // returns although the queue is far from empty
  EXPECT_EQ(w.clock.now, t);
  int calls = 1;
  while (!set.Collect(0)) ++calls;
  EXPECT_GE(calls, 5000 / 512);
  EXPECT_LE(calls, 5000 / 512 + 1);
  EXPECT_EQ(set.count, 1);
}

TEST(DevSetOrder, ByLowTwentySixBitsThenArrival) {
  UdpDevSet set;
  const uint32_t a = MakeId(301, 500, 3, 2);  // suffix bits do not count
  const uint32_t b = MakeId(101, 900);
  const uint32_t c = MakeId(301, 20);
  const uint32_t d = MakeId(301, 500, 1, 2);  // same key as a, arrives later
  EXPECT_TRUE(set.Add(a, 1, 2));
  EXPECT_TRUE(set.Add(b, 2, 2));
  EXPECT_TRUE(set.Add(c, 3, 2));
  EXPECT_TRUE(set.Add(d, 4, 2));
  ASSERT_EQ(set.count, 4);
  EXPECT_EQ(set.dev[0].id, b);
  EXPECT_EQ(set.dev[1].id, c);
  EXPECT_EQ(set.dev[2].id, a);
  EXPECT_EQ(set.dev[3].id, d);
  EXPECT_FALSE(set.Add(a, 1, 2));
  EXPECT_EQ(set.count, 4);
}

TEST(DevSetOrder, InsertionBeforeTheSelectedKeepsTheSelection) {
  UdpDevSet set;
  set.Add(MakeId(301, 50), 1, 2);
  set.Add(MakeId(301, 60), 2, 2);
  set.selected = 1;
  set.Add(MakeId(301, 55), 3, 2);  // between
  EXPECT_EQ(set.selected, 2);
  EXPECT_EQ(set.dev[set.selected].id, MakeId(301, 60));
  set.Add(MakeId(301, 70), 4, 2);  // after: unchanged
  EXPECT_EQ(set.selected, 2);
  set.Add(MakeId(101, 1), 5, 2);  // first
  EXPECT_EQ(set.selected, 3);
  EXPECT_EQ(set.dev[set.selected].id, MakeId(301, 60));
  UdpDevSet none;
  none.Add(MakeId(301, 2), 1, 2);
  none.Add(MakeId(301, 1), 1, 2);
  EXPECT_EQ(none.selected, -1);
}

TEST(DevSetOrder, FullSetStillUpdatesKnownDevices) {
  LinkWorld w;
  UdpDevSet set;
  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(set.Add(MakeId(301, 10 + 2 * i), i, 2));
  EXPECT_EQ(set.count, 100);
  EXPECT_FALSE(set.Add(MakeId(301, 1), 7, 2));     // would go first
  EXPECT_FALSE(set.Add(MakeId(301, 5000), 7, 2));  // would go last
  EXPECT_EQ(set.count, 100);
  EXPECT_EQ(set.dev[0].id, MakeId(301, 10));
  set.BeginSearch();                                       // a later search
  EXPECT_TRUE(set.Add(MakeId(301, 208), 0xC0A80199u, 3));  // the last record, new ip/status
  EXPECT_TRUE(set.EndSearch());
  EXPECT_EQ(set.dev[99].ip, 0xC0A80199u);
  EXPECT_EQ(set.dev[99].status, 3);
  EXPECT_EQ(w.SentTo("192.168.1.153").size(), 1u);  // the moved device's time frame
  // Discovery of a 101st device sends no time frame.
  const size_t mark = w.net.sentByTool.size();
  w.net.Inject(StatusAnswer(MakeId(301, 3), 2), "192.168.1.200", 0);
  EXPECT_FALSE(set.Collect(0));
  EXPECT_EQ(w.net.sentByTool.size(), mark);
}

class SearchTest : public ::testing::Test {
 protected:
  LinkWorld w;
  UdpDevSet set;
  size_t Broadcasts() const { return w.SentTo("255.255.255.255").size(); }
};

TEST_F(SearchTest, FindsDevicesAfterOneBroadcast) {
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  w.net.AddDevice(kReaderId, 0xC0A80105u, 3);
  set.Search();
  EXPECT_EQ(Broadcasts(), 1u);
  ASSERT_EQ(set.count, 2);
  EXPECT_EQ(set.dev[0].id, kReaderId);
  EXPECT_EQ(set.dev[0].IpText(), "192.168.1.5");
  EXPECT_EQ(set.dev[1].id, kCtrlId);
  const uint8_t expect[12] = {0x4D, 0x4D, 0x44, 0x4F, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xF8, 0xF3, 0x14, 0x64};
  EXPECT_EQ(w.SentTo("255.255.255.255")[0], Bytes(expect, expect + 12));
  // Each found device got its time frame and took it.
  EXPECT_EQ(w.net.Find(kCtrlId)->lastTime, w.clock.UtcSeconds());
  EXPECT_NE(w.net.Find(kReaderId)->lastTime, 0u);
}

TEST_F(SearchTest, UnchangedNetworkCostsThreeBroadcasts) {
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  set.Search();
  const size_t sent = w.net.sentByTool.size();
  const int64_t t = w.clock.now;
  set.Search();
  EXPECT_EQ(Broadcasts(), 4u);
  EXPECT_GE(w.clock.now - t, 600);
  EXPECT_EQ(w.SentTo(kIp, sent).size(), 0u);  // no time frame for a known device
}

TEST_F(SearchTest, EmptyNetworkCostsThreeBroadcasts) {
  set.Search();
  EXPECT_EQ(Broadcasts(), 3u);
  EXPECT_EQ(set.count, 0);
}

TEST_F(SearchTest, LateAnswersArePickedUpByTheNextPoll) {
  SimDevice& late = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  late.faults.delayMs = 700;
  set.Search();
  EXPECT_EQ(Broadcasts(), 3u);
  EXPECT_EQ(set.count, 0);
  w.clock.Advance(1000);
  EXPECT_TRUE(set.Collect(0));
  EXPECT_EQ(set.count, 1);
  EXPECT_FALSE(set.Collect(0));  // the duplicates from the other broadcasts change nothing
}

TEST_F(SearchTest, EndpointFailureReachesTheCaller) {
  w.net.failure = "Address already in use";
  try {
    set.Search();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Address already in use");
  }
}

// Opens a real session with the simulator behind record i of the set.
void OpenAll(UdpDevSet& set) {
  for (int i = 0; i < set.count; ++i) {
    set.dev[i].EnsureSession();
    ASSERT_TRUE(set.dev[i].session);
  }
}

TEST(DevSetSessions, InsertingMovesLiveRecordsWithoutEndingTheirSessions) {
  LinkWorld w;
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  UdpDevSet set;
  set.Add(kCtrlId, kCtrlIp, 2);
  OpenAll(set);
  uint8_t key[16];
  std::memcpy(key, set.dev[0].key, 16);
  const size_t sent = w.net.sentByTool.size();
  EXPECT_TRUE(set.Add(kReaderId, 0xC0A80105u, 2));  // goes before the controller
  ASSERT_EQ(set.dev[1].id, kCtrlId);
  EXPECT_TRUE(set.dev[1].session);
  EXPECT_EQ(std::memcmp(set.dev[1].key, key, 16), 0);
  EXPECT_FALSE(set.dev[0].session);
  EXPECT_EQ(w.net.sentByTool.size(), sent);  // no 's', no status query
  EXPECT_TRUE(sim.SessionOpen(w.clock.now));
  // The moved record still signs correctly.
  set.dev[1].KeepSession();
  EXPECT_EQ(sim.Commands().back(), 'S');
}

TEST(DevSetSessions, RecordsMoveButCannotBeCopied) {
  // A copy would end the session of the record it was made from when it goes away.
  EXPECT_FALSE(std::is_copy_constructible_v<UdpDev>);
  EXPECT_FALSE(std::is_copy_assignable_v<UdpDev>);
  EXPECT_TRUE(std::is_nothrow_move_constructible_v<UdpDev>);
  EXPECT_TRUE(std::is_nothrow_move_assignable_v<UdpDev>);
  LinkWorld w;
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  UdpDev a(kCtrlId, kCtrlIp, 2);
  a.EnsureSession();
  {
    UdpDev b(std::move(a));
    EXPECT_TRUE(b.session);
    EXPECT_FALSE(a.session);
    UdpDev c;
    c = std::move(b);
    EXPECT_TRUE(c.session);
    EXPECT_FALSE(b.session);
    const std::string before = sim.Commands().empty() ? "" : std::string(1, sim.Commands().back());
    EXPECT_EQ(before, "K");  // nothing ended the session while it moved
  }
  // Only the record holding the session ended it, once.
  const auto cmds = sim.Commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 's'), 1);
  EXPECT_FALSE(sim.SessionOpen(w.clock.now));
}

TEST(DevSetSessions, DestructionEndsSessionsLastRecordFirstAndSwallowsErrors) {
  LinkWorld w;
  const uint32_t ids[3] = {MakeId(301, 1), MakeId(301, 2), MakeId(301, 3)};
  const std::string ips[3] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  for (int i = 0; i < 3; ++i) w.net.AddDevice(ids[i], ParseIp(ips[i].c_str()), 2);
  w.net.Find(ids[1])->faults.noAckFor = 's';  // the middle one does not acknowledge
  auto set = std::make_unique<UdpDevSet>();
  for (int i = 0; i < 3; ++i) set->Add(ids[i], ParseIp(ips[i].c_str()), 2);
  OpenAll(*set);
  const size_t from = w.net.sentByTool.size();
  EXPECT_NO_THROW(set.reset());
  std::vector<std::string> order;
  for (size_t i = from; i < w.net.sentByTool.size(); ++i) {
    const Bytes& b = w.net.sentByTool[i].bytes;
    if (b.size() >= 19 && b[3] == 'C' && b[10] == 's') order.push_back(w.net.sentByTool[i].to);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.3", "10.0.0.2", "10.0.0.1"}));
  for (int i = 0; i < 3; ++i) {
    // The middle device ended its session too; only its acknowledgement was refused.
    EXPECT_FALSE(w.net.Find(ids[i])->SessionOpen(w.clock.now)) << i;
  }
}

TEST(DevSetSessions, DestructionSurvivesAFailingEndpoint) {
  LinkWorld w;
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  auto set = std::make_unique<UdpDevSet>();
  set->Add(kCtrlId, kCtrlIp, 2);
  OpenAll(*set);
  w.net.failure = "Network is down";
  EXPECT_NO_THROW(set.reset());
}

TEST(DevSetSessions, RecordsWithoutSessionSendNothingWhenDestroyed) {
  LinkWorld w;
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  auto set = std::make_unique<UdpDevSet>();
  set->Add(kCtrlId, kCtrlIp, 2);
  set->Add(kReaderId, 0xC0A80105u, 2);
  set.reset();
  EXPECT_TRUE(w.net.sentByTool.empty());
}

// --- Which discovery answers may give a device its address ------------------------------

TEST(SourceAddress, UnusableAddressesAreRefused) {
  const std::vector<LocalNet> nets = {{0xC0A80101u, 0xFFFFFF00u},   // 192.168.1.1/24
                                      {0x0A000001u, 0xFFFF0000u},   // 10.0.0.1/16
                                      {0xAC100001u, 0xFFFFFFFEu}};  // 172.16.0.1/31
  for (const char* bad :
       {"0.0.0.0", "0.1.2.3", "127.0.0.1", "127.5.5.5", "224.0.0.1", "239.255.255.250", "240.0.0.1",
        "255.255.255.255", "192.168.1.255", "192.168.1.0", "10.0.255.255", "10.0.0.0"})
    EXPECT_FALSE(UsableDeviceAddress(ParseIp(bad), nets)) << bad;
  // Inside a /16 the .255 and .0 of a /24 are ordinary hosts; a /31 has no broadcast.
  for (const char* good : {"192.168.1.10", "10.0.0.255", "10.0.1.0", "172.16.0.0", "172.16.0.1",
                           "10.77.0.10", "223.255.255.254"})
    EXPECT_TRUE(UsableDeviceAddress(ParseIp(good), nets)) << good;
}

TEST_F(CollectTest, AnswersFromUnusableSourcesAreDropped) {
  w.net.localNets = {{0xC0A80101u, 0xFFFFFF00u}};
  for (const char* bad :
       {"0.0.0.0", "127.0.0.1", "255.255.255.255", "224.0.0.5", "192.168.1.255", "192.168.1.0"})
    Offer(StatusAnswer(kCtrlId, 2), bad);
  EXPECT_FALSE(set.Collect(0));
  EXPECT_EQ(set.count, 0);
  EXPECT_TRUE(w.net.sentByTool.empty()) << "a time frame went to an unusable address";
  // A known device is not moved there either.
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_TRUE(set.Collect(0));
  set.Search();
  const size_t mark = w.net.sentByTool.size();
  Offer(StatusAnswer(kCtrlId, 3), "192.168.1.255");
  EXPECT_FALSE(set.Collect(0));
  EXPECT_EQ(set.dev[0].IpText(), kIp);
  EXPECT_EQ(set.dev[0].ip2, 0u);
  EXPECT_EQ(set.dev[0].status, 2);
  EXPECT_EQ(w.net.sentByTool.size(), mark);
}

TEST_F(CollectTest, OneIdentifierFromTwoAddressesInOneSearchIsReported) {
  const std::string other = "192.168.1.66";
  Offer(StatusAnswer(kCtrlId, 2));
  EXPECT_TRUE(set.Collect(0));
  // Either order within one search: the device stays where it was, the other is reported.
  for (int order = 0; order < 2; ++order) {
    SCOPED_TRACE(order);
    const size_t mark = w.net.sentByTool.size();
    Offer(StatusAnswer(kCtrlId, 3), order ? kIp : other);
    Offer(StatusAnswer(kCtrlId, 3), order ? other : kIp);
    set.Search();
    EXPECT_EQ(set.dev[0].IpText(), kIp);
    EXPECT_EQ(set.dev[0].Ip2Text(), other);
    EXPECT_EQ(set.dev[0].ListText(),
              " K01_00123,  192.168.1.10,  Instalacja,  drugi adres: 192.168.1.66");
    EXPECT_EQ(TwoAddressText(set.dev[0]),
              "K01_00123 odpowiada z dwóch adresów: 192.168.1.10, 192.168.1.66");
    EXPECT_EQ(set.TwoAddressStatus(), TwoAddressText(set.dev[0]));
    for (size_t i = mark; i < w.net.sentByTool.size(); ++i)
      EXPECT_NE(w.net.sentByTool[i].to, other) << "a frame went to the second address";
    // Repeats of either answer change nothing more.
    Offer(StatusAnswer(kCtrlId, 3), other);
    Offer(StatusAnswer(kCtrlId, 3));
    EXPECT_FALSE(set.Collect(0));
    set.dev[0].status = 2;
  }
  // A search in which the device is silent leaves the report; the next search in which only
  // the device answers clears it.
  set.Search();
  EXPECT_EQ(set.dev[0].Ip2Text(), other);
  Offer(StatusAnswer(kCtrlId, 2));
  set.Search();
  EXPECT_EQ(set.dev[0].ip2, 0u);
  EXPECT_EQ(set.TwoAddressStatus(), "");
  EXPECT_EQ(set.dev[0].ListText(), " K01_00123,  192.168.1.10,  Serwis");
}

TEST_F(CollectTest, AddressIsPinnedWhileTheProgramHoldsTheSession) {
  const std::string other = "192.168.1.66";
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  set.Search();
  ASSERT_EQ(set.count, 1);
  UdpDev& d = set.dev[0];
  d.OpenSession();
  // Another host answers alone in a new search, and again between searches.
  sim.faults.offline = true;
  Offer(StatusAnswer(kCtrlId, 2), other);
  set.Search();
  EXPECT_EQ(d.IpText(), kIp);
  EXPECT_EQ(d.Ip2Text(), other);
  Offer(StatusAnswer(kCtrlId, 2), "192.168.1.67");
  set.Collect(0);
  EXPECT_EQ(d.IpText(), kIp);
  sim.faults.offline = false;
  d.Command('S', 0, nullptr);
  EXPECT_TRUE(sim.SessionOpen(w.clock.now));
  for (const NetDatagram& s : w.net.sentByTool)
    EXPECT_TRUE(s.to == kIp || s.to == "255.255.255.255") << s.to;
  // Without the session, an address the device alone answers from in a search is taken.
  d.EndSession();
  ASSERT_FALSE(d.session);
  sim.faults.offline = true;
  Offer(StatusAnswer(kCtrlId, 2), other);
  set.Search();
  EXPECT_EQ(d.IpText(), other);
  EXPECT_EQ(d.ip2, 0u);
  EXPECT_EQ(w.SentTo(other).size(), 1u);  // its time frame
}

TEST_F(CollectTest, NoSessionIsOpenedWithADeviceAnsweringFromTwoAddresses) {
  // Found in one search at two addresses, the other host first: neither gets a 'K'.
  const std::string other = "192.168.1.66";
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  Offer(StatusAnswer(kCtrlId, 2), other);
  set.Search();
  ASSERT_EQ(set.count, 1);
  UdpDev& d = set.dev[0];
  EXPECT_EQ(d.IpText(), other);
  EXPECT_EQ(d.Ip2Text(), kIp);
  auto cfg = std::make_unique<CtrlCfg>();
  ClearCfg(*cfg);
  try {
    d.ReadConfig(*cfg);
    ADD_FAILURE() << "a session was opened";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "K01_00123 odpowiada z dwóch adresów: 192.168.1.66, 192.168.1.10");
  }
  EXPECT_FALSE(d.PollDevList(*cfg));
  EXPECT_FALSE(d.session);
  EXPECT_EQ(w.Letters(other).find('K'), std::string::npos) << w.Letters(other);
  EXPECT_EQ(w.Letters(kIp).find('K'), std::string::npos) << w.Letters(kIp);
}

// --- Who may move a device, and what every answer seen counts for -------------------------

TEST_F(CollectTest, OnlyASearchMovesAKnownDeviceAndSwappedDevicesBothMove) {
  const std::string other = "192.168.1.66";
  const uint32_t k6 = MakeId(327, 6), k5 = MakeId(327, 5);
  SimDevice& c6 = w.net.AddDevice(k6, kCtrlIp, 2);
  SimDevice& c5 = w.net.AddDevice(k5, 0xC0A8010Bu, 2);  // 192.168.1.11
  set.Search(kLateAnswerMs);
  ASSERT_EQ(set.count, 2);
  const UdpDev& d6 = *set.Find(k6);
  // K27_00006 misses a search; back again, another host sends one answer in its name.
  c6.faults.offline = true;
  set.Search(kLateAnswerMs);
  c6.faults.offline = false;
  Offer(StatusAnswer(k6, 2), other);
  EXPECT_TRUE(set.Collect(0));
  EXPECT_EQ(d6.IpText(), kIp);
  EXPECT_EQ(d6.ListText(), " K27_00006,  192.168.1.10,  Serwis,  drugi adres: 192.168.1.66");
  UdpDev& pick = set.dev[set.Find(k6) - set.dev];
  EXPECT_THROW(pick.EnsureSession(), std::runtime_error);
  EXPECT_EQ(w.Letters(other).find('K'), std::string::npos) << w.Letters(other);
  // The next search hears it from its own address alone: the report is gone.
  set.Search();
  EXPECT_EQ(d6.ip2, 0u);
  // Two controllers swap addresses (a DHCP lease): both move at the next search.
  std::swap(c6.ip, c5.ip);
  set.Search(kLateAnswerMs);
  EXPECT_EQ(set.Find(k6)->IpText(), "192.168.1.11");
  EXPECT_EQ(set.Find(k5)->IpText(), kIp);
  EXPECT_EQ(set.Find(k6)->ip2 | set.Find(k5)->ip2, 0u);
  EXPECT_EQ(set.TwoAddressStatus(), "");
}

TEST_F(CollectTest, AnswersARequestDrainsOrSkipsCountForTheTwoAddressRule) {
  const std::string other = "192.168.1.66";
  const uint32_t newcomer = MakeId(301, 1);  // sorts before the controller
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  set.Search();
  ASSERT_EQ(set.count, 1);
  UdpDev& d = set.dev[0];
  // Queued before the status query (drained), and arriving during its wait (skipped).
  Offer(StatusAnswer(kCtrlId, 2), other);
  w.net.Inject(StatusAnswer(newcomer, 2), "192.168.1.77", w.clock.now + 0);
  sim.faults.delayMs = 50;
  w.net.Inject(StatusAnswer(kCtrlId, 2), "192.168.1.67", w.clock.now + 20);
  EXPECT_TRUE(d.ReadStatus());
  // Nothing moved and no record shifted under the request; the second address is known.
  EXPECT_EQ(set.dev[0].id, kCtrlId);
  EXPECT_EQ(d.IpText(), kIp);
  EXPECT_NE(d.ip2, 0u);
  EXPECT_THROW(d.EnsureSession(), std::runtime_error);
  for (const std::string& host : {other, std::string("192.168.1.67")})
    EXPECT_EQ(w.Letters(host), "") << host;
  // The device nobody knew is taken by the next collection.
  set.Collect(0);
  ASSERT_EQ(set.count, 2);
  EXPECT_EQ(set.dev[0].id, newcomer);
}

// A second address a request came across is news for the list: the next collection says the
// set changed (so the window redraws the line with "drugi adres"), once.
TEST_F(CollectTest, ASecondAddressARequestSkipsMakesTheNextCollectionReportAChange) {
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  set.Search();
  ASSERT_EQ(set.count, 1);
  EXPECT_FALSE(set.Collect(0));
  Offer(StatusAnswer(kCtrlId, 2), "192.168.1.66");
  EXPECT_TRUE(set.dev[0].ReadStatus());
  EXPECT_NE(set.dev[0].ip2, 0u);
  EXPECT_TRUE(set.Collect(0));
  EXPECT_FALSE(set.Collect(0));
}

TEST_F(CollectTest, OneHostCannotFillTheSetAndAFullSetIsReportedOnce) {
  const std::string host = "192.168.1.66";
  // One address answering a search with a hundred identifiers, and again between searches.
  for (uint32_t i = 0; i < 100; ++i) Offer(StatusAnswer(MakeId(327, 100 + i), 2), host);
  set.Search();
  for (uint32_t i = 0; i < 100; ++i) Offer(StatusAnswer(MakeId(327, 300 + i), 2), host);
  set.Collect(0);
  EXPECT_EQ(set.count, 1);
  EXPECT_EQ(set.TakeNotices(),
            (std::vector<std::string>{"192.168.1.66 odpowiada jako K27_00100 i K27_00101"}));
  // A controller found later still gets its place.
  w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  set.Search();
  EXPECT_NE(set.Find(kCtrlId), nullptr);
  // Filled by a hundred addresses, the set says so once.
  for (uint32_t i = 0; i < 100; ++i)
    Offer(StatusAnswer(MakeId(327, 500 + i), 2), "10.1.0." + std::to_string(i + 1));
  set.Collect(0);
  set.Collect(0);
  Offer(StatusAnswer(MakeId(327, 700), 2), "10.1.1.1");
  set.Search();
  EXPECT_EQ(set.count, kMaxDevices);
  EXPECT_EQ(set.TakeNotices(), std::vector<std::string>{FullSetText()});
  EXPECT_EQ(FullSetText(),
            "zbiór urządzeń jest pełny (100 urządzeń, tyle obsługuje protokół); dalsze "
            "urządzenia pominięto.");
}

}  // namespace
