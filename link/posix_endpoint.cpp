// Placeholder until the real socket endpoint lands: behaves as an endpoint that cannot bind.
#include "posix_endpoint.h"

#include <chrono>
#include <stdexcept>

PosixEndpoint::PosixEndpoint(uint16_t, uint16_t destPort)
    : destPort_(destPort), error_("endpoint not built yet") {}
PosixEndpoint::~PosixEndpoint() = default;
void PosixEndpoint::Check() const { throw std::runtime_error(error_); }
void PosixEndpoint::Send(const char*, uint16_t, const uint8_t*, size_t) { Check(); }
void PosixEndpoint::Broadcast(uint16_t, const uint8_t*, size_t) { Check(); }
size_t PosixEndpoint::Receive(uint8_t*, size_t, int, char*) {
  Check();
  return 0;
}
int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
uint32_t SystemClock::UtcSeconds() {
  using namespace std::chrono;
  return uint32_t(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}
