// The Winsock endpoint over loopback: the exclusive bind, datagrams with their sender, the
// time-out, and the local networks from the adapters' list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/win_endpoint.h"

namespace {

constexpr uint16_t kPortA = 45391, kPortB = 45392;

TEST(WinEndpoint, ASecondProgramOnThePortFailsWithTheSystemsMessage) {
  WinEndpoint first(kPortA, kPortB);
  ASSERT_TRUE(first.ok()) << first.error();
  WinEndpoint second(kPortA, kPortB);
  EXPECT_FALSE(second.ok());
  EXPECT_TRUE(second.portInUse());
  EXPECT_FALSE(second.error().empty());
  uint8_t buf[16];
  try {
    second.Receive(buf, sizeof buf, 0, nullptr);
    ADD_FAILURE() << "a socket that was not bound received";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), second.error());
  }
  EXPECT_FALSE(first.portInUse());
}

TEST(WinEndpoint, DatagramsArriveWholeWithTheirSender) {
  WinEndpoint a(kPortA, kPortB), b(kPortB, kPortA);
  ASSERT_TRUE(a.ok() && b.ok()) << a.error() << b.error();
  EXPECT_EQ(a.DestPort(), kPortB);
  uint8_t buf[kRecvBufSize];
  char sender[kIpTextSize] = "x";
  // Nothing queued: none, and the sender is cleared.
  EXPECT_EQ(b.Receive(buf, sizeof buf, 50, sender), 0u);
  EXPECT_STREQ(sender, "");
  for (size_t len : {size_t(1), size_t(12), size_t(1400), size_t(8192)}) {
    std::string msg(len, '\0');
    for (size_t i = 0; i < len; ++i) msg[i] = char('A' + (i * 7 + len) % 26);
    a.Send("127.0.0.1", kPortB, reinterpret_cast<const uint8_t*>(msg.data()), len);
    ASSERT_EQ(b.Receive(buf, sizeof buf, 2000, sender), len);
    EXPECT_EQ(std::memcmp(buf, msg.data(), len), 0);
    EXPECT_STREQ(sender, "127.0.0.1");
  }
  // Longer than the buffer: its first bytes.
  const std::string big(100, 'Z');
  a.Send("127.0.0.1", kPortB, reinterpret_cast<const uint8_t*>(big.data()), big.size());
  EXPECT_EQ(b.Receive(buf, 10, 2000, nullptr), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), std::string(10, 'Z'));
  // A datagram to a port nobody holds brings an ICMP error back; the next receive still works.
  a.Send("127.0.0.1", 45399, buf, 4);
  EXPECT_EQ(a.Receive(buf, sizeof buf, 50, nullptr), 0u);
  b.Send("127.0.0.1", kPortA, reinterpret_cast<const uint8_t*>("ok"), 2);
  EXPECT_EQ(a.Receive(buf, sizeof buf, 2000, nullptr), 2u);
  EXPECT_THROW(a.Send("10.0.0.300", kPortB, buf, 1), std::runtime_error);
}

TEST(WinEndpoint, LocalNetsHoldTheLoopbackNetwork) {
  WinEndpoint a(kPortA, kPortB);
  bool loopback = false;
  for (const LocalNet& n : a.LocalNets())
    loopback = loopback || (n.addr == 0x7F000001u && n.mask == 0xFF000000u);
  EXPECT_TRUE(loopback);
  // Interfaces a broadcast leaves through are never the loopback.
  for (const WinBroadcastIf& i : WinInterfaces()) EXPECT_NE(i.addr >> 24, 127u);
}

}  // namespace
