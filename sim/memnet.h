// In-memory network segment with a virtual clock: simulated devices answer the tool's
// datagrams, and a wait advances virtual time instead of sleeping.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "link/endpoint.h"
#include "simdevice.h"

class VirtualClock : public Clock {
 public:
  int64_t now = 0;
  uint32_t utcBase = 1700000000u;
  int64_t NowMs() override { return now; }
  uint32_t UtcSeconds() override { return utcBase + uint32_t(now / 1000); }
  void Advance(int64_t ms) { now += ms; }
};

struct NetDatagram {
  int64_t atMs;
  std::string from;  // dotted sender
  std::string to;    // dotted destination, "255.255.255.255" for a broadcast
  std::vector<uint8_t> bytes;
};

class MemNet : public Endpoint {
 public:
  explicit MemNet(VirtualClock& clock, int latencyMs = 1);
  ~MemNet() override;

  SimDevice& AddDevice(uint32_t id, uint32_t ip, int mode);
  SimDevice* Find(uint32_t id);
  std::vector<std::unique_ptr<SimDevice>>& Devices() { return devices_; }

  // Endpoint of the tool.
  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override;
  void Broadcast(uint16_t port, const uint8_t* data, size_t len) override;
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override;
  std::vector<LocalNet> LocalNets() override { return localNets; }

  // Puts a datagram in the tool's queue at atMs (junk, late or forged answers).
  void Inject(const std::vector<uint8_t>& bytes, const std::string& from, int64_t atMs);

  std::vector<NetDatagram> sentByTool;  // every datagram the tool sent
  std::string failure;    // when not empty, every endpoint operation throws it as runtime_error
  int failureErrno = 0;   // when not 0, the failure is a std::system_error with that number
  int longestWaitMs = 0;  // the longest single Receive timeout asked for
  std::vector<LocalNet> localNets;  // the tool's interfaces on this segment (none by default)

 private:
  VirtualClock& clock_;
  void Fail() const;
  int latencyMs_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::deque<NetDatagram> queue_;  // to the tool, ordered by atMs
  void Deliver(SimDevice& dev, const uint8_t* data, size_t len, bool broadcast);
};
