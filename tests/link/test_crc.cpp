// CRC-32 of the unauthenticated frames (MPEG-2 parameters).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "link/udpdev.h"

namespace {

// Bit-at-a-time definition, to check the table-driven one against.
uint32_t BitwiseCrc(const uint8_t* p, size_t n, uint32_t crc) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= uint32_t(p[i]) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

TEST(Crc32, CheckValueOfTheDigits) {
  const char* digits = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(digits), 9), 0x0376E6E7u);
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(digits), 9, 0xFFFFFFFFu), 0x0376E6E7u);
}

TEST(Crc32, DiscoveryRequestEndsWithItsCrcLittleEndian) {
  const uint8_t head[8] = {0x4D, 0x4D, 0x44, 0x4F, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint32_t crc = Crc32(head, 8);
  EXPECT_EQ(crc, 0x6414F3F8u);
  uint8_t tail[4];
  PutU32(tail, crc);
  const uint8_t want[4] = {0xF8, 0xF3, 0x14, 0x64};
  EXPECT_EQ(std::memcmp(tail, want, 4), 0);
}

TEST(Crc32, EmptyInputReturnsTheStartValue) {
  EXPECT_EQ(Crc32(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Crc32(nullptr, 0, 0x12345678u), 0x12345678u);
}

TEST(Crc32, NoFinalXorAndNoReflection) {
  // A zero register stays zero over zero bytes; a reflected or inverted CRC would not.
  const uint8_t zeros[16] = {};
  EXPECT_EQ(Crc32(zeros, sizeof zeros, 0), 0u);
  // A single 0x80 byte from a zero register is the polynomial shifted through seven places.
  const uint8_t top = 0x80;
  EXPECT_EQ(Crc32(&top, 1, 0), BitwiseCrc(&top, 1, 0));
  const uint8_t one = 0x01;
  EXPECT_EQ(Crc32(&one, 1, 0), 0x04C11DB7u);
}

TEST(Crc32, TableMatchesBitwiseDefinitionOnRandomData) {
  std::mt19937 rng(32);
  for (int n = 0; n < 500; ++n) {
    std::vector<uint8_t> data(rng() % 600);
    for (auto& b : data) b = uint8_t(rng());
    const uint32_t start = n % 2 ? 0xFFFFFFFFu : uint32_t(rng());
    ASSERT_EQ(Crc32(data.data(), data.size(), start), BitwiseCrc(data.data(), data.size(), start))
        << n;
  }
}

TEST(Crc32, StartValueChainsAcrossPieces) {
  std::vector<uint8_t> data(1000);
  std::mt19937 rng(7);
  for (auto& b : data) b = uint8_t(rng());
  const uint32_t whole = Crc32(data.data(), data.size());
  for (size_t cut : {0, 1, 4, 333, 999, 1000})
    EXPECT_EQ(Crc32(data.data() + cut, data.size() - cut, Crc32(data.data(), cut)), whole) << cut;
}

TEST(Crc32, DetectsEverySingleBitFlipOfAFrame) {
  uint8_t frame[28] = {'M', 'M', 'D', 'O', 0x39, 0x30, 0x2C, 0x21};
  for (int i = 8; i < 24; ++i) frame[i] = uint8_t(i * 7);
  const uint32_t good = Crc32(frame, 24);
  for (int bit = 0; bit < 24 * 8; ++bit) {
    frame[bit / 8] ^= uint8_t(1 << (bit % 8));
    EXPECT_NE(Crc32(frame, 24), good) << bit;
    frame[bit / 8] ^= uint8_t(1 << (bit % 8));
  }
}

}  // namespace
