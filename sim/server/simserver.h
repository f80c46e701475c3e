// feldaro-sim's network side: one UDP socket serves every simulated device of a scenario;
// each device answers from its own IPv4 address, which must exist on a local interface.
#pragma once
#include <netinet/in.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "scenario.h"

struct ServerOptions {
  uint16_t port = 45389;
  std::string logPath;  // empty: no datagram log
  bool console = true;  // read commands from stdin
};

// One decoded line for a datagram: tag, device name, command letter, sequence number,
// length and the state of its CRC or signature. key: the session signing key to check
// a signed frame with (null when unknown).
std::string DescribeDatagram(const uint8_t* data, size_t len, const uint8_t* key);

// The signing key a device derives from the key material of its 'K' answer (28 bytes
// with a good CRC); false when the datagram is no such answer.
bool KeyFromKAnswer(const uint8_t* data, size_t len, uint8_t key[16]);

class SimServer {
 public:
  SimServer(Scenario& sc, const ServerOptions& opt);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Creates and binds the socket; false with a message in err.
  bool Open(std::string& err);
  // Serves until quit on the console or until *stop becomes non-zero. Returns the exit code.
  int Run(volatile std::sig_atomic_t* stop);

 private:
  struct Pending {
    size_t node;
    sockaddr_in to;
    std::vector<uint8_t> bytes;
  };
  struct KeyState {
    bool known = false;
    uint8_t key[16] = {};
  };

  Scenario& sc_;
  ServerOptions opt_;
  int fd_ = -1;
  FILE* log_ = nullptr;
  int64_t startMs_ = 0;
  size_t nextEvent_ = 0;
  std::multimap<int64_t, Pending> pending_;
  std::vector<KeyState> keys_;
  std::string consoleLine_;
  bool consoleOpen_ = true;
  // The last tool heard (source of a datagram of the protocol), for impostors' frames.
  bool toolKnown_ = false;
  sockaddr_in tool_{};
  std::vector<int64_t> nextAnnounce_;  // per node, for impostors with an interval

  int64_t Now() const;
  void Log(const char* dir, const std::string& from, const std::string& to, const uint8_t* data,
           size_t len, const uint8_t* key, const char* note = nullptr);
  void ReceiveAll();
  void Handle(const uint8_t* data, size_t len, const sockaddr_in& from, in_addr dst);
  void SendDue();
  void SendNow(const Pending& p);
  void RunTimeline();
  // Sends the impostor's frames of node i to the last tool heard: periodic, only the forged
  // answers when it forges; otherwise (and always when asked on the console) also its
  // discovery answer.
  void Announce(size_t i, const char* why, bool periodic);
  void RunImpostors();
  bool ReadConsole();  // false: quit requested
};
