// feldaro-cli: the socket seen through a tap that notes the devices answering discovery and
// every address each answered from, so that --all can name a controller the device set had
// no room for.
#pragma once
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "link/endpoint.h"
#include "link/udpdev.h"

// A device that answered discovery, also one the device set had no room for, with every
// address it answered from (in the order first heard; two or more: the device set reports
// the identifier with its second address).
struct SeenDevice {
  uint32_t id;
  std::vector<std::string> addresses;
  std::string AddressText() const {
    std::string s;
    for (const std::string& a : addresses) s += (s.empty() ? "" : ", ") + a;
    return s;
  }
};

// Passes everything through to the socket and notes every discovery answer the device set
// would take, by the set's own rule (ParseDiscoveryAnswer): a status answer with a good CRC
// from a source address that may be a device's.
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
    from[kIpTextSize - 1] = 0;
    DiscoveryAnswer a;
    if (n == 28 && ParseDiscoveryAnswer(buf, n, from, Nets(), a)) {
      if (!seen_.count(a.id)) order_.push_back(a.id);
      std::vector<std::string>& at = seen_[a.id];
      if (std::find(at.begin(), at.end(), from) == at.end()) at.push_back(from);
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
  const std::vector<LocalNet>& Nets() {
    // The interfaces do not change during one run: asked once.
    if (!netsKnown_) {
      nets_ = inner_.LocalNets();
      netsKnown_ = true;
    }
    return nets_;
  }

  Endpoint& inner_;
  std::map<uint32_t, std::vector<std::string>> seen_;
  std::vector<uint32_t> order_;
  std::vector<LocalNet> nets_;
  bool netsKnown_ = false;
};
