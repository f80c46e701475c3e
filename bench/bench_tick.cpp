// CPU cost of one timer tick of the main window in virtual time: 100 devices in the set, the
// selected controller loaded with a full bus device table (128 slots, a 1026-byte answer)
// and 16 passages, everything answering.
// The simulated devices' own work (signatures, payloads) is part of the figure.
//
// Also: the same link calls without the window (what the window adds), and the tick under a
// flood of junk datagrams (what a hostile segment costs, and whether memory stays flat).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/quiethost.h"
#include "bench/scenario.h"
#include "mainwin.h"
#include "memnet.h"
#include "uihost.h"

namespace {

// The in-memory net finds a datagram's device by formatting every device's address and
// comparing texts: with 100 devices that alone is most of a tick. This one looks the
// address up, so the figure is the tool's work (and the devices' own), not the search.
class QuickNet : public MemNet {
 public:
  using MemNet::MemNet;
  VirtualClock* clock = nullptr;
  std::unordered_map<std::string, SimDevice*> byIp;
  void Send(const char* host, uint16_t port, const uint8_t* data, size_t len) override {
    const std::string to = host ? host : "";
    if (to == "255.255.255.255" || port != kQuorinPort) return MemNet::Send(host, port, data, len);
    if (byIp.empty())
      for (auto& d : Devices()) byIp[DottedIp(d->ip)] = d.get();
    sentByTool.push_back({clock->now, "0.0.0.0", to, std::vector<uint8_t>(data, data + len)});
    const auto it = byIp.find(to);
    if (it == byIp.end()) return;
    answers.clear();
    it->second->OnDatagram(data, len, false, clock->now, answers);
    for (SimAnswer& a : answers) Inject(a.bytes, to, clock->now + 1 + std::max(a.delayMs, 0));
  }

 private:
  std::vector<SimAnswer> answers;
};

// The big controller gets the lowest identifier, so start-up selects and loads it.
struct TickWorld {
  VirtualClock clock;
  QuickNet net{clock};
  QuietHost host;
  std::unique_ptr<TMainWin> win;
  SimDevice* big = nullptr;
  int keepAliveStart = 0;  // for the link-only reference

  TickWorld(int devices, bool sessionsWithAll) {
    LinkSetEndpoint(&net);
    LinkSetClock(&clock);
    net.clock = &clock;
    KeepAliveStart = 0;
    big = &net.AddDevice(MakeId(327, 1), scenario::Ip(10, 1, 0, 10), 3);
    scenario::FillBigController(*big, kMaxDevs);
    for (int i = 1; i < devices; ++i) {
      SimDevice& d = net.AddDevice(MakeId(327, uint32_t(100 + i)),
                                   scenario::Ip(10, 1, uint8_t(i / 200), 10 + i % 200), 2);
      d.bus.clear();
      d.AddBusDevice(d.id, 4, 4, 2, true);
      for (int s = 1; s < 4; ++s) d.AddBusDevice(MakeId(1, uint32_t(10 * i + s)), 2, 3, 1, false);
      SimDoor door;
      for (uint16_t& r : door.refs) r = kNoRef;
      door.refs[0] = 1 << 8;
      std::memset(door.params, 0, sizeof door.params);
      d.doors.assign(1, door);
    }
    win = std::make_unique<TMainWin>(host, net, clock, false);
    MainWin = win.get();
    win->FormCreate();
    if (sessionsWithAll) {
      // Sessions with every controller, as after the installer visited each one: the
      // keep-alive pass then serves twenty devices per tick.
      for (int i = 0; i < win->Devs().count; ++i) {
        try {
          win->Devs().dev[i].EnsureSession();
        } catch (const UErr&) {
        }
      }
    }
    for (int i = 0; i < 10; ++i) Tick();
  }
  ~TickWorld() {
    win.reset();
    MainWin = nullptr;
  }

  bool Loaded() {
    return win->Cfg.doorCount == kMaxDoors && win->Cfg.listedCount == kMaxDevs &&
           win->Devs().count == int(net.Devices().size()) && win->SelectedIndex() == 0;
  }
  int Sessions() const {
    int n = 0;
    for (int i = 0; i < win->Devs().count; ++i) n += win->Devs().dev[i].session;
    return n;
  }
  void Tick() {
    clock.Advance(1000);
    win->UDPTimerTimer();
  }
  // The link calls of a tick in which nothing changed, without the window.
  void LinkTick() {
    clock.Advance(1000);
    UdpDevSet& set = win->Devs();
    set.Collect(0);
    UdpDev& d = set.dev[std::max(0, win->SelectedIndex())];
    if (d.ReadStatus()) d.PollDevList(win->Cfg);
    const int k = keepAliveStart;
    keepAliveStart = (k + 1) % 5;
    for (int i = k; i < set.count; i += 5) set.dev[i].KeepSession();
  }
  void Trim() {
    net.sentByTool.clear();
    for (auto& d : net.Devices()) d->received.clear();
  }
};

// Under a flood, junk that carries the awaited tag and the device's identifier but a broken
// CRC costs an attempt, as any corrupt answer does; enough of it ends an exchange with an
// error. That is counted there (error_boxes) instead of stopping the run.
template <class F>
void RunTicks(benchmark::State& state, TickWorld& w, F tick, bool errorsAllowed = false) {
  if (!w.Loaded()) {
    const std::string why =
        "the controller did not load: devices " + std::to_string(w.win->Devs().count) +
        ", selected " + std::to_string(w.win->SelectedIndex()) + ", passages " +
        std::to_string(w.win->Cfg.doorCount) + ", listed " +
        std::to_string(w.win->Cfg.listedCount) + ", last error " + w.host.last.toStdString();
    state.SkipWithError(why.c_str());
    return;
  }
  const int errorsBefore = w.host.errors;
  int64_t virtualMs = 0, maxVirtualMs = 0;
  size_t datagrams = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const int64_t t0 = w.clock.now + 1000;
    const size_t s0 = w.net.sentByTool.size();
    tick();
    const int64_t spent = w.clock.now - t0;
    virtualMs += spent;
    maxVirtualMs = std::max(maxVirtualMs, spent);
    datagrams += w.net.sentByTool.size() - s0;
    if (++n % 256 == 0) {
      state.PauseTiming();
      w.Trim();
      state.ResumeTiming();
    }
  }
  state.counters["error_boxes"] = double(w.host.errors - errorsBefore);
  if (w.host.errors != errorsBefore && !errorsAllowed)
    state.SkipWithError(("error box during the run: " + w.host.last.toStdString()).c_str());
  if (!w.Loaded()) state.SkipWithError("the configuration was lost during the run");
  state.counters["virt_ms"] = double(virtualMs) / double(std::max<int64_t>(n, 1));
  state.counters["virt_ms_max"] = double(maxVirtualMs);
  state.counters["sent"] = double(datagrams) / double(std::max<int64_t>(n, 1));
  state.counters["sessions"] = w.Sessions();
}

