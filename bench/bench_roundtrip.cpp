// Select-to-loaded over real UDP: the main window selects a controller served by
// feldaro-sim and reads it (status, session key, device list, passages, decoding, views),
// next to a bare UDP ping-pong of the same datagram sizes on the same link.
//
//   bench_roundtrip echo ADDR PORT         answers each datagram with as many bytes as its
//                                          first two bytes ask for (little-endian)
//   bench_roundtrip select HOST PORT [N]   N selections of the first listed controller, then
//                                          N ping-pong rounds against the echo at HOST:PORT
//
// Run both ends inside network namespaces of their own (scripts/bench does). Prints
// "key value" lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QSignalBlocker>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/quiethost.h"
#include "link/posix_endpoint.h"
#include "mainwin.h"
#include "uihost.h"

namespace {

using Clk = std::chrono::steady_clock;

double Us(Clk::time_point a, Clk::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

volatile std::sig_atomic_t gStop = 0;
void OnStop(int) {
  gStop = 1;
}

int UdpSocket(const char* addr, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (addr && inet_pton(AF_INET, addr, &a.sin_addr) != 1) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) return -1;
  return fd;
}

int Echo(const char* addr, uint16_t port) {
  const int fd = UdpSocket(addr, port);
  if (fd < 0) {
    std::perror("echo socket");
    return 1;
  }
  std::signal(SIGTERM, OnStop);
  std::signal(SIGINT, OnStop);
  std::vector<uint8_t> buf(9000), out(9000, 0x5A);
  while (!gStop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 2) continue;
    const size_t want = std::min<size_t>(buf[0] | (buf[1] << 8), out.size());
    sendto(fd, out.data(), want, 0, reinterpret_cast<sockaddr*>(&from), len);
  }
  close(fd);
  return 0;
}

// One request/answer pair of the given sizes; false on a lost answer.
bool PingPong(int fd, const sockaddr_in& to, size_t reqLen, size_t ansLen) {
  uint8_t req[64] = {}, ans[9000];
  req[0] = uint8_t(ansLen);
  req[1] = uint8_t(ansLen >> 8);
  if (sendto(fd, req, reqLen, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 200) <= 0) return false;
  return recv(fd, ans, sizeof ans, 0) == ssize_t(ansLen);
}

