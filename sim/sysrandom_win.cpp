// The system's random source on Windows: the system's preferred generator.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include "sysrandom.h"

bool SystemRandom(uint8_t* out, size_t n) {
  return BCryptGenRandom(nullptr, out, ULONG(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}
