// AES-128 against FIPS-197 and the CMAC signer against RFC 4493 and OpenSSL as an oracle.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "link/crypto.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& s) {
  Bytes out;
  std::string digits;
  for (char c : s)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string ToHex(const Bytes& b) {
  return ToHex(b.data(), b.size());
}

// A standalone AES object (LinkAes is shared with the rest of the link).
struct TestAes : AES {
  TestAes(int keyWords, int rounds) {
    nk = keyWords;
    nr = rounds;
  }
};

std::string Tag(Coder* c, const Bytes& msg) {
  Cmac m(c);
  m.Init();
  m.Update(msg.data(), msg.size());
  uint8_t out[16];
  m.Final(out);
  return ToHex(out, size_t(c->blockSize));
}

// --- Cipher --------------------------------------------------------------------------------

TEST(Aes, Fips197AppendixC1EncryptsAndDecrypts) {
  AES128 aes;
  EXPECT_EQ(aes.blockSize, 16);
  EXPECT_EQ(aes.nk, 4);
  EXPECT_EQ(aes.nr, 10);
  const Bytes key = Hex("000102030405060708090a0b0c0d0e0f");
  aes.SetKey(key.data());
  Bytes block = Hex("00112233445566778899aabbccddeeff");
  aes.Encrypt(block.data());
  EXPECT_EQ(ToHex(block), "69c4e0d86a7b0430d8cdb78070b4c55a");
  aes.Decrypt(block.data());
  EXPECT_EQ(ToHex(block), "00112233445566778899aabbccddeeff");
}

TEST(Aes, KeyExpansionMatchesFips197AppendixA1) {
  AES128 aes;
  const Bytes key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  aes.SetKey(key.data());
  EXPECT_EQ(ToHex(aes.roundKeys[0], 4), "2b7e1516");
  EXPECT_EQ(ToHex(aes.roundKeys[4], 4), "a0fafe17");
  EXPECT_EQ(ToHex(aes.roundKeys[8], 4), "f2c295f2");
  EXPECT_EQ(ToHex(aes.roundKeys[9], 4), "7a96b943");
  EXPECT_EQ(ToHex(aes.roundKeys[43], 4), "b6630ca6");
  // Words past the AES-128 schedule stay untouched.
  for (int w = 44; w < 60; ++w) EXPECT_EQ(ToHex(aes.roundKeys[w], 4), "00000000") << w;
}

// The key expansion is general; the longer schedules exercise the nk > 6 SubWord step.
TEST(Aes, LongerKeysMatchFips197AppendixC2AndC3) {
  const Bytes plain = Hex("00112233445566778899aabbccddeeff");
  {
    TestAes aes(6, 12);
    const Bytes key = Hex("000102030405060708090a0b0c0d0e0f1011121314151617");
    aes.SetKey(key.data());
    Bytes b = plain;
    aes.Encrypt(b.data());
    EXPECT_EQ(ToHex(b), "dda97ca4864cdfe06eaf70a0ec0d7191");
    aes.Decrypt(b.data());
    EXPECT_EQ(b, plain);
  }
  {
    TestAes aes(8, 14);
    const Bytes key = Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    aes.SetKey(key.data());
    Bytes b = plain;
    aes.Encrypt(b.data());
    EXPECT_EQ(ToHex(b), "8ea2b7ca516745bfeafc49904b496089");
    aes.Decrypt(b.data());
    EXPECT_EQ(b, plain);
  }
}

TEST(Aes, RandomBlocksMatchOpenSslAndRoundTrip) {
  std::mt19937 rng(4493);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_NE(ctx, nullptr);
  for (int n = 0; n < 2000; ++n) {
    uint8_t key[16], block[16], ref[16];
    for (auto& b : key) b = uint8_t(rng());
    for (auto& b : block) b = uint8_t(rng());
    ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int len = 0;
    ASSERT_EQ(EVP_EncryptUpdate(ctx, ref, &len, block, 16), 1);
    ASSERT_EQ(len, 16);
    AES128 aes;
    aes.SetKey(key);
    uint8_t mine[16];
    std::memcpy(mine, block, 16);
    aes.Encrypt(mine);
    ASSERT_EQ(ToHex(mine, 16), ToHex(ref, 16)) << n;
    aes.Decrypt(mine);
    ASSERT_EQ(ToHex(mine, 16), ToHex(block, 16)) << n;
  }
  EVP_CIPHER_CTX_free(ctx);
}

