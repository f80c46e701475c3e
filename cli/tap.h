// feldaro-cli: the socket seen through a tap that notes the devices answering discovery, so
// that --all can name a controller the device set had no room for.
#pragma once
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "link/endpoint.h"
#include "link/udpdev.h"

// A device that answered discovery, also one the device set had no room for.
struct SeenDevice {
  uint32_t id;
  std::string address;
};

// Passes everything through to the socket and notes every discovery answer the device set
// would take: a status answer with a good CRC from a source address that may be a device's
// (never the network or broadcast address of a local network and the like, as the set
// checks it).
class DiscoveryTap : public Endpoint {
 public:
  explicit DiscoveryTap(Endpoint& inner) : inner_(inner) {}
  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override {
    inner_.Send(host, port, data, len);
  }
  void Broadcast(uint16_t port, const uint8_t* data, size_t len) override {
    inner_.Broadcast(port, data, len);
  }
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override {
    char from[kIpTextSize] = {};
    const size_t n = inner_.Receive(buf, cap, timeoutMs, from);
    if (sender) std::memcpy(sender, from, kIpTextSize);
    if (n == 28 && std::memcmp(buf, "MMDO", 4) == 0 && Crc32(buf, 24) == GetU32(buf + 24)) {
      const uint32_t id = GetU32(buf + 4);
      from[kIpTextSize - 1] = 0;
      if (id != kBroadcastId && (id >> 28) == 2 && from[0] && Usable(from)) {
        if (!seen_.count(id)) order_.push_back(id);
        seen_[id] = from;
      }
    }
    return n;
  }
  uint16_t DestPort() const override { return inner_.DestPort(); }
  std::vector<LocalNet> LocalNets() override { return inner_.LocalNets(); }

  // The devices noted, in the order of their first answer.
  std::vector<SeenDevice> Seen() const {
    std::vector<SeenDevice> out;
    for (uint32_t id : order_) out.push_back(SeenDevice{id, seen_.at(id)});
    return out;
  }

 private:
  bool Usable(const char* from) {
    // The interfaces do not change during one run: asked once.
    if (!netsKnown_) {
      nets_ = inner_.LocalNets();
      netsKnown_ = true;
    }
    return UsableDeviceAddress(ParseIp(from), nets_);
  }

  Endpoint& inner_;
  std::map<uint32_t, std::string> seen_;
  std::vector<uint32_t> order_;
  std::vector<LocalNet> nets_;
  bool netsKnown_ = false;
};
