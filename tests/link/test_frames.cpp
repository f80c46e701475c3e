// Frames without a session: layouts, device texts, the send-and-wait step, requests and
// the status query.
#include <gtest/gtest.h>

#include "linkworld.h"

namespace {

const std::string kIp = "192.168.1.10";

TEST(Frames, DiscoveryRequestIsAlwaysTheSameTwelveBytes) {
  uint8_t f[12];
  BuildRequest('O', kBroadcastId, f);
  const Bytes expect = {0x4D, 0x4D, 0x44, 0x4F, 0xFF, 0xFF, 0xFF, 0xFF, 0xF8, 0xF3, 0x14, 0x64};
  EXPECT_EQ(Bytes(f, f + 12), expect);
}

TEST(Frames, RequestCarriesLetterIdLittleEndianAndCrc) {
  uint8_t f[12];
  BuildRequest('K', 0x23012345u, f);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f), 4), "MMDK");
  EXPECT_EQ(f[4], 0x45);
  EXPECT_EQ(f[5], 0x23);
  EXPECT_EQ(f[6], 0x01);
  EXPECT_EQ(f[7], 0x23);
  EXPECT_EQ(GetU32(f + 8), Crc32(f, 8));
}

TEST(Frames, TimeFrameLayout) {
  uint8_t f[16];
  BuildTimeFrame(kCtrlId, 0x65432100u, f);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(f), 4), "MMDT");
  EXPECT_EQ(GetU32(f + 4), kCtrlId);
  EXPECT_EQ(GetU32(f + 8), 0x65432100u);
  EXPECT_EQ(GetU32(f + 12), Crc32(f, 12));
}

TEST(Frames, ParseIpPutsTheFirstNumberHighest) {
  EXPECT_EQ(ParseIp("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(ParseIp("10.0.0.255"), 0x0A0000FFu);
  EXPECT_EQ(ParseIp("0.0.0.0"), 0u);
  EXPECT_EQ(ParseIp("255.255.255.255"), 0xFFFFFFFFu);
  // Malformed text gives a value, never a crash or a read past the text.
  EXPECT_EQ(ParseIp(""), 0u);
  EXPECT_EQ(ParseIp(nullptr), 0u);
  EXPECT_EQ(ParseIp("1.2.3"), 0x01020300u);
}

TEST(DeviceRecord, DefaultIsAllZeroAndConstructorIsOnline) {
  const UdpDev z;
  EXPECT_EQ(z.id, 0u);
  EXPECT_EQ(z.ip, 0u);
  EXPECT_EQ(z.seq, 0);
  EXPECT_EQ(z.status, 0);
  EXPECT_FALSE(z.online);
  EXPECT_FALSE(z.session);
  const UdpDev d(kCtrlId, kCtrlIp, 0x83);
  EXPECT_EQ(d.id, kCtrlId);
  EXPECT_EQ(d.ip, kCtrlIp);
  EXPECT_EQ(d.status, 0x83);
  EXPECT_TRUE(d.online);
  EXPECT_FALSE(d.changed);
  EXPECT_FALSE(d.session);
  EXPECT_EQ(d.seq, 0);
}

TEST(DeviceRecord, Texts) {
  UdpDev d(kCtrlId, kCtrlIp, 2);
  EXPECT_EQ(d.IpText(), "192.168.1.10");
  EXPECT_EQ(d.ModeText(), "Serwis");
  EXPECT_EQ(d.ListText(), " K01_00123,  192.168.1.10,  Serwis");
  const char* names[4] = {"Blokada", "Konfiguracja", "Serwis", "Instalacja"};
  for (int m = 0; m < 4; ++m) {
    d.status = uint16_t(0x80 | 0x0C | m);  // bits above 0-1 do not change the mode
    EXPECT_EQ(d.ModeText(), names[m]);
  }
  d.online = false;
  EXPECT_EQ(d.ModeText(), "Niedostępny");
  EXPECT_EQ(d.ListText(), " K01_00123,  192.168.1.10,  Niedostępny");
  d.ip = 0xFFFFFFFFu;
  EXPECT_EQ(d.IpText(), "255.255.255.255");
}

class SendAndWaitTest : public ::testing::Test {
 protected:
  LinkWorld w;
  UdpDev dev{kCtrlId, kCtrlIp, 2};
  uint8_t req[12];
  void SetUp() override { BuildRequest('O', kCtrlId, req); }
};

TEST_F(SendAndWaitTest, SkipsForeignDatagramsAndAcceptsTheMatch) {
  const int64_t t = w.clock.now;
  w.net.Inject(Bytes(15, 'M'), kIp, t + 5);                         // too short
  w.net.Inject(StatusAnswer(kCtrlId, 2, '1', "MMDK"), kIp, t + 6);  // other tag
  w.net.Inject(StatusAnswer(kCtrlId + 1, 2), kIp, t + 7);           // other device
  w.net.Inject(StatusAnswer(kCtrlId, 3), "10.9.9.9", t + 8);        // another address
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 9);
  const size_t n = dev.SendAndWait("MMDO", 0, req, sizeof req);
  ASSERT_EQ(n, 28u);
  EXPECT_EQ(LinkAnswerBuffer()[10], 2);
  EXPECT_EQ(w.clock.now - t, 9);
  ASSERT_EQ(w.SentTo(kIp).size(), 1u);
  EXPECT_EQ(w.SentTo(kIp)[0], Bytes(req, req + 12));
}

TEST_F(SendAndWaitTest, LetterEchoAndMinimumLengthAreChecked) {
  const int64_t t = w.clock.now;
  Bytes wrongEcho(19, 0), shortEcho(18, 0), good(20, 0);
  for (Bytes* b : {&wrongEcho, &shortEcho, &good}) {
    std::memcpy(b->data(), "MMDC", 4);
    PutU32(b->data() + 4, kCtrlId);
    (*b)[10] = 'D' | 0x80;
  }
  wrongEcho[10] = 'C' | 0x80;
  w.net.Inject(wrongEcho, kIp, t + 1);
  w.net.Inject(shortEcho, kIp, t + 2);
  w.net.Inject(good, kIp, t + 3);
  EXPECT_EQ(dev.SendAndWait("MMDC", 'D', req, sizeof req), 20u);
}

TEST_F(SendAndWaitTest, NothingArrivesWithinTheWait) {
  const int64_t t = w.clock.now;
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 201);  // just too late
  EXPECT_EQ(dev.SendAndWait("MMDO", 0, req, sizeof req), 0u);
  EXPECT_EQ(w.clock.now - t, 200);
}