TEST(Aes, SetKeyReplacesThePreviousKeyCompletely) {
  AES128 a, b;
  const Bytes k1 = Hex("000102030405060708090a0b0c0d0e0f");
  const Bytes k2 = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  a.SetKey(k1.data());
  a.SetKey(k2.data());
  b.SetKey(k2.data());
  EXPECT_EQ(std::memcmp(a.roundKeys, b.roundKeys, sizeof a.roundKeys), 0);
}

// --- CMAC ----------------------------------------------------------------------------------

class Rfc4493 : public ::testing::Test {
 protected:
  void SetUp() override {
    const Bytes key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
    aes.SetKey(key.data());
  }
  AES128 aes;
  const Bytes m64 =
      Hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
  Bytes Prefix(size_t n) const { return Bytes(m64.begin(), m64.begin() + long(n)); }
};

TEST_F(Rfc4493, FourExamples) {
  EXPECT_EQ(Tag(&aes, {}), "bb1d6929e95937287fa37d129b756746");
  EXPECT_EQ(Tag(&aes, Prefix(16)), "070a16b46b4d4144f79bdd9dd04a287c");
  EXPECT_EQ(Tag(&aes, Prefix(40)), "dfa66747de9ae63030ca32611497c827");
  EXPECT_EQ(Tag(&aes, Prefix(64)), "51f0bebf7e3b9d92fc49741779363cfe");
}

// The two final-block paths, rebuilt by hand from the RFC's subkeys and the bare cipher.
TEST_F(Rfc4493, EmptyMessageTakesThePaddedK2Path) {
  Bytes block = Hex("f7ddac306ae266ccf90bc11ee46d513b");  // K2
  block[0] ^= 0x80;                                       // padded block 80 00 .. 00
  aes.Encrypt(block.data());
  EXPECT_EQ(Tag(&aes, {}), ToHex(block));
  // With a one-byte message the pad follows it.
  Bytes one = Hex("f7ddac306ae266ccf90bc11ee46d513b");
  one[0] ^= 0x6b;
  one[1] ^= 0x80;
  aes.Encrypt(one.data());
  EXPECT_EQ(Tag(&aes, Prefix(1)), ToHex(one));
}

TEST_F(Rfc4493, FullLastBlockTakesTheK1PathWithoutPadding) {
  const Bytes k1 = Hex("fbeed618357133667c85e08f7236a8de");
  Bytes chain(16, 0);
  for (size_t len = 16; len <= 64; len += 16) {
    // chain = E(...E(M1)...^M(n-1)); tag = E(chain ^ Mn ^ K1)
    std::fill(chain.begin(), chain.end(), 0);
    for (size_t blk = 0; blk + 16 < len; blk += 16) {
      for (size_t i = 0; i < 16; ++i) chain[i] ^= m64[blk + i];
      aes.Encrypt(chain.data());
    }
    Bytes last(16);
    for (size_t i = 0; i < 16; ++i) last[i] = chain[i] ^ m64[len - 16 + i] ^ k1[i];
    aes.Encrypt(last.data());
    EXPECT_EQ(Tag(&aes, Prefix(len)), ToHex(last)) << len;
  }
}

TEST_F(Rfc4493, LastBlockWaitsInPartUntilFinal) {
  Cmac m(&aes);
  m.Init();
  m.Update(m64.data(), 16);
  EXPECT_EQ(m.fill, 16u);
  EXPECT_EQ(ToHex(m.chain, 16), std::string(32, '0'));  // nothing processed yet
  m.Update(m64.data() + 16, 0);
  EXPECT_EQ(m.fill, 16u);
  m.Update(m64.data() + 16, 1);  // one more byte: the full block is now processed
  EXPECT_EQ(m.fill, 1u);
  EXPECT_NE(ToHex(m.chain, 16), std::string(32, '0'));
  m.Update(m64.data() + 17, 47);
  EXPECT_EQ(m.fill, 16u);
  uint8_t out[16];
  m.Final(out);
  EXPECT_EQ(ToHex(out, 16), "51f0bebf7e3b9d92fc49741779363cfe");
}

