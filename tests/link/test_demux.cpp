// Several controllers worked on at once over one shared endpoint: datagrams reach the route of
// the device they come from (address and identifier), whatever their order of arrival;
// whole reads of many simulated controllers on threads of their own, with the answers of all
// of them interleaved at random, each give that controller's own configuration.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "config/devname.h"
#include "link/demux.h"
#include "link/udpdev.h"
#include "sim/simdevice.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A thread-safe in-memory socket: what is sent goes to `onSend` (the devices' side), what
// the devices answer waits in `inbound` for Receive.
class SharedFake final : public Endpoint {
 public:
  std::function<void(const std::string&, Bytes)> onSend;

  void Send(const char* host, uint16_t, const uint8_t* data, size_t len) override {
    if (onSend) onSend(host, Bytes(data, data + len));
  }
  void Broadcast(uint16_t, const uint8_t*, size_t) override {}
  size_t Receive(uint8_t* buf, size_t cap, int timeoutMs, char* sender) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !in_.empty(); }))
      return 0;
    auto [from, bytes] = std::move(in_.front());
    in_.pop_front();
    if (sender) std::snprintf(sender, kIpTextSize, "%s", from.c_str());
    const size_t n = std::min(cap, bytes.size());
    std::copy(bytes.begin(), bytes.begin() + long(n), buf);
    return n;
  }
  void Inject(const std::string& from, Bytes b) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      in_.emplace_back(from, std::move(b));
    }
    cv_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::pair<std::string, Bytes>> in_;
};

Bytes Frame(uint32_t id, uint8_t mark) {
  Bytes b = {'M', 'M', 'D', 'O', 0, 0, 0, 0, mark, 0, 0, 0, 0, 0, 0, 0};
  PutU32(b.data() + 4, id);
  return b;
}

std::string Ip(uint32_t ip) {
  char t[kIpTextSize];
  std::snprintf(t, sizeof t, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
  return t;
}

}  // namespace

TEST(LinkDemux, DatagramsGoToTheRouteOfTheirAddressAndIdentifierNotByOrder) {
  SharedFake shared;
  const uint32_t a = MakeId(327, 5), b = MakeId(327, 9);
  LinkDemux demux(shared);
  auto ra = demux.Route("10.0.0.1", a);
  auto rb = demux.Route("10.0.0.2", b);
  // B's answers first, then one from A's address carrying B's identifier, then A's.
  shared.Inject("10.0.0.2", Frame(b, 1));
  shared.Inject("10.0.0.1", Frame(b, 2));
  shared.Inject("10.0.0.2", Frame(b, 3));
  shared.Inject("10.0.0.3", Frame(a, 4));
  shared.Inject("10.0.0.1", Frame(a, 5));
  uint8_t buf[64];
  char from[kIpTextSize];
  ASSERT_EQ(ra->Receive(buf, sizeof buf, 1000, from), 16u);
  EXPECT_EQ(buf[8], 5) << "A got a datagram that was not A's";
  EXPECT_STREQ(from, "10.0.0.1");
  ASSERT_EQ(rb->Receive(buf, sizeof buf, 1000, from), 16u);
  EXPECT_EQ(buf[8], 1);
  ASSERT_EQ(rb->Receive(buf, sizeof buf, 1000, from), 16u);
  EXPECT_EQ(buf[8], 3);
  EXPECT_EQ(ra->Receive(buf, sizeof buf, 50, from), 0u);
  EXPECT_EQ(rb->Receive(buf, sizeof buf, 0, from), 0u);
  EXPECT_EQ(demux.Unrouted(), 2u) << "the impostors were not dropped";
  // A route sends only to its own device.
  EXPECT_THROW(ra->Send("10.0.0.2", kQuorinPort, buf, 12), std::runtime_error);
}