TEST_F(SendAndWaitTest, IgnoredDatagramDoesNotStartAFreshWait) {
  const int64_t t = w.clock.now;
  w.net.Inject(Bytes(40, 0xEE), kIp, t + 150);
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 300);  // inside a fresh wait, not ours
  EXPECT_EQ(dev.SendAndWait("MMDO", 0, req, sizeof req), 0u);
  EXPECT_EQ(w.clock.now - t, 200);
}

TEST_F(SendAndWaitTest, JunkFloodDoesNotExtendTheWaitBeyondItsDeadline) {
  const int64_t t = w.clock.now;
  for (int i = 1; i <= 300; ++i) w.net.Inject(Bytes(40, 0xEE), kIp, t + 10 * i);
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 250);  // behind the deadline
  EXPECT_EQ(dev.SendAndWait("MMDO", 0, req, sizeof req), 0u);
  EXPECT_EQ(w.clock.now - t, 200);
  EXPECT_LE(w.net.longestWaitMs, 200);
}

TEST_F(SendAndWaitTest, JunkAlreadyQueuedDoesNotHoldTheWaitOpen) {
  const int64_t t = w.clock.now;
  // Every datagram is due at once; the clock does not move while they are drained, so
  // only a count or deadline could stop the loop. The wait ends when the answer is due.
  for (int i = 0; i < 1000; ++i) w.net.Inject(Bytes(30, 1), kIp, t);
  w.net.Inject(StatusAnswer(kCtrlId, 2), kIp, t + 100);
  EXPECT_EQ(dev.SendAndWait("MMDO", 0, req, sizeof req), 28u);
  EXPECT_EQ(w.clock.now - t, 100);
}

class RequestTest : public ::testing::Test {
 protected:
  LinkWorld w;
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  UdpDev dev{kCtrlId, kCtrlIp, 2};
  size_t Sent() const { return w.SentTo(kIp).size(); }
};

