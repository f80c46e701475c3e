// AES-128 (FIPS-197) and AES-CMAC (NIST SP 800-38B, RFC 4493) for frame signatures.
#pragma once
#include <cstddef>
#include <cstdint>

class Coder {
 public:
  int blockSize = 16;
  virtual void Encrypt(uint8_t* block) = 0;
  virtual void Decrypt(uint8_t* block) = 0;

 protected:
  ~Coder() = default;
};

class AES : public Coder {
 public:
  int nk = 4;
  int nr = 10;
  uint8_t roundKeys[60][4] = {};
  void SetKey(const uint8_t* key);  // 4 * nk bytes
  void Encrypt(uint8_t* block) override;
  void Decrypt(uint8_t* block) override;

 protected:
  ~AES() = default;
};

class AES128 final : public AES {
 public:
  AES128() {
    blockSize = 16;
    nk = 4;
    nr = 10;
  }
};

class Cmac {
 public:
  explicit Cmac(Coder* c) : cipher(c) {}
  Coder* cipher;
  unsigned fill = 0;
  uint8_t part[16] = {};
  uint8_t chain[16] = {};
  void Init();
  void Update(const uint8_t* bytes, size_t n);
  void Final(uint8_t* out) const;  // blockSize bytes; leaves the object unchanged
};

// The one cipher and signer of the link, re-keyed for every exchange.
AES128& LinkAes();
Cmac& LinkCmac();
