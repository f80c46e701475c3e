// Helpers shared by the fuzz targets: an input cursor and a check that stops the run.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// A violated invariant is a finding: report where and stop with a trap, which libFuzzer
// records as a crash together with the input.
#define FUZZ_CHECK(cond)                                                                \
  do {                                                                                  \
    if (!(cond)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                                 \
    }                                                                                   \
  } while (0)

// Reads the fuzzer's bytes front to back; past the end every read yields zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : p_(data), left_(size) {}
  size_t left() const { return left_; }
  bool empty() const { return left_ == 0; }
  uint8_t U8() {
    if (!left_) return 0;
    --left_;
    return *p_++;
  }
  // Little-endian; each byte read in its own statement, so the order is fixed.
  uint16_t U16() {
    const uint8_t lo = U8();
    const uint8_t hi = U8();
    return uint16_t(lo | (hi << 8));
  }
  uint32_t U32() {
    const uint16_t lo = U16();
    const uint16_t hi = U16();
    return uint32_t(lo) | (uint32_t(hi) << 16);
  }
  bool Bit() { return U8() & 1; }
  // Up to n bytes, fewer at the end of the input.
  std::vector<uint8_t> Bytes(size_t n) {
    if (n > left_) n = left_;
    std::vector<uint8_t> v(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return v;
  }
  std::vector<uint8_t> Rest() { return Bytes(left_); }

 private:
  const uint8_t* p_;
  size_t left_;
};
