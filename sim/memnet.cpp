// In-memory network segment: routes the tool's datagrams to simulated devices and queues
// their answers in virtual time.
#include "memnet.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {
constexpr const char* kBroadcastHost = "255.255.255.255";
constexpr const char* kToolHost = "0.0.0.0";
}  // namespace

MemNet::MemNet(VirtualClock& clock, int latencyMs) : clock_(clock), latencyMs_(latencyMs) {}

MemNet::~MemNet() = default;

SimDevice& MemNet::AddDevice(uint32_t id, uint32_t ip, int mode) {
  devices_.push_back(std::make_unique<SimDevice>(id, ip, mode));
  return *devices_.back();
}

void MemNet::Fail() const {
  if (failure.empty()) return;
  if (failureErrno != 0) throw std::system_error(failureErrno, std::generic_category(), failure);
  throw std::runtime_error(failure);
}

SimDevice* MemNet::Find(uint32_t id) {
  for (auto& d : devices_)
    if (d->id == id) return d.get();
  return nullptr;
}

void MemNet::Send(const char* host, uint16_t port, const uint8_t* data, size_t len) {
  Fail();
  const std::string to = host ? host : "";
  sentByTool.push_back({clock_.now, kToolHost, to, std::vector<uint8_t>(data, data + len)});
  if (port != kQuorinPort) return;
  if (to == kBroadcastHost) {
    for (auto& d : devices_) Deliver(*d, data, len, true);
    return;
  }
  for (auto& d : devices_)
    if (DottedIp(d->ip) == to) Deliver(*d, data, len, false);
}

void MemNet::Broadcast(uint16_t port, const uint8_t* data, size_t len) {
  Fail();
  sentByTool.push_back(
      {clock_.now, kToolHost, kBroadcastHost, std::vector<uint8_t>(data, data + len)});
  if (port != kQuorinPort) return;
  for (auto& d : devices_) Deliver(*d, data, len, true);
}

void MemNet::Deliver(SimDevice& dev, const uint8_t* data, size_t len, bool broadcast) {
  std::vector<SimAnswer> answers;
  dev.OnDatagram(data, len, broadcast, clock_.now, answers);
  const std::string from = DottedIp(dev.ip);
  for (SimAnswer& a : answers)
    Inject(a.bytes, from, clock_.now + latencyMs_ + std::max(a.delayMs, 0));
}

void MemNet::Inject(const std::vector<uint8_t>& bytes, const std::string& from, int64_t atMs) {
  NetDatagram d{atMs, from, kToolHost, bytes};
  // Stable: datagrams due at the same moment leave in the order they were queued.
  auto pos = std::upper_bound(queue_.begin(), queue_.end(), atMs,
                              [](int64_t t, const NetDatagram& q) { return t < q.atMs; });
  queue_.insert(pos, std::move(d));
}

size_t MemNet::Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) {
  Fail();
  if (timeoutMs < 0) timeoutMs = 0;
  longestWaitMs = std::max(longestWaitMs, timeoutMs);
  const int64_t due = clock_.now + timeoutMs;
  if (queue_.empty() || queue_.front().atMs > due) {
    clock_.now = due;
    return 0;
  }
  NetDatagram d = std::move(queue_.front());
  queue_.pop_front();
  if (d.atMs > clock_.now) clock_.now = d.atMs;
  const size_t n = std::min(cap, d.bytes.size());
  if (n > 0) std::memcpy(buf, d.bytes.data(), n);
  if (sender) {
    const size_t k = std::min(d.from.size(), kIpTextSize - 1);
    std::memcpy(sender, d.from.data(), k);
    sender[k] = 0;
  }
  return n;
}
