// Several controllers worked on at once over the one UDP socket. A receiving thread takes
// every datagram from the shared endpoint and hands it to the route of the device it came
// from (source address and the identifier in bytes 4-7, never the order of arrival); each
// device's work, on a thread of its own, talks through its route as its thread's endpoint
// (LinkSetThreadEndpoint). Each device keeps its own session and sequence numbers; the link
// itself is unchanged.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/endpoint.h"

class LinkDemux {
 public:
  // `shared` must allow Send from any thread while one thread waits in Receive (a
  // PosixEndpoint does: plain system calls on one descriptor). The receiving thread starts
  // here; nothing else may call shared.Receive until the demultiplexer is destroyed.
  explicit LinkDemux(Endpoint& shared);
  ~LinkDemux();
  LinkDemux(const LinkDemux&) = delete;
  LinkDemux& operator=(const LinkDemux&) = delete;

  // An endpoint for the device with identifier id at host (dotted IPv4): it sends through
  // the shared endpoint and receives only that device's datagrams. It must not outlive the
  // demultiplexer. Datagrams from a device without a route are dropped.
  std::unique_ptr<Endpoint> Route(const std::string& host, uint32_t id);

  // Datagrams dropped because no route wanted them (for tests).
  size_t Unrouted() const;
  // The discovery answers among them ("MMDO", 28 bytes; at most a few hundred are kept),
  // with their senders, taken out: the device set still looks at them.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> TakeUnroutedAnswers();

 private:
  struct Queue;
  class Routed;
  void Loop();
  void Remove(Queue* q);

  Endpoint& shared_;
  mutable std::mutex mu_;
  std::map<std::pair<std::string, uint32_t>, Queue*> routes_;
  std::mutex sendMu_;
  size_t unrouted_ = 0;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> answers_;
  bool stop_ = false;
  std::thread thread_;
};

// Runs work(i) for every i in [0, n) on up to `threads` threads at once, each thread with an
// endpoint of its own for the device endpointFor(i) names (host, identifier). Returns when
// all are done. The work itself must not throw. The discovery answers no route took go to
// `unrouted` (sender, bytes, length) afterwards, on the calling thread: the device set offers
// them the way a request offers what it skips (UdpDevSet::Offer).
void RunPerDevice(
    Endpoint& shared, size_t n, int threads,
    const std::function<std::pair<std::string, uint32_t>(size_t)>& endpointFor,
    const std::function<void(size_t)>& work,
    const std::function<void(const char*, const uint8_t*, size_t)>& unrouted = nullptr);
