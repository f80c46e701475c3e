// Shared fixture of the link tests: an in-memory segment in virtual time, wired as the
// link's endpoint and clock, plus independent (OpenSSL) signing to check frames against.
#pragma once
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/devname.h"
#include "link/udpdev.h"
#include "memnet.h"

using Bytes = std::vector<uint8_t>;

// A controller K01_00123, and a few other devices.
constexpr uint32_t kCtrlId = MakeId(301, 123);
constexpr uint32_t kCtrlIp = 0xC0A8010Au;  // 192.168.1.10
constexpr uint32_t kReaderId = MakeId(101, 9);

inline Bytes Crc(Bytes b) {
  const uint32_t c = Crc32(b.data(), b.size());
  b.resize(b.size() + 4);
  PutU32(b.data() + b.size() - 4, c);
  return b;
}

// A 28-byte discovery/status answer, CRC included.
inline Bytes StatusAnswer(uint32_t id, uint8_t status, uint8_t digit = '1',
                          const char* tag = "MMDO") {
  Bytes b(24, 0);
  std::memcpy(b.data(), tag, 4);
  PutU32(b.data() + 4, id);
  b[10] = status;
  b[11] = digit;
  return Crc(b);
}

inline Bytes OsslCmac8(const uint8_t key[16], const uint8_t* msg, size_t n) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  uint8_t out[16] = {};
  size_t len = 0;
  EVP_MAC_init(ctx, key, 16, params);
  EVP_MAC_update(ctx, msg, n);
  EVP_MAC_final(ctx, out, &len, sizeof out);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return Bytes(out, out + 8);
}

inline Bytes OsslAesEcb(const uint8_t key[16], const uint8_t block[16]) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  uint8_t out[32] = {};
  int len = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out, &len, block, 16);
  EVP_CIPHER_CTX_free(ctx);
  return Bytes(out, out + 16);
}

// A signed answer as a controller would send it, signed under key.
inline Bytes SignedAnswer(uint32_t id, char letter, const Bytes& data, const uint8_t key[16]) {
  // Header in an array, frame appended in one pass (see SimTest::Frame on GCC 12 at -O3).
  uint8_t head[11] = {};
  std::memcpy(head, "MMDC", 4);
  PutU32(head + 4, id);
  head[10] = uint8_t(letter) | 0x80;
  Bytes b;
  b.reserve(sizeof head + data.size() + 8);
  for (uint8_t x : head) b.push_back(x);
  for (uint8_t x : data) b.push_back(x);
  const Bytes sig = OsslCmac8(key, b.data(), b.size());
  for (uint8_t x : sig) b.push_back(x);
  return b;
}

// Verifies the signature of a frame the tool sent, independently of the link's own signer.
inline bool SignedWith(const Bytes& frame, const uint8_t key[16]) {
  if (frame.size() < 19) return false;
  const Bytes sig = OsslCmac8(key, frame.data(), frame.size() - 8);
  return std::memcmp(sig.data(), frame.data() + frame.size() - 8, 8) == 0;
}

struct LinkWorld {
  VirtualClock clock;
  MemNet net{clock};
  LinkWorld() {
    LinkSetEndpoint(&net);
    LinkSetClock(&clock);
  }
  ~LinkWorld() {
    LinkSetEndpoint(nullptr);
    LinkSetClock(nullptr);
  }
  // Datagrams the tool sent to one address since index `from` of sentByTool.
  std::vector<Bytes> SentTo(const std::string& to, size_t from = 0) const {
    std::vector<Bytes> out;
    for (size_t i = from; i < net.sentByTool.size(); ++i)
      if (net.sentByTool[i].to == to) out.push_back(net.sentByTool[i].bytes);
    return out;
  }
  // Letters of what the tool sent to one address: byte 3 of unauthenticated frames, the
  // command letter (byte 10) of signed ones; "OKDC" is a status query, key request, D and C.
  std::string Letters(const std::string& to, size_t from = 0) const {
    std::string s;
    for (const Bytes& b : SentTo(to, from)) {
      if (b.size() < 4) continue;
      if (b[3] == 'C' && b.size() >= 19)
        s += char(b[10]);
      else
        s += char(b[3]);
    }
    return s;
  }
};
