// The simulated device and the in-memory network, checked frame by frame with an
// independent signer, so the link tests stand on a device that behaves as documented.
#include <gtest/gtest.h>

#include "linkworld.h"

namespace {

Bytes Req(char letter, uint32_t id) {
  uint8_t f[12];
  BuildRequest(letter, id, f);
  return Bytes(f, f + 12);
}

class SimTest : public ::testing::Test {
 protected:
  SimDevice dev{kCtrlId, kCtrlIp, 3};
  int64_t now = 1000;
  uint8_t key[16] = {};
  uint16_t seq = 0;

  std::vector<SimAnswer> Send(const Bytes& b, bool broadcast = false) {
    std::vector<SimAnswer> out;
    dev.OnDatagram(b.data(), b.size(), broadcast, now, out);
    return out;
  }
  // Opens a session and derives the key from the material, as the tool does.
  void Open() {
    auto a = Send(Req('K', kCtrlId));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(a[0].bytes.size(), 28u);
    const Bytes k = OsslAesEcb(a[0].bytes.data() + 8, a[0].bytes.data() + 8);
    std::memcpy(key, k.data(), 16);
  }
  Bytes Frame(char letter, const Bytes& payload = {}, const uint8_t* signKey = nullptr) {
    // Header built in an array and the frame appended in one pass: GCC 12 at -O3 takes
    // the growth path of insert() on a fresh 11-byte vector for an out-of-bounds copy
    // (-Warray-bounds), which it is not.
    uint8_t head[11];
    std::memcpy(head, "MMDC", 4);
    PutU32(head + 4, kCtrlId);
    PutU16(head + 8, ++seq);
    head[10] = uint8_t(letter);
    Bytes f;
    f.reserve(sizeof head + payload.size() + 8);
    for (uint8_t b : head) f.push_back(b);
    for (uint8_t b : payload) f.push_back(b);
    const Bytes sig = OsslCmac8(signKey ? signKey : key, f.data(), f.size());
    for (uint8_t b : sig) f.push_back(b);
    return f;
  }
  // Sends a signed command and returns the answer data after checking the frame.
  Bytes Signed(char letter, const Bytes& payload = {}) {
    auto a = Send(Frame(letter, payload));
    EXPECT_EQ(a.size(), 1u);
    if (a.size() != 1) return {};
    const Bytes& b = a[0].bytes;
    EXPECT_EQ(std::memcmp(b.data(), "MMDC", 4), 0);
    EXPECT_EQ(GetU32(b.data() + 4), kCtrlId);
    EXPECT_EQ(b[10], uint8_t(letter) | 0x80);
    EXPECT_TRUE(SignedWith(b, key));
    return Bytes(b.begin() + 11, b.end() - 8);
  }
  uint8_t Status() {
    auto a = Send(Req('O', kCtrlId));
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? 0xFF : a[0].bytes[10];
  }
};

TEST_F(SimTest, DiscoveryAndStatusAnswers) {
  auto a = Send(Req('O', kBroadcastId), true);
  ASSERT_EQ(a.size(), 1u);
  const Bytes& b = a[0].bytes;
  ASSERT_EQ(b.size(), 28u);
  EXPECT_EQ(std::memcmp(b.data(), "MMDO", 4), 0);
  EXPECT_EQ(GetU32(b.data() + 4), kCtrlId);
  EXPECT_EQ(GetU32(b.data() + 4) >> 28, 2u);
  EXPECT_EQ(b[10], 3);
  EXPECT_EQ(b[11], '1');
  EXPECT_EQ(GetU32(b.data() + 24), Crc32(b.data(), 24));
  EXPECT_EQ(Status(), 3);
  EXPECT_TRUE(Send(Req('O', kCtrlId + 1)).empty());  // addressed to someone else
  Bytes bad = Req('O', kCtrlId);
  bad[9] ^= 1;
  EXPECT_TRUE(Send(bad).empty());
  EXPECT_EQ(dev.received.size(), 4u);  // recorded whether answered or not
  EXPECT_TRUE(dev.received[0].broadcast);
  EXPECT_EQ(dev.received[0].atMs, 1000);
}

TEST_F(SimTest, KeyOpensASessionShownInBitSeven) {
  EXPECT_EQ(Status() & 0x80, 0);
  Open();
  EXPECT_TRUE(dev.SessionOpen(now));
  EXPECT_EQ(Status(), 0x83);
  // Each key request gives new material.
  auto a = Send(Req('K', kCtrlId));
  auto b = Send(Req('K', kCtrlId));
  EXPECT_NE(a[0].bytes, b[0].bytes);
  EXPECT_EQ(GetU32(a[0].bytes.data() + 24), Crc32(a[0].bytes.data(), 24));
}

TEST_F(SimTest, ForeignSessionRefusesKeysAndShowsBitSeven) {
  dev.foreignSession = true;
  EXPECT_EQ(Status(), 0x83);
  EXPECT_TRUE(Send(Req('K', kCtrlId)).empty());
  EXPECT_FALSE(dev.SessionOpen(now));
}

TEST_F(SimTest, SignedCommandsNeedAValidSignatureAndASession) {
  EXPECT_TRUE(Send(Frame('S')).empty());  // no session
  Open();
  const uint8_t other[16] = {9};
  EXPECT_TRUE(Send(Frame('S', {}, other)).empty());
  Bytes f = Frame('S');
  f[10] = 'F';  // tampered after signing
  EXPECT_TRUE(Send(f).empty());
  EXPECT_EQ(Signed('S'), Bytes{kAck});
  EXPECT_EQ(Signed('?'), Bytes{0x15});
}

TEST_F(SimTest, SilentSessionEndsAfterThirtySeconds) {
  Open();
  now += 20000;
  EXPECT_EQ(Signed('S'), Bytes{kAck});
  now += 29000;
  EXPECT_TRUE(dev.SessionOpen(now));
  EXPECT_EQ(Status() & 0x80, 0x80);
  now += 2000;
  EXPECT_FALSE(dev.SessionOpen(now));
  EXPECT_EQ(Status() & 0x80, 0);
  EXPECT_TRUE(Send(Frame('S')).empty());
}

TEST_F(SimTest, EndOfSession) {
  Open();
  EXPECT_EQ(Signed('s'), Bytes{kAck});  // still signed with the session key
  EXPECT_FALSE(dev.SessionOpen(now));
  EXPECT_EQ(Status() & 0x80, 0);
}

TEST_F(SimTest, DeviceListLayout) {
  dev.AddBusDevice(kCtrlId, 4, 5, 2, false);
  dev.bus.push_back(SimBusDev{});  // an empty slot
  dev.AddBusDevice(kReaderId, 3, 1, 1, true, kStNew | kStTamper, 6);
  Open();
  const Bytes d = Signed('D');
  ASSERT_EQ(d.size(), 2u + 8 * 3);
  EXPECT_EQ(GetU16(d.data()), 3);
  EXPECT_EQ(GetU32(d.data() + 2), kCtrlId);
  EXPECT_EQ(GetU32(d.data() + 6) >> 16, 0xFFFFu);
  EXPECT_EQ(GetU32(d.data() + 10), kReaderId);
  const uint8_t* info = d.data() + 14;
  EXPECT_EQ(info[0], 1);
  EXPECT_EQ(info[1], 0);
  EXPECT_EQ(info[2], 0x80 | 0x20 | 4);
  EXPECT_EQ(info[3], 5);
  EXPECT_EQ(info[8], 6);
  EXPECT_EQ(info[9], kStNew | kStTamper);
  EXPECT_EQ(info[10], 0x80 | 0x40 | 0x10 | 3);
  EXPECT_EQ(info[11], 1);
  EXPECT_EQ(d, dev.DevListPayload(now));
}

// The reader count is sent only by a device with readers: a module with eight OC outputs and
// no reader keeps its outputs in the tool's decoding. One that sends a count of 0 has none.
TEST_F(SimTest, ReaderCountIsSentOnlyForDevicesWithReaders) {
  const uint32_t kModuleId = MakeId(740, 401, 2);
  dev.AddBusDevice(kCtrlId, 4, 4, 2, true);
  dev.AddBusDevice(kModuleId, 8, 8, 0, true);
  dev.AddBusDevice(MakeId(740, 402), 8, 8, 0, true);
  dev.bus.back().readerFieldWithoutReaders = true;
  Open();
  const Bytes d = Signed('D');
  ASSERT_EQ(d.size(), 2u + 8 * 3);
  const uint8_t* info = d.data() + 2 + 4 * 3;
  EXPECT_EQ(info[4 + 2], 0x40 | 8);
  EXPECT_EQ(info[8 + 2], 0x80 | 0x40 | 8);
  auto cfg = std::make_unique<CtrlCfg>();
  ASSERT_TRUE(DecodeDevList(*cfg, d.data(), d.size()));
  EXPECT_EQ(cfg->devs[1].outputCount, 8);
  EXPECT_EQ(cfg->devs[1].ocOutputs, 1);
  EXPECT_EQ(cfg->devs[2].outputCount, 0);
  EXPECT_EQ(cfg->devs[2].readerCount, 0);
}

TEST_F(SimTest, PassageLayoutAndWrite) {
  SimDoor door{};
  for (int i = 0; i < 18; ++i) door.refs[i] = uint16_t(0x0100 + i);
  for (int i = 0; i < 8; ++i) door.params[i] = uint8_t(i + 1);
  dev.doors = {door};
  dev.trainNumber = 0x1234;
  dev.AddBusDevice(kReaderId, 1, 1, 1, false, kStNew);
  Open();
  const Bytes c = Signed('C');
  ASSERT_EQ(c.size(), 2u + 44 + 2);
  EXPECT_EQ(c[0], 1);
  EXPECT_EQ(c[1], 18);
  EXPECT_EQ(GetU16(c.data() + 2), 0x0100);
  EXPECT_EQ(GetU16(c.data() + 2 + 34), 0x0111);
  EXPECT_EQ(c[38], 1);
  EXPECT_EQ(c[45], 8);
  EXPECT_EQ(GetU16(c.data() + 46), 0x1234);
  // Write two passages with a new train number.
  Bytes w = {2, 18};
  for (int i = 0; i < 36; ++i) w.push_back(0), w.push_back(uint8_t(i));
  for (int i = 0; i < 16; ++i) w.push_back(uint8_t(100 + i));
  w.push_back(0x21);
  w.push_back(0x43);
  EXPECT_EQ(Signed('c', w), Bytes{kAck});
  ASSERT_EQ(dev.doors.size(), 2u);
  EXPECT_EQ(dev.doors[1].refs[17], 35 << 8);
  EXPECT_EQ(dev.doors[1].params[7], 115);
  EXPECT_EQ(dev.trainNumber, 0x4321);
  EXPECT_EQ(dev.bus[0].state & kStNew, 0);
  ASSERT_EQ(dev.written.size(), 1u);
  EXPECT_EQ(dev.written[0], w);
  // A malformed payload is refused and changes nothing.
  EXPECT_EQ(Signed('c', {3, 18, 0, 0}), Bytes{0x15});
  EXPECT_EQ(Signed('c', {1, 16}), Bytes{0x15});
  EXPECT_EQ(dev.doors.size(), 2u);
  EXPECT_EQ(dev.written.size(), 1u);
}

TEST_F(SimTest, DeleteLostEmptiesInactiveSlotsOnly) {
  dev.AddBusDevice(kCtrlId, 1, 1, 1, false);
  dev.AddBusDevice(kReaderId, 1, 1, 1, false, kStInactive);
  dev.AddBusDevice(kReaderId + 1, 1, 1, 1, false, kStNew);
  Open();
  EXPECT_EQ(Signed('F'), Bytes{kAck});
  ASSERT_EQ(dev.bus.size(), 3u);
  EXPECT_TRUE(dev.bus[0].present);
  EXPECT_FALSE(dev.bus[1].present);
  EXPECT_TRUE(dev.bus[2].present);
}

TEST_F(SimTest, ReplacementMovesTheNewDeviceIntoTheOldSlot) {
  dev.AddBusDevice(kCtrlId, 1, 1, 1, false);
  dev.AddBusDevice(MakeId(101, 9), 2, 3, 1, true, kStInactive, 4);
  dev.AddBusDevice(MakeId(202, 9), 1, 1, 0, false, kStNew);
  dev.AddBusDevice(MakeId(101, 12, 1), 1, 1, 1, false, kStNew, 1);
  Open();
  EXPECT_EQ(Signed('R', {1, 2}), Bytes{0x15});  // another type code
  EXPECT_EQ(Signed('R', {3, 1}), Bytes{0x15});  // the old one must be inactive
  EXPECT_EQ(Signed('R', {1, 9}), Bytes{0x15});  // no such slot
  EXPECT_EQ(Signed('R', {1, 3}), Bytes{kAck});
  EXPECT_EQ(dev.bus[1].id, MakeId(101, 12, 1));
  EXPECT_EQ(dev.bus[1].suffixNumber, 4);
  EXPECT_EQ(dev.bus[1].outputs, 2);
  EXPECT_TRUE(dev.bus[1].oc);
  EXPECT_FALSE(dev.bus[3].present);
  const Bytes during = dev.DevListPayload(now + 2900);
  EXPECT_EQ(during[2 + 16 + 4 + 1] & kStInactive, kStInactive);
  const Bytes after = dev.DevListPayload(now + 3100);
  EXPECT_EQ(after[2 + 16 + 4 + 1] & kStInactive, 0);
}

TEST_F(SimTest, TimeFrameIsStoredAndUnanswered) {
  uint8_t t[16];
  BuildTimeFrame(kCtrlId, 1700001234u, t);
  EXPECT_TRUE(Send(Bytes(t, t + 16)).empty());
  EXPECT_EQ(dev.lastTime, 1700001234u);
  BuildTimeFrame(kCtrlId + 1, 5, t);
  Send(Bytes(t, t + 16));
  EXPECT_EQ(dev.lastTime, 1700001234u);
}

TEST_F(SimTest, CommandsListsKeysAndSignedLetters) {
  Open();
  Signed('D');
  Status();
  Signed('S');
  EXPECT_EQ(dev.Commands(), (std::vector<char>{'K', 'D', 'S'}));
}

TEST_F(SimTest, FaultKnobs) {
  dev.faults.dropNext = 1;
  EXPECT_TRUE(Send(Req('O', kCtrlId)).empty());
  EXPECT_EQ(Send(Req('O', kCtrlId)).size(), 1u);
  dev.faults.duplicate = 2;
  dev.faults.delayMs = 350;
  auto a = Send(Req('O', kCtrlId));
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[2].delayMs, 350);
  dev.faults.duplicate = 0;
  dev.faults.badCrcNext = 1;
  a = Send(Req('O', kCtrlId));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_NE(GetU32(a[0].bytes.data() + 24), Crc32(a[0].bytes.data(), 24));
  Open();
  dev.faults.badSigNext = 1;
  a = Send(Frame('S'));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_FALSE(SignedWith(a[0].bytes, key));
  dev.faults.noAckFor = 'S';
  EXPECT_EQ(Signed('S'), Bytes{0x15});
  dev.faults.offline = true;
  EXPECT_TRUE(Send(Req('O', kCtrlId)).empty());
}