TEST_F(Rfc4493, FinalLeavesTheObjectUnchangedAndInitRestarts) {
  Cmac m(&aes);
  m.Init();
  m.Update(m64.data(), 40);
  const Cmac before = m;
  uint8_t a[16], b[16];
  m.Final(a);
  m.Final(b);
  EXPECT_EQ(ToHex(a, 16), "dfa66747de9ae63030ca32611497c827");
  EXPECT_EQ(ToHex(a, 16), ToHex(b, 16));
  EXPECT_EQ(m.fill, before.fill);
  EXPECT_EQ(std::memcmp(m.part, before.part, 16), 0);
  EXPECT_EQ(std::memcmp(m.chain, before.chain, 16), 0);
  // Since Final does not consume, the message can go on after a tag was taken.
  m.Update(m64.data() + 40, 24);
  m.Final(a);
  EXPECT_EQ(ToHex(a, 16), "51f0bebf7e3b9d92fc49741779363cfe");
  // Init forgets everything absorbed so far.
  m.Init();
  EXPECT_EQ(m.fill, 0u);
  m.Final(a);
  EXPECT_EQ(ToHex(a, 16), "bb1d6929e95937287fa37d129b756746");
}

// Subkeys come from the cipher's current key at each Final, not from an earlier one.
TEST_F(Rfc4493, SubkeysFollowTheCurrentKey) {
  Cmac m(&aes);
  const Bytes other = Hex("000102030405060708090a0b0c0d0e0f");
  AES128 ref;
  ref.SetKey(other.data());
  const std::string want = Tag(&ref, Prefix(40));
  EXPECT_EQ(Tag(&aes, Prefix(40)), "dfa66747de9ae63030ca32611497c827");
  aes.SetKey(other.data());
  m.Init();
  m.Update(m64.data(), 40);
  uint8_t out[16];
  m.Final(out);
  EXPECT_EQ(ToHex(out, 16), want);
}

TEST(LinkInstances, OneSharedCipherAndSigner) {
  EXPECT_EQ(&LinkAes(), &LinkAes());
  EXPECT_EQ(&LinkCmac(), &LinkCmac());
  EXPECT_EQ(LinkCmac().cipher, static_cast<Coder*>(&LinkAes()));
  EXPECT_EQ(LinkAes().blockSize, 16);
  EXPECT_EQ(LinkAes().nk, 4);
  EXPECT_EQ(LinkAes().nr, 10);
  const Bytes key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  LinkAes().SetKey(key.data());
  LinkCmac().Init();
  LinkCmac().Update(nullptr, 0);
  uint8_t out[16];
  LinkCmac().Final(out);
  EXPECT_EQ(ToHex(out, 16), "bb1d6929e95937287fa37d129b756746");
}

// --- Differential test against OpenSSL -----------------------------------------------------

class OpenSslCmac {
 public:
  explicit OpenSslCmac(const char* cipher) : cipher_(cipher) {
    mac_ = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    ctx_ = mac_ ? EVP_MAC_CTX_new(mac_) : nullptr;
  }
  ~OpenSslCmac() {
    EVP_MAC_CTX_free(ctx_);
    EVP_MAC_free(mac_);
  }
  bool ok() const { return ctx_ != nullptr; }
  std::string Tag(const uint8_t* key, size_t keyLen, const Bytes& msg) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, const_cast<char*>(cipher_), 0),
        OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(ctx_, key, keyLen, params) != 1) return "init failed";
    if (EVP_MAC_update(ctx_, msg.data(), msg.size()) != 1) return "update failed";
    uint8_t out[16];
    size_t len = 0;
    if (EVP_MAC_final(ctx_, out, &len, sizeof out) != 1) return "final failed";
    return ToHex(out, len);
  }

 private:
  const char* cipher_;
  EVP_MAC* mac_ = nullptr;
  EVP_MAC_CTX* ctx_ = nullptr;
};

