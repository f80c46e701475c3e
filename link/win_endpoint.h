// Production endpoint on Windows: one Winsock UDP/IPv4 socket on port 45389.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "endpoint.h"

class WinEndpoint : public Endpoint {
 public:
  // Binds 0.0.0.0:port exclusively (SO_EXCLUSIVEADDRUSE) with broadcasts allowed. A failure
  // to create or bind the socket is kept and thrown (std::runtime_error with the system's
  // message) by every operation.
  explicit WinEndpoint(uint16_t port = kQuorinPort, uint16_t destPort = kQuorinPort);
  ~WinEndpoint() override;
  WinEndpoint(const WinEndpoint&) = delete;
  WinEndpoint& operator=(const WinEndpoint&) = delete;

  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override;
  // Goes out once through every IPv4 interface that is up and not loopback.
  void Broadcast(uint16_t port, const uint8_t* data, size_t len) override;
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override;
  uint16_t DestPort() const override { return destPort_; }
  // Every IPv4 address of the host's adapters with its netmask (GetAdaptersAddresses).
  std::vector<LocalNet> LocalNets() override;

  bool ok() const { return sock_ != kNoSocket; }
  const std::string& error() const { return error_; }
  // The bind failed because another program holds the port.
  bool portInUse() const { return inUse_; }

 private:
  static constexpr uintptr_t kNoSocket = ~uintptr_t(0);  // INVALID_SOCKET
  uintptr_t sock_ = kNoSocket;
  bool started_ = false;  // WSAStartup succeeded
  uint16_t destPort_;
  std::string error_;
  bool inUse_ = false;
  void Check() const;
};

// One interface a broadcast leaves through: its index and its IPv4 address (first octet in
// the most significant byte).
struct WinBroadcastIf {
  unsigned long index;
  uint32_t addr;
};
// The adapters that are up and not loopback, one entry each, with their first IPv4 address;
// nets, when given, receives every IPv4 address with its netmask.
std::vector<WinBroadcastIf> WinInterfaces(std::vector<LocalNet>* nets = nullptr);
