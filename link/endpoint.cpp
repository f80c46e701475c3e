// Module-wide endpoint and clock of the link. Until the main window hands over its socket
// the link talks to a stand-in that refuses every operation, so a forgotten set-up shows
// as an error instead of a crash.
#include "link/endpoint.h"

#include <chrono>
#include <stdexcept>

namespace {

class NoEndpoint final : public Endpoint {
 public:
  void Send(const char*, uint16_t, const uint8_t*, size_t) override { Fail(); }
  void Broadcast(uint16_t, const uint8_t*, size_t) override { Fail(); }
  size_t Receive(uint8_t*, size_t, int, char*) override {
    Fail();
    return 0;
  }

 private:
  [[noreturn]] static void Fail() { throw std::runtime_error("Gniazdo UDP nie jest otwarte."); }
};

class HostClock final : public Clock {
 public:
  int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  uint32_t UtcSeconds() override {
    using namespace std::chrono;
    return uint32_t(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
  }
};

NoEndpoint gNoEndpoint;
HostClock gHostClock;
Endpoint* gEndpoint = nullptr;
thread_local Endpoint* tEndpoint = nullptr;
Clock* gClock = nullptr;

}  // namespace

void LinkSetEndpoint(Endpoint* ep) {
  gEndpoint = ep;
}
void LinkSetClock(Clock* clock) {
  gClock = clock;
}
Endpoint& LinkEndpoint() {
  if (tEndpoint) return *tEndpoint;
  return gEndpoint ? *gEndpoint : gNoEndpoint;
}
void LinkSetThreadEndpoint(Endpoint* ep) {
  tEndpoint = ep;
}
Clock& LinkClock() {
  return gClock ? *gClock : gHostClock;
}

int64_t SystemClock::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint32_t SystemClock::UtcSeconds() {
  using namespace std::chrono;
  return uint32_t(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}
