// The link's AES-128 and CMAC next to OpenSSL's, on one block and on a full-size frame.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/crypto.h"

namespace {

const uint8_t kKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
// The largest signed frame the link sends is about a kilobyte.
constexpr size_t kFrame = 1019;

void FillFrame(uint8_t* f) {
  for (size_t i = 0; i < kFrame; ++i) f[i] = uint8_t(i * 131 + 7);
}

void BM_OursAesBlock(benchmark::State& state) {
  AES128 aes;
  aes.SetKey(kKey);
  uint8_t block[16] = {};
  for (auto _ : state) {
    aes.Encrypt(block);
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 16);
}
BENCHMARK(BM_OursAesBlock);

void BM_OpenSslAesBlock(benchmark::State& state) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx || EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, kKey, nullptr) != 1) {
    state.SkipWithError("OpenSSL AES-128-ECB unavailable");
    return;
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  uint8_t block[16] = {}, out[16];
  int len = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx, out, &len, block, 16);
    std::memcpy(block, out, 16);
    benchmark::DoNotOptimize(block);
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * 16);
}
BENCHMARK(BM_OpenSslAesBlock);

// What the link does per signed exchange: re-key, Init, one Update, Final.
void BM_OursCmacFrame(benchmark::State& state) {
  uint8_t frame[kFrame], tag[16];
  FillFrame(frame);
  AES128& aes = LinkAes();
  Cmac& mac = LinkCmac();
  for (auto _ : state) {
    aes.SetKey(kKey);
    mac.Init();
    mac.Update(frame, kFrame);
    mac.Final(tag);
    benchmark::DoNotOptimize(tag);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrame));
}
BENCHMARK(BM_OursCmacFrame);

void BM_OpenSslCmacFrame(benchmark::State& state) {
  uint8_t frame[kFrame], tag[16];
  FillFrame(frame);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  if (!ctx) {
    state.SkipWithError("OpenSSL CMAC unavailable");
    EVP_MAC_free(mac);
    return;
  }
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  for (auto _ : state) {
    size_t len = 0;
    EVP_MAC_init(ctx, kKey, sizeof kKey, params);
    EVP_MAC_update(ctx, frame, kFrame);
    EVP_MAC_final(ctx, tag, &len, sizeof tag);
    benchmark::DoNotOptimize(tag);
  }
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrame));
}
BENCHMARK(BM_OpenSslCmacFrame);

// Both signers must agree before their timings mean anything.
bool TagsAgree() {
  uint8_t frame[kFrame], ours[16], theirs[16];
  FillFrame(frame);
  LinkAes().SetKey(kKey);
  LinkCmac().Init();
  LinkCmac().Update(frame, kFrame);
  LinkCmac().Final(ours);
  size_t len = 0;
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                         OSSL_PARAM_construct_end()};
  const bool ok = ctx && EVP_MAC_init(ctx, kKey, sizeof kKey, params) == 1 &&
                  EVP_MAC_update(ctx, frame, kFrame) == 1 &&
                  EVP_MAC_final(ctx, theirs, &len, sizeof theirs) == 1 && len == 16 &&
                  std::memcmp(ours, theirs, 16) == 0;
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (!TagsAgree()) {
    std::fputs("bench_crypto: CMAC tags of the link and OpenSSL differ\n", stderr);
    return EXIT_FAILURE;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return EXIT_FAILURE;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return EXIT_SUCCESS;
}
