// The receiving thread of the shared socket and the per-device routes.
#include "link/demux.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace {

// A route keeps at most this many datagrams waiting; the oldest go first.
constexpr size_t kQueueMax = 64;
// Discovery answers no route took, kept for the device set; beyond this many they are dropped.
constexpr size_t kAnswersMax = 256;
// How often the receiving thread looks whether it should stop.
constexpr int kPollMs = 20;

}  // namespace

struct LinkDemux::Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::vector<uint8_t>> datagrams;
};

class LinkDemux::Routed final : public Endpoint {
 public:
  Routed(LinkDemux& d, std::string host) : d_(d), host_(std::move(host)) {}
  ~Routed() override { d_.Remove(&q_); }
  Queue& queue() { return q_; }

  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override {
    // Only to the route's own device: a slip elsewhere would read someone else's answers.
    if (!host || host_ != host)
      throw std::runtime_error("route of " + host_ + " used for another host");
    std::lock_guard<std::mutex> lock(d_.sendMu_);
    d_.shared_.Send(host, port, data, len);
  }
  void Broadcast(uint16_t, const uint8_t*, size_t) override {
    throw std::runtime_error("a device's route does not broadcast");
  }
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override {
    if (sender) sender[0] = 0;
    std::unique_lock<std::mutex> lock(q_.mu);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (!q_.cv.wait_until(lock, deadline, [&] { return !q_.datagrams.empty(); })) return 0;
    const std::vector<uint8_t> dg = std::move(q_.datagrams.front());
    q_.datagrams.pop_front();
    lock.unlock();
    const size_t n = std::min(cap, dg.size());
    std::memcpy(buf, dg.data(), n);
    if (sender) {
      std::strncpy(sender, host_.c_str(), kIpTextSize - 1);
      sender[kIpTextSize - 1] = 0;
    }
    return n;
  }
  uint16_t DestPort() const override { return d_.shared_.DestPort(); }

 private:
  LinkDemux& d_;
  std::string host_;
  Queue q_;
};

LinkDemux::LinkDemux(Endpoint& shared) : shared_(shared) {
  thread_ = std::thread([this] { Loop(); });
}

LinkDemux::~LinkDemux() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  thread_.join();
}

std::unique_ptr<Endpoint> LinkDemux::Route(const std::string& host, uint32_t id) {
  auto r = std::make_unique<Routed>(*this, host);
  std::lock_guard<std::mutex> lock(mu_);
  routes_[{host, id}] = &r->queue();
  return r;
}

void LinkDemux::Remove(Queue* q) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = routes_.begin(); it != routes_.end(); ++it)
    if (it->second == q) {
      routes_.erase(it);
      return;
    }
}

size_t LinkDemux::Unrouted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unrouted_;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> LinkDemux::TakeUnroutedAnswers() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
  out.swap(answers_);
  return out;
}

void LinkDemux::Loop() {
  std::vector<uint8_t> buf(kRecvBufSize);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
    }
    char from[kIpTextSize] = {};
    size_t n = 0;
    try {
      n = shared_.Receive(buf.data(), buf.size(), kPollMs, from);
    } catch (const std::exception&) {
      // A socket error is no datagram; the routes' own waits run out and say so.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      continue;
    }
    if (n < 8) continue;
    from[kIpTextSize - 1] = 0;
    const uint32_t id = uint32_t(buf[4]) | (uint32_t(buf[5]) << 8) | (uint32_t(buf[6]) << 16) |
                        (uint32_t(buf[7]) << 24);
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = routes_.find({std::string(from), id});
    if (it == routes_.end()) {
      ++unrouted_;
      if (n == 28 && std::memcmp(buf.data(), "MMDO", 4) == 0 && answers_.size() < kAnswersMax)
        answers_.emplace_back(from, std::vector<uint8_t>(buf.begin(), buf.begin() + 28));
      continue;
    }
    Queue& q = *it->second;
    {
      std::lock_guard<std::mutex> ql(q.mu);
      if (q.datagrams.size() >= kQueueMax) q.datagrams.pop_front();
      q.datagrams.emplace_back(buf.begin(), buf.begin() + long(n));
    }
    q.cv.notify_one();
  }
}

void RunPerDevice(Endpoint& shared, size_t n, int threads,
                  const std::function<std::pair<std::string, uint32_t>(size_t)>& endpointFor,
                  const std::function<void(size_t)>& work,
                  const std::function<void(const char*, const uint8_t*, size_t)>& unrouted) {
  if (n == 0) return;
  LinkDemux demux(shared);
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) {
      const auto [host, id] = endpointFor(i);
      const std::unique_ptr<Endpoint> ep = demux.Route(host, id);
      LinkSetThreadEndpoint(ep.get());
      work(i);
      LinkSetThreadEndpoint(nullptr);
    }
  };
  std::vector<std::thread> pool;
  const size_t count = std::min(n, size_t(std::max(threads, 1)));
  for (size_t t = 0; t < count; ++t) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();
  if (!unrouted) return;
  for (const auto& [from, bytes] : demux.TakeUnroutedAnswers())
    unrouted(from.c_str(), bytes.data(), bytes.size());
}
