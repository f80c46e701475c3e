// The system's random source, for the simulated devices' session keys.
#pragma once
#include <cstddef>
#include <cstdint>

// Fills out with n random bytes; false when the system could not give them all.
bool SystemRandom(uint8_t* out, size_t n);