// Runs the event loop until the window has nothing left to do (at most 5 s).
bool WaitIdle(const TMainWin& win) {
  const auto end = Clk::now() + std::chrono::seconds(5);
  while (!win.Idle()) {
    if (Clk::now() > end) return false;
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

// The same selection as the program makes it, the link on its worker thread: from the pick
// until the window is idle again with the configuration shown.
int SelectOnWorker(PosixEndpoint& udp, SystemClock& clock, int rounds) {
  QuietHost host;
  auto win = std::make_unique<TMainWin>(host, udp, clock, false, LinkThread::Worker);
  MainWin = win.get();
  win->FormCreate();
  if (!WaitIdle(*win) || win->Cfg.doorCount == 0) {
    std::fprintf(stderr, "worker: nothing loaded at start-up: %s\n",
                 host.last.toStdString().c_str());
    return 1;
  }
  QListWidget* list = win->findChild<QListWidget*>("EthLstBox");
  std::vector<double> selects;
  for (int i = 0; i < rounds; ++i) {
    win->Devs().dev[0].EndSession();  // the worker is idle: every selection opens a session
    const int errors = host.errors;
    const auto t0 = Clk::now();
    {
      QSignalBlocker quiet(list);
      list->setCurrentRow(0);
    }
    win->EthLstBoxClick();
    const bool idle = WaitIdle(*win);
    const auto t1 = Clk::now();
    if (!idle || host.errors != errors || win->Cfg.doorCount == 0) {
      std::fprintf(stderr, "worker: selection %d failed: %s\n", i, host.last.toStdString().c_str());
      return 1;
    }
    selects.push_back(Us(t0, t1));
  }
  std::printf("select_to_loaded_worker_us %.1f\n", Median(selects));
  win.reset();
  MainWin = nullptr;
  return 0;
}

int Select(const char* echoHost, uint16_t echoPort, int rounds) {
  static int qargc = 3;
  static char a0[] = "bench_roundtrip", a1[] = "-platform", a2[] = "offscreen";
  static char* qargv[] = {a0, a1, a2, nullptr};
  QApplication app(qargc, qargv);

  SystemClock clock;
  PosixEndpoint udp;
  QuietHost host;
  auto win = std::make_unique<TMainWin>(host, udp, clock, false);
  MainWin = win.get();
  const auto s0 = Clk::now();
  win->FormCreate();
  const auto s1 = Clk::now();
  std::printf("devices %d\nsearch_and_first_load_ms %.1f\n", win->Devs().count, Us(s0, s1) / 1000);
  if (win->Devs().count == 0 || win->Cfg.doorCount == 0) {
    std::fprintf(stderr, "nothing loaded at start-up: %d devices, last error: %s\n",
                 win->Devs().count, host.last.toStdString().c_str());
    return 1;
  }
  QListWidget* list = win->findChild<QListWidget*>("EthLstBox");
  if (!list) return 1;

  std::vector<double> selects;
  for (int i = 0; i < rounds; ++i) {
    UdpDev& d = win->Devs().dev[0];
    d.EndSession();  // so that every selection opens a session of its own, with 'K'
    const int errors = host.errors;
    const auto t0 = Clk::now();
    {
      QSignalBlocker quiet(list);
      list->setCurrentRow(0);
    }
    win->EthLstBoxClick();
    const auto t1 = Clk::now();
    if (host.errors != errors || win->Cfg.doorCount == 0) {
      std::fprintf(stderr, "selection %d failed: %s\n", i, host.last.toStdString().c_str());
      return 1;
    }
    selects.push_back(Us(t0, t1));
  }
  // The same load through the link alone (status, session, both reads, decoding), to tell
  // the network and the simulator from the window's rebuild of its views.
  std::vector<double> linkOnly;
  static CtrlCfg scratch;
  for (int i = 0; i < rounds; ++i) {
    UdpDev& d = win->Devs().dev[0];
    d.EndSession();
    const auto t0 = Clk::now();
    try {
      if (!d.ReadStatus()) throw UErr(&d, 1);
      ClearCfg(scratch);
      d.ReadConfig(scratch);
    } catch (const UErr& e) {
      std::fprintf(stderr, "link-only load %d failed: %s", i, ErrorText(e).c_str());
      return 1;
    }
    linkOnly.push_back(Us(t0, Clk::now()));
  }
  // And the window's part alone: rebuilding tabs, lists and editor from a loaded model.
  std::vector<double> views;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clk::now();
    win->RebuildDoorTabs();
    views.push_back(Us(t0, Clk::now()));
  }
  std::printf("link_load_us %.1f\nviews_rebuild_us %.1f\n", Median(linkOnly), Median(views));

  const CtrlCfg& c = win->Cfg;
  // The four datagram sizes of a load: 'O' and 'K' (12 out, 28 back), 'D' and 'C' (19 out,
  // answers with the list and the passages).
  const size_t dAnswer = 19 + 2 + 8 * size_t(c.devCount);
  const size_t cAnswer = 19 + 2 + 44 * size_t(c.doorCount) + 2;
  std::printf("bus_devices %d\npassages %d\nd_answer_bytes %zu\nc_answer_bytes %zu\n", c.devCount,
              c.doorCount, dAnswer, cAnswer);

  const int fd = UdpSocket(nullptr, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(echoPort);
  inet_pton(AF_INET, echoHost, &to.sin_addr);
  std::vector<double> four, five;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clk::now();
    bool ok = PingPong(fd, to, 12, 28) && PingPong(fd, to, 12, 28) &&
              PingPong(fd, to, 19, dAnswer) && PingPong(fd, to, 19, cAnswer);
    const auto t1 = Clk::now();
    // The selection queries the status twice (once itself, once before opening the session).
    ok = ok && PingPong(fd, to, 12, 28);
    const auto t2 = Clk::now();
    if (!ok) {
      std::fprintf(stderr, "ping-pong round %d lost an answer\n", i);
      return 1;
    }
    four.push_back(Us(t0, t1));
    five.push_back(Us(t0, t2));
  }
  close(fd);
  std::printf("select_to_loaded_us %.1f\npingpong4_us %.1f\npingpong5_us %.1f\nrounds %d\n",
              Median(selects), Median(four), Median(five), rounds);
  win.reset();
  MainWin = nullptr;
  return SelectOnWorker(udp, clock, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "echo") == 0)
    return Echo(argv[2], uint16_t(std::atoi(argv[3])));
  if (argc >= 4 && std::strcmp(argv[1], "select") == 0)
    return Select(argv[2], uint16_t(std::atoi(argv[3])), argc >= 5 ? std::atoi(argv[4]) : 50);
  std::fprintf(stderr, "usage: bench_roundtrip echo ADDR PORT | select HOST PORT [N]\n");
  return 2;
}