TEST_F(SimTest, LossRateIsSeededAndRoughlyRight) {
  SimDevice twin(kCtrlId, kCtrlIp, 3);
  dev.faults.lossRate = twin.faults.lossRate = 0.3;
  int lost = 0;
  for (int i = 0; i < 1000; ++i) {
    std::vector<SimAnswer> a, b;
    const Bytes r = Req('O', kCtrlId);
    dev.OnDatagram(r.data(), r.size(), false, now, a);
    twin.OnDatagram(r.data(), r.size(), false, now, b);
    ASSERT_EQ(a.size(), b.size());  // same seed, same fate
    lost += a.empty();
  }
  EXPECT_GT(lost, 230);
  EXPECT_LT(lost, 370);
}

TEST(MemNetTest, ReceiveAdvancesTheClockToTheArrival) {
  VirtualClock clock;
  MemNet net(clock, 3);
  net.AddDevice(kCtrlId, kCtrlIp, 2).faults.delayMs = 40;
  const Bytes r = Req('O', kCtrlId);
  net.Send("192.168.1.10", kQuorinPort, r.data(), r.size());
  net.Send("192.168.1.99", kQuorinPort, r.data(), r.size());  // nobody there
  net.Send("192.168.1.10", 1234, r.data(), r.size());         // wrong port
  EXPECT_EQ(net.sentByTool.size(), 3u);
  EXPECT_EQ(net.Find(kCtrlId)->received.size(), 1u);
  uint8_t buf[64];
  char from[kIpTextSize];
  EXPECT_EQ(net.Receive(buf, sizeof buf, 20, from), 0u);  // due at 43
  EXPECT_EQ(clock.now, 20);
  EXPECT_EQ(net.Receive(buf, sizeof buf, 200, from), 28u);
  EXPECT_EQ(clock.now, 43);
  EXPECT_STREQ(from, "192.168.1.10");
  EXPECT_EQ(net.longestWaitMs, 200);
  EXPECT_EQ(net.Receive(buf, sizeof buf, 0, nullptr), 0u);
  EXPECT_EQ(clock.now, 43);
}

