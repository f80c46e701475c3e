// In-memory network for the link's fuzz targets: the link talks to a MemNet in virtual time,
// and the fuzzer's datagrams are injected as if devices had sent them.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "link/crypto.h"
#include "link/udpdev.h"
#include "sim/memnet.h"

struct FuzzNet {
  VirtualClock clock;
  MemNet net{clock, 1};
  FuzzNet() {
    LinkSetEndpoint(&net);
    LinkSetClock(&clock);
  }
  ~FuzzNet() {
    LinkSetEndpoint(nullptr);
    LinkSetClock(nullptr);
  }
  FuzzNet(const FuzzNet&) = delete;
  FuzzNet& operator=(const FuzzNet&) = delete;
};

inline void AppendCrc(std::vector<uint8_t>& f) {
  const uint32_t crc = Crc32(f.data(), f.size());
  f.resize(f.size() + 4);
  PutU32(f.data() + f.size() - 4, crc);
}

inline bool CrcOk(const std::vector<uint8_t>& f) {
  return f.size() >= 4 && Crc32(f.data(), f.size() - 4) == GetU32(f.data() + f.size() - 4);
}

// First 8 bytes of the AES-CMAC tag of bytes under key, computed on a cipher of our own so
// the link's shared instances are not disturbed.
inline void Sign8(const uint8_t key[16], const uint8_t* bytes, size_t n, uint8_t out[8]) {
  static AES128 aes;
  static Cmac mac(&aes);
  aes.SetKey(key);
  mac.Init();
  mac.Update(bytes, n);
  uint8_t tag[16];
  mac.Final(tag);
  std::memcpy(out, tag, 8);
}

// Loopback-style sender texts; nothing leaves the process.
inline const char* SenderText(unsigned i) {
  static const char* const kSenders[] = {"127.0.0.1",   "127.0.0.2", "127.1.2.3",
                                         "127.0.0.254", "127.9.8.7", "127.200.100.50"};
  return kSenders[i % (sizeof kSenders / sizeof kSenders[0])];
}
