// The system's random source on Linux: getrandom.
#include <sys/random.h>

#include "sysrandom.h"

bool SystemRandom(uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(out + got, n - got, 0);
    if (r <= 0) return false;  // EINTR or no source
    got += size_t(r);
  }
  return true;
}
