// The link reaches the network only through an Endpoint and time only through a Clock,
// so tests can run against an in-memory network in virtual time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint16_t kQuorinPort = 45389;
constexpr int kDefaultWaitMs = 200;
constexpr size_t kRecvBufSize = 8192;
constexpr size_t kIpTextSize = 16;  // "255.255.255.255" and its terminator

// One IPv4 address of a local interface with its netmask (first octet in the most
// significant byte).
struct LocalNet {
  uint32_t addr = 0;
  uint32_t mask = 0;
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Sends one datagram to a dotted IPv4 host. Failures throw std::runtime_error
  // carrying the system's message.
  virtual void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) = 0;
  // Sends one datagram to 255.255.255.255.
  virtual void Broadcast(uint16_t port, const uint8_t* data, size_t len) = 0;
  // Waits up to timeoutMs (0: only what is already queued) for one datagram. Returns its
  // length (at most cap; 0 when none arrived). When sender is not null it receives the
  // dotted source address (kIpTextSize bytes).
  virtual size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) = 0;
  virtual uint16_t DestPort() const { return kQuorinPort; }
  // The IPv4 networks of the local interfaces: their network and broadcast addresses are
  // never a device's address. None known: only the fixed rules apply.
  virtual std::vector<LocalNet> LocalNets() { return {}; }
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t NowMs() = 0;        // monotonic milliseconds
  virtual uint32_t UtcSeconds() = 0;  // seconds since 1970-01-01 UTC, truncated to 32 bits
};

// What to tell the user when a search had no answer at all, beyond the search's own words:
// on Windows the firewall that may hold the answers back; empty where there is nothing to add.
const char* NoAnswerHint();

// The system's clocks.
class SystemClock : public Clock {
 public:
  int64_t NowMs() override;
  uint32_t UtcSeconds() override;
};

// Module-wide endpoint and clock of the link; the main window sets them when it is created.
void LinkSetEndpoint(Endpoint* ep);
void LinkSetClock(Clock* clock);
// The endpoint of the calling thread when it has one (LinkSetThreadEndpoint), else the
// module-wide one.
Endpoint& LinkEndpoint();
// Gives the calling thread an endpoint of its own (nullptr: back to the module-wide one), so
// several threads can each work on their own device at once (link/demux.h).
void LinkSetThreadEndpoint(Endpoint* ep);
Clock& LinkClock();