void BM_Tick(benchmark::State& state) {
  TickWorld w(100, state.range(0) != 0);
  RunTicks(state, w, [&] { w.Tick(); });
}
BENCHMARK(BM_Tick)->Arg(0)->Arg(1)->ArgName("all_sessions");

void BM_LinkOnlyTick(benchmark::State& state) {
  TickWorld w(100, state.range(0) != 0);
  RunTicks(state, w, [&] { w.LinkTick(); });
}
BENCHMARK(BM_LinkOnlyTick)->Arg(0)->Arg(1)->ArgName("all_sessions");

// Junk that every layer must drop without effect: random bytes, truncated and oversized
// frames, answers with forged tags or identifiers, discovery answers of foreign classes.
// (A frame with the selected controller's identifier, the awaited letter and a wrong
// signature is not junk to the link: it ends the exchange with error 4 at once.)
std::vector<uint8_t> Junk(std::mt19937& rng, uint32_t realId) {
  std::vector<uint8_t> f;
  auto header = [&](const char* tag, uint32_t id, size_t size) {
    f.assign(std::max<size_t>(size, 8), 0);
    std::memcpy(f.data(), tag, 4);
    PutU32(f.data() + 4, id);
    for (size_t i = 8; i < f.size(); ++i) f[i] = uint8_t(rng());
    f.resize(size);  // truncated frames keep only part of the header
  };
  switch (rng() % 8) {
    case 0:
      f.resize(1 + rng() % 64);
      for (uint8_t& b : f) b = uint8_t(rng());
      break;
    case 1:  // truncated signed answer of the selected controller
      header("MMDC", realId, 1 + rng() % 18);
      if (f.size() > 10) f[10] = 'D' | 0x80;
      break;
    case 2:  // oversized datagram, beyond the receive buffer, answering no request
      header("MMDC", realId, 8192 + rng() % 2000);
      f[10] = 'Q' | 0x80;
      break;
    case 3:  // signed answer for an identifier nobody has
      header("MMDC", MakeId(327, 60000 + rng() % 1000), 19 + rng() % 1000);
      f[10] = 'D' | 0x80;
      break;
    case 4: {  // status answer of the selected device with a broken CRC
      header("MMDO", realId, 28);
      f[11] = '1';
      PutU32(f.data() + 24, Crc32(f.data(), 24) ^ 0x80u);
      break;
    }
    case 5: {  // well-formed discovery answer of another class, or the broadcast identifier
      header("MMDO", rng() % 2 ? MakeId(327, rng() % 60000, 0, 1 + 2 * (rng() % 2)) : kBroadcastId,
             28);
      f[11] = '1';
      PutU32(f.data() + 24, Crc32(f.data(), 24));
      break;
    }
    case 6:  // key answer nobody asked for, broken CRC
      header("MMDK", realId, 28);
      break;
    default:  // a signed answer with a letter that was not asked
      header("MMDC", realId, 20);
      f[10] = 'Q' | 0x80;
      break;
  }
  return f;
}

void BM_TickFlood(benchmark::State& state) {
  TickWorld w(100, false);
  std::mt19937 rng(7);
  const int perTick = int(state.range(0));
  const uint32_t realId = w.big->id;
  const std::string from = DottedIp(w.big->ip);
  const long rss0 = scenario::RssBytes();
  RunTicks(
      state, w,
      [&] {
        // Making and queueing the junk is the simulated network's work, not the tool's.
        state.PauseTiming();
        for (int j = 0; j < perTick; ++j)
          w.net.Inject(Junk(rng, realId), from, w.clock.now + int64_t(rng() % 1200));
        state.ResumeTiming();
        w.Tick();
      },
      true);
  state.counters["junk_per_tick"] = perTick;
  state.counters["rss_growth_kb"] = double(scenario::RssBytes() - rss0) / 1024.0;
}
// Up to 400 a second: the tick's Collect(0) drains at most 512 datagrams, so beyond that
// the rest waits for the exchanges, where junk with the device's identifier, the awaited tag
// and a broken CRC costs attempts until the device shows as not answering; the in-memory
// queue, unlike a socket buffer, then grows without bound.
BENCHMARK(BM_TickFlood)->Arg(100)->Arg(400)->ArgName("junk");

}  // namespace

int main(int argc, char** argv) {
  static int qargc = 3;
  static char a0[] = "bench_tick", a1[] = "-platform", a2[] = "offscreen";
  static char* qargv[] = {a0, a1, a2, nullptr};
  QApplication app(qargc, qargv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