// Feeds msg in pieces: empty calls, calls that exactly fill the pending block, short and long
// random runs, and the rest at once.
std::string SplitTag(Cmac& m, const Bytes& msg, std::mt19937& rng) {
  const size_t b = size_t(m.cipher->blockSize);
  m.Init();
  size_t pos = 0;
  while (pos < msg.size()) {
    size_t n = 0;
    switch (rng() % 5) {
      case 0:
        n = 0;
        break;
      case 1:
        n = b - m.fill;  // exactly fills part (a whole block when part is empty)
        break;
      case 2:
        n = 1 + rng() % b;
        break;
      case 3:
        n = rng() % (4 * b);
        break;
      default:
        n = msg.size() - pos;
        break;
    }
    n = std::min(n, msg.size() - pos);
    m.Update(msg.data() + pos, n);
    pos += n;
    if (m.fill > b) return "fill overflow";
  }
  if (rng() % 2) m.Update(msg.data() + pos, 0);
  uint8_t out[16];
  m.Final(out);
  return ToHex(out, b);
}

TEST(CmacDifferential, RandomSplitsMatchOneShotAndOpenSsl) {
  OpenSslCmac ossl("AES-128-CBC");
  ASSERT_TRUE(ossl.ok());
  std::mt19937 rng(20240521);
  AES128 aes;
  Cmac m(&aes);
  int fullBlockMessages = 0;
  for (int n = 0; n < 4000; ++n) {
    uint8_t key[16];
    for (auto& b : key) b = uint8_t(rng());
    // Mostly frame-sized messages, a tenth of them up to about 1.1 KB.
    const size_t len = n % 10 == 0 ? rng() % 1100 : rng() % 100;
    Bytes msg(len);
    for (auto& b : msg) b = uint8_t(rng());
    if (len % 16 == 0) ++fullBlockMessages;
    aes.SetKey(key);
    const std::string oneShot = Tag(&aes, msg);
    const std::string split = SplitTag(m, msg, rng);
    const std::string ref = ossl.Tag(key, 16, msg);
    ASSERT_EQ(oneShot, ref) << "message " << n << ", " << len << " bytes";
    ASSERT_EQ(split, ref) << "message " << n << ", " << len << " bytes";
  }
  EXPECT_GT(fullBlockMessages, 100);  // the K1 path was taken often
}

// CMAC over a 64-bit block cipher uses Rb = 0x1B; three-key TDEA stands in as that cipher.
class Tdea final : public Coder {
 public:
  explicit Tdea(const uint8_t key[24]) {
    blockSize = 8;
    ctx_ = EVP_CIPHER_CTX_new();
    if (ctx_ && EVP_EncryptInit_ex(ctx_, EVP_des_ede3_ecb(), nullptr, key, nullptr) == 1)
      EVP_CIPHER_CTX_set_padding(ctx_, 0);
    else
      failed_ = true;
  }
  ~Tdea() { EVP_CIPHER_CTX_free(ctx_); }
  bool ok() const { return !failed_; }
  void Encrypt(uint8_t* block) override {
    uint8_t out[8];
    int len = 0;
    if (EVP_EncryptUpdate(ctx_, out, &len, block, 8) != 1 || len != 8) failed_ = true;
    std::memcpy(block, out, 8);
  }
  void Decrypt(uint8_t*) override { failed_ = true; }

 private:
  EVP_CIPHER_CTX* ctx_ = nullptr;
  bool failed_ = false;
};

TEST(CmacDifferential, EightByteBlocksUseRb1BAndMatchOpenSsl) {
  OpenSslCmac ossl("DES-EDE3-CBC");
  ASSERT_TRUE(ossl.ok());
  std::mt19937 rng(800381);
  for (int n = 0; n < 300; ++n) {
    uint8_t key[24];
    for (auto& b : key) b = uint8_t(rng());
    Tdea tdea(key);
    ASSERT_TRUE(tdea.ok());
    Cmac m(&tdea);
    Bytes msg(rng() % 70);
    for (auto& b : msg) b = uint8_t(rng());
    const std::string ref = ossl.Tag(key, 24, msg);
    ASSERT_EQ(ref.size(), 16u) << ref;
    ASSERT_EQ(SplitTag(m, msg, rng), ref) << n << ", " << msg.size() << " bytes";
    ASSERT_TRUE(tdea.ok());
  }
}

}  // namespace