TEST(MemNetTest, BroadcastReachesEveryDeviceAndInjectKeepsOrder) {
  VirtualClock clock;
  MemNet net(clock);
  net.AddDevice(kCtrlId, kCtrlIp, 2);
  net.AddDevice(kReaderId, 0x0A000005u, 1);
  const Bytes r = Req('O', kBroadcastId);
  net.Broadcast(kQuorinPort, r.data(), r.size());
  EXPECT_EQ(net.sentByTool.back().to, "255.255.255.255");
  net.Inject({1}, "10.0.0.9", 0);  // due before the answers
  net.Inject({2}, "10.0.0.9", 1);  // due with them, after them
  uint8_t buf[64];
  char from[kIpTextSize];
  std::vector<std::string> order;
  while (size_t n = net.Receive(buf, sizeof buf, 10, from))
    order.push_back(std::string(from) + ":" + std::to_string(n));
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.9:1", "192.168.1.10:28", "10.0.0.5:28",
                                             "10.0.0.9:1"}));
}

TEST(MemNetTest, FailureThrowsFromEveryOperation) {
  VirtualClock clock;
  MemNet net(clock);
  net.failure = "boom";
  uint8_t b[1] = {0};
  EXPECT_THROW(net.Send("1.2.3.4", kQuorinPort, b, 1), std::runtime_error);
  EXPECT_THROW(net.Broadcast(kQuorinPort, b, 1), std::runtime_error);
  EXPECT_THROW(net.Receive(b, 1, 0, nullptr), std::runtime_error);
}

TEST(MemNetTest, ReceiveTruncatesToTheCallersCapacity) {
  VirtualClock clock;
  MemNet net(clock);
  net.Inject(Bytes(100, 7), "10.0.0.1", 0);
  uint8_t buf[10];
  EXPECT_EQ(net.Receive(buf, sizeof buf, 0, nullptr), 10u);
}

}  // namespace