TEST(LinkDemux, ManyControllersReadAtOnceEachGetTheirOwnConfiguration) {
  constexpr int kDevs = 24;
  std::vector<std::unique_ptr<SimDevice>> devs;
  for (int k = 0; k < kDevs; ++k) {
    auto d =
        std::make_unique<SimDevice>(MakeId(327, uint32_t(100 + k)), 0x0A000001u + uint32_t(k), 2);
    d->AddBusDevice(d->id, 4, 4, 2, true);
    d->AddBusDevice(MakeId(5, uint32_t(500 + k)), 0, 0, 1, false);
    SimDoor door;
    for (uint16_t& r : door.refs) r = kNoRef;
    door.refs[0] = uint16_t(k % 4);  // bolt: the controller's output k % 4
    door.refs[14] = 0x0100;          // reader 1: the bus reader
    std::fill(std::begin(door.params), std::end(door.params), 0);
    door.params[kParBoltPulse] = uint8_t(k);
    d->doors.push_back(door);
    devs.push_back(std::move(d));
  }
  // The devices' side: each request is answered on a thread of its own after a random
  // delay, so the answers of all devices arrive interleaved in no particular order.
  SharedFake shared;
  std::mutex devMu;
  std::atomic<int> inFlight{0};
  std::vector<std::thread> answering;
  std::mutex threadsMu;
  std::mt19937 rng(7);
  shared.onSend = [&](const std::string& host, Bytes req) {
    std::vector<SimAnswer> out;
    int delay;
    {
      std::lock_guard<std::mutex> lock(devMu);
      for (auto& d : devs)
        if (Ip(d->ip) == host) d->OnDatagram(req.data(), req.size(), false, 0, out);
      delay = int(rng() % 15);
    }
    ++inFlight;
    std::lock_guard<std::mutex> lock(threadsMu);
    answering.emplace_back([&, host, out, delay] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      for (const SimAnswer& a : out) shared.Inject(host, a.bytes);
      --inFlight;
    });
  };
  std::vector<UdpDev> recs;
  for (auto& d : devs) recs.emplace_back(d->id, d->ip, uint16_t(d->mode));
  std::vector<std::unique_ptr<CtrlCfg>> cfgs(kDevs);
  std::vector<std::string> errors(kDevs);
  RunPerDevice(
      shared, kDevs, 8, [&](size_t i) { return std::make_pair(recs[i].IpText(), recs[i].id); },
      [&](size_t i) {
        try {
          cfgs[i] = std::make_unique<CtrlCfg>();
          if (!recs[i].ReadStatus()) throw std::runtime_error("no status");
          recs[i].ReadConfig(*cfgs[i]);
          recs[i].EndSession();
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
  while (inFlight > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    std::lock_guard<std::mutex> lock(threadsMu);
    for (std::thread& t : answering) t.join();
  }
  for (int k = 0; k < kDevs; ++k) {
    SCOPED_TRACE(DevName(devs[size_t(k)]->id));
    ASSERT_EQ(errors[size_t(k)], "");
    const CtrlCfg& c = *cfgs[size_t(k)];
    ASSERT_EQ(c.doorCount, 1);
    EXPECT_EQ(c.devs[0].id, devs[size_t(k)]->id);
    EXPECT_EQ(c.devs[1].id, MakeId(5, uint32_t(500 + k)));
    EXPECT_EQ(c.doors[0].outputs[0], IoRef(k % 4));
    EXPECT_EQ(c.doors[0].params[kParBoltPulse], k);
    EXPECT_FALSE(recs[size_t(k)].session);
  }
}

TEST(LinkDemux, DiscoveryAnswersNoRouteTookStillReachTheDeviceSet) {
  SharedFake shared;
  const uint32_t a = MakeId(327, 5);
  UdpDevSet set;
  set.Add(a, 0x0A000001u, 2);
  Bytes answer(28, 0);  // another host answering discovery in A's name
  std::memcpy(answer.data(), "MMDO", 4);
  PutU32(answer.data() + 4, a);
  answer[10] = 2;
  answer[11] = '1';
  PutU32(answer.data() + 24, Crc32(answer.data(), 24));
  RunPerDevice(
      shared, 1, 1, [&](size_t) { return std::make_pair(std::string("10.0.0.1"), a); },
      [&](size_t) {
        shared.Inject("10.0.0.66", answer);
        shared.Inject("10.0.0.1", Frame(a, 1));
        // A's own datagram comes after the other one, so that one was dealt with by now.
        uint8_t buf[64];
        EXPECT_EQ(LinkEndpoint().Receive(buf, sizeof buf, 5000, nullptr), 16u);
      },
      [&](const char* from, const uint8_t* b, size_t n) { set.Offer(from, b, n); });
  EXPECT_EQ(set.dev[0].IpText(), "10.0.0.1");
  EXPECT_EQ(set.dev[0].Ip2Text(), "10.0.0.66");
}
