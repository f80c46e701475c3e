// Simulated Quorinnet device: the device side of the protocol, independent of transport.
// The in-memory network of the tests and feldaro-sim over real UDP both drive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

// "a.b.c.d" of an address held with its first octet in the most significant byte.
std::string DottedIp(uint32_t ip);

// How long a silent session lives on the device, and how long a moved device shows inactive.
constexpr int64_t kSimSessionMs = 30000;
constexpr int64_t kSimMovedMs = 3000;

struct SimBusDev {
  bool present = false;  // false: empty slot (identifier with 0xFFFF in its upper half)
  uint32_t id = 0xFFFF0000u;
  uint8_t suffixNumber = 1;
  uint8_t state = 0;  // bit 7 inactive, 6 power, 5 tamper, 4 new, 0-3 free
  uint8_t outputs = 0, inputs = 0, readers = 0;
  bool oc = false;
  // The reader count is sent (bit 7 of information byte 2) for a device with readers; this
  // sends it for one without, and a count of 0 there means no outputs to the tool either.
  bool readerFieldWithoutReaders = false;
};

struct SimDoor {
  uint16_t refs[18];  // 4 outputs, 10 inputs, 4 readers
  uint8_t params[8];
};

struct SimFaults {
  int dropNext = 0;     // drop the next N answers
  double lossRate = 0;  // drop each answer with this probability
  int badCrcNext = 0;   // next N unauthenticated answers carry a wrong CRC
  int badSigNext = 0;   // next N signed answers carry a wrong signature
  double badCrcRate = 0, badSigRate = 0;
  char noAckFor = 0;     // this command letter is answered with 0x15 instead of ACK
  int delayMs = 0;       // every answer leaves this much later
  int duplicate = 0;     // every answer is sent 1 + duplicate times
  bool offline = false;  // answers nothing at all
  char silentFor = 0;    // requests with this letter ('O', 'K' or a signed command) are ignored
  char overrideFor = 0;  // this signed command is answered with overrideData instead
  std::vector<uint8_t> overrideData;
  uint8_t statusDigit = '1';  // byte 11 of status answers ('1' when the answer is valid)
};

struct SimAnswer {
  std::vector<uint8_t> bytes;
  int delayMs = 0;  // after the request arrived
};

struct SimReceived {
  int64_t atMs;
  bool broadcast;
  std::vector<uint8_t> bytes;
};

class SimDevice {
 public:
  SimDevice(uint32_t id, uint32_t ip, int mode);

  uint32_t id;
  uint32_t ip;                  // first octet in the most significant byte
  int mode;                     // 0 Blokada .. 3 Instalacja
  bool foreignSession = false;  // someone else holds the session
  uint32_t lastTime = 0;        // UTC seconds from the last "MMDT" frame

  // Controller state (ignored for other device types).
  std::vector<SimBusDev> bus;  // slot table
  std::vector<SimDoor> doors;
  uint16_t trainNumber = 0;

  SimFaults faults;
  // Key material from the system's random source instead of the device's own generator
  // (which is seeded from the identifier, or from Seed, for repeatable runs).
  bool systemKeys = false;
  std::vector<SimReceived> received;          // every datagram that reached this device
  std::vector<std::vector<uint8_t>> written;  // every accepted 'c' payload

  // Handles one datagram addressed to this device (or broadcast); appends answers to out.
  void OnDatagram(const uint8_t* data, size_t len, bool broadcast, int64_t nowMs,
                  std::vector<SimAnswer>& out);

  // Session state as the device sees it at nowMs (a silent session ends after ~30 s).
  bool SessionOpen(int64_t nowMs) const;
  uint8_t StatusByte(int64_t nowMs) const;

  // Seeds the device's generator (key material, chance faults) with seed and its identifier.
  void Seed(uint32_t seed);

  // Frames another host can send in this device's name, unasked: its discovery answer, a
  // status answer reporting no session, and a key answer with fresh material.
  std::vector<uint8_t> DiscoveryAnswer(int64_t nowMs) const;
  std::vector<uint8_t> ForgedStatus() const;
  std::vector<uint8_t> ForgedKey();

  // Scenario helpers.
  int AddBusDevice(uint32_t id, uint8_t outputs, uint8_t inputs, uint8_t readers, bool oc,
                   uint8_t state = 0, uint8_t suffixNumber = 1);  // returns the slot
  void SetInactive(int slot, bool on);
  std::vector<uint8_t> DevListPayload(int64_t nowMs) const;
  std::vector<uint8_t> DoorsPayload() const;
  // Letters of the signed commands received, in order ("KDC..." with 'K' for key requests).
  std::vector<char> Commands() const;

 private:
  bool session_ = false;
  int64_t lastActivityMs_ = 0;
  uint8_t key_[16] = {};
  int movedSlot_ = -1;
  int64_t movedUntilMs_ = 0;
  std::mt19937 rng_{12345};

  bool Chance(double rate);
  void KeyMaterial(uint8_t m[16]);
  void Emit(std::vector<uint8_t> bytes, bool isSigned, std::vector<SimAnswer>& out);
  void OnPlain(const uint8_t* data, size_t len, int64_t nowMs, std::vector<SimAnswer>& out);
  void OnSigned(const uint8_t* data, size_t len, int64_t nowMs, std::vector<SimAnswer>& out);
  std::vector<uint8_t> Run(char letter, const uint8_t* payload, size_t p, int64_t nowMs);
  void Signature(const uint8_t* bytes, size_t n, uint8_t out[8]) const;
};
