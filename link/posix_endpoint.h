// Production endpoint on POSIX systems: one UDP/IPv4 socket on port 45389.
#pragma once
#include <netinet/in.h>

#include <string>
#include <vector>

#include "endpoint.h"

class PosixEndpoint : public Endpoint {
 public:
  // Binds 0.0.0.0:port with broadcasts allowed. A failure to create or bind the socket is
  // kept and thrown (std::runtime_error with the system's message) by every operation.
  explicit PosixEndpoint(uint16_t port = kQuorinPort, uint16_t destPort = kQuorinPort);
  ~PosixEndpoint() override;
  PosixEndpoint(const PosixEndpoint&) = delete;
  PosixEndpoint& operator=(const PosixEndpoint&) = delete;

  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override;
  // Goes out once through every IPv4 interface that is up and broadcast-capable.
  void Broadcast(uint16_t port, const uint8_t* data, size_t len) override;
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override;
  uint16_t DestPort() const override { return destPort_; }
  // Every IPv4 address of the host's interfaces (getifaddrs) with its netmask.
  std::vector<LocalNet> LocalNets() override;

  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  // The bind failed because another program holds the port.
  bool portInUse() const { return inUse_; }

 private:
  int fd_ = -1;
  uint16_t destPort_;
  std::string error_;
  bool inUse_ = false;
  void Check() const;
};

// Sends one datagram on fd with IP_PKTINFO: out of interface ifindex (0: the routing table
// decides) and from local address src (0: the interface's own). False with errno set on failure.
bool SendWithPktInfo(int fd, const uint8_t* data, size_t len, const sockaddr_in& dest, int ifindex,
                     in_addr src);