TEST_F(RequestTest, OnlineDeviceGetsThreeAttemptsOfflineOne) {
  sim.faults.offline = true;
  uint8_t out[16];
  EXPECT_EQ(dev.Request('O', 16, out), 0);
  EXPECT_EQ(Sent(), 3u);
  dev.online = false;
  EXPECT_EQ(dev.Request('O', 16, out), 0);
  EXPECT_EQ(Sent(), 4u);
}

TEST_F(RequestTest, BadCrcCostsOneAttempt) {
  sim.faults.badCrcNext = 1;
  uint8_t out[16] = {};
  EXPECT_EQ(dev.Request('O', 16, out), 16);
  EXPECT_EQ(Sent(), 2u);
  EXPECT_EQ(out[3], '1');
  EXPECT_EQ(sim.received.size(), 2u);
}

TEST_F(RequestTest, DataLengthMayExceedTheCopiedMaximum) {
  uint8_t out[8];
  std::memset(out, 0xAA, sizeof out);
  EXPECT_EQ(dev.Request('O', 4, out), 16);
  EXPECT_EQ(out[2], sim.StatusByte(w.clock.now));
  EXPECT_EQ(out[3], '1');
  EXPECT_EQ(out[4], 0xAA);  // nothing beyond the maximum
}

TEST_F(RequestTest, ZeroMaximumCopiesNothing) {
  uint8_t out[4] = {7, 7, 7, 7};
  EXPECT_EQ(dev.Request('O', 0, out), 16);
  EXPECT_EQ(out[0], 7);
}

class StatusTest : public RequestTest {};

TEST_F(StatusTest, AnswerStoresStatusAndMarksChange) {
  sim.mode = 3;
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_TRUE(dev.online);
  EXPECT_TRUE(dev.changed);
  EXPECT_EQ(dev.status, 3);
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_FALSE(dev.changed);
}

TEST_F(StatusTest, WrongDigitCountsAsNoAnswer) {
  sim.faults.statusDigit = '0';
  EXPECT_FALSE(dev.ReadStatus());
  EXPECT_FALSE(dev.online);
  EXPECT_TRUE(dev.changed);
  EXPECT_EQ(dev.status, 2);  // kept
  EXPECT_EQ(Sent(), 1u);     // a well-formed answer ends the request; the query rejects it
  EXPECT_FALSE(dev.ReadStatus());
  EXPECT_FALSE(dev.changed);  // was already offline
  EXPECT_EQ(Sent(), 2u);
  sim.faults.statusDigit = '1';
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_TRUE(dev.online);
  EXPECT_TRUE(dev.changed);
}

TEST_F(StatusTest, ShortStatusDataCountsAsNoAnswer) {
  sim.faults.offline = true;
  // A valid CRC but only 12 data bytes.
  Bytes b(20, 0);
  std::memcpy(b.data(), "MMDO", 4);
  PutU32(b.data() + 4, kCtrlId);
  b[10] = 2;
  b[11] = '1';
  for (int i = 0; i < 3; ++i) w.net.Inject(Crc(b), kIp, w.clock.now + 1 + 200 * i);
  EXPECT_FALSE(dev.ReadStatus());
  EXPECT_FALSE(dev.online);
}

TEST_F(StatusTest, BitSevenClearEndsTheOwnSessionFlagOnly) {
  dev.session = true;
  dev.status = 0x82;
  EXPECT_TRUE(dev.ReadStatus());  // the simulator holds no session: bit 7 clear
  EXPECT_FALSE(dev.session);
  EXPECT_TRUE(dev.changed);
  sim.foreignSession = true;
  dev.session = true;
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_TRUE(dev.session);  // bit 7 set keeps it
  EXPECT_EQ(dev.status, 0x82);
}

TEST_F(StatusTest, FailureKeepsStatusAndSession) {
  dev.status = 0x83;
  dev.session = true;
  sim.faults.offline = true;
  EXPECT_FALSE(dev.ReadStatus());
  EXPECT_EQ(dev.status, 0x83);
  EXPECT_TRUE(dev.session);
}

TEST_F(StatusTest, EndpointFailureReachesTheCaller) {
  w.net.failure = "Network is unreachable";
  EXPECT_THROW(dev.ReadStatus(), std::runtime_error);
}

}  // namespace
