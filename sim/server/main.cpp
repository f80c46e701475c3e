// feldaro-sim: serves the simulated Quorinnet devices of a scenario over real UDP.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "scenario.h"
#include "simserver.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}

const char* const kUsage =
    "usage: feldaro-sim [options] SCENARIO.json\n"
    "  --log FILE          write one line per datagram received and sent\n"
    "  --port N            UDP port (default 45389)\n"
    "  --add-addrs IFACE   add every device's address to IFACE first (ip addr add)\n"
    "  --prefix N          prefix length for --add-addrs (default 24)\n"
    "  --no-console        do not read commands from stdin\n"
    "  --seed N            repeatable runs: key material and chance faults from seed N\n"
    "                      (default: key material from the system's random source)\n"
    "Console commands: type help once it runs.\n";

// Runs `ip addr replace ADDR/PREFIX dev IFACE`; replace keeps a rerun from failing on an
// address that is already there.
bool AddAddress(const std::string& ip, int prefix, const std::string& iface) {
  std::string cidr = ip + "/" + std::to_string(prefix);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    execlp("ip", "ip", "addr", "replace", cidr.c_str(), "dev", iface.c_str(), (char*)nullptr);
    _exit(127);
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions opt;
  std::string scenarioPath, addIface;
  int prefix = 24;
  bool seeded = false;
  uint32_t seed = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "feldaro-sim: " << a << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--log") {
      opt.logPath = value();
    } else if (a == "--port") {
      int p = std::atoi(value().c_str());
      if (p <= 0 || p > 65535) {
        std::cerr << "feldaro-sim: bad port\n";
        return 2;
      }
      opt.port = uint16_t(p);
    } else if (a == "--add-addrs") {
      addIface = value();
    } else if (a == "--prefix") {
      prefix = std::atoi(value().c_str());
      if (prefix < 1 || prefix > 32) {
        std::cerr << "feldaro-sim: bad prefix\n";
        return 2;
      }
    } else if (a == "--seed") {
      const std::string v = value();
      char* end = nullptr;
      const unsigned long n = std::strtoul(v.c_str(), &end, 0);
      if (v.empty() || *end != 0 || n > 0xFFFFFFFFul) {
        std::cerr << "feldaro-sim: bad seed\n";
        return 2;
      }
      seeded = true;
      seed = uint32_t(n);
    } else if (a == "--no-console") {
      opt.console = false;
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "feldaro-sim: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      scenarioPath = a;
    }
  }
  if (scenarioPath.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  Scenario sc;
  try {
    sc = LoadScenario(scenarioPath);
  } catch (const std::exception& e) {
    std::cerr << "feldaro-sim: " << e.what() << "\n";
    return 2;
  }
  // Key material nobody can predict, unless a repeatable run was asked for.
  std::random_device entropy;
  for (SimNode& n : sc.nodes) {
    if (seeded) {
      n.dev->Seed(seed);
    } else {
      n.dev->Seed(entropy());
      n.dev->systemKeys = true;
    }
  }
  if (!addIface.empty()) {
    for (const SimNode& n : sc.nodes) {
      if (!AddAddress(DottedIp(n.dev->ip), prefix, addIface)) {
        std::cerr << "feldaro-sim: cannot add " << DottedIp(n.dev->ip) << " to " << addIface
                  << "\n";
        return 1;
      }
    }
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  SimServer server(sc, opt);
  std::string err;
  if (!server.Open(err)) {
    std::cerr << "feldaro-sim: " << err << "\n";
    return 1;
  }
  if (opt.console)
    std::cout << "feldaro-sim: " << sc.nodes.size() << " devices on UDP port " << opt.port
              << "; type help for commands" << std::endl;
  return server.Run(&gStop);
}
