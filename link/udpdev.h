// Controller link: frames, discovery, device records, signed sessions and commands.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "config/ctrlcfg.h"
#include "endpoint.h"

uint32_t Crc32(const uint8_t* bytes, size_t len, uint32_t start = 0xFFFFFFFFu);
uint32_t ParseIp(const char* dotted);

// Little-endian helpers for frame fields.
inline uint16_t GetU16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

constexpr uint32_t kBroadcastId = 0xFFFFFFFFu;
constexpr uint8_t kAck = 0x06;
constexpr int kMaxDevices = 100;

// 12-byte unauthenticated request "MMD" + letter, id, CRC-32 of bytes 0-7.
void BuildRequest(char letter, uint32_t id, uint8_t out[12]);
// 16-byte time frame "MMDT", id, UTC seconds, CRC-32.
void BuildTimeFrame(uint32_t id, uint32_t utc, uint8_t out[16]);

// The answer buffer of the link (8192 bytes); SendAndWait leaves the accepted answer here.
uint8_t* LinkAnswerBuffer();

// Whether a discovery answer from source address ip may give a device its address: never
// 0.0.0.0/8, loopback, multicast or reserved addresses, 255.255.255.255, nor the network or
// broadcast address of a local interface's network.
bool UsableDeviceAddress(uint32_t ip, const std::vector<LocalNet>& localNets);

struct UdpDev {
  uint32_t id = 0;
  uint32_t ip = 0;
  // A second address the same identifier answered discovery from (0: none). The link keeps
  // talking to `ip` only; the user is told, and the command-line tool refuses to write.
  uint32_t ip2 = 0;
  uint16_t seq = 0;
  uint16_t status = 0;
  bool online = false;
  bool changed = false;
  bool session = false;
  uint8_t key[16] = {};
  // The search in which the device last answered discovery, and its address before it.
  uint32_t round = 0;
  uint32_t roundPrior = 0;

  UdpDev() = default;
  UdpDev(uint32_t id, uint32_t ip, uint16_t status);
  // A record stands for the session it holds: a copy would end that session when it goes
  // away. Records only move, and the record moved from no longer holds the session.
  UdpDev(const UdpDev&) = delete;
  UdpDev& operator=(const UdpDev&) = delete;
  UdpDev(UdpDev&& other) noexcept;
  UdpDev& operator=(UdpDev&& other) noexcept;
  // Ends the session, if this program holds one; an error at that point is swallowed.
  ~UdpDev();

  int Mode() const { return status & 3; }
  std::string IpText() const;
  std::string Ip2Text() const;  // empty when the device answered from one address only
  std::string ModeText() const;
  std::string ListText() const;

  // One attempt: send once, wait (bounded by one 200 ms deadline) for a matching answer.
  size_t SendAndWait(const char tag[4], char letter, const uint8_t* req, size_t reqLen);
  int Request(char letter, int maxLen, uint8_t* out);
  bool ReadStatus();

  // Both refuse (std::runtime_error with TwoAddressText) to open a session with a device
  // that answered from two addresses; otherwise they raise UErr as documented.
  void OpenSession();
  void EnsureSession();
  int Exchange(char letter, int p, const uint8_t* payload, int m, uint8_t* out);
  void Command(char letter, int p, const uint8_t* payload);
  void KeepSession();
  void EndSession();

  void ReadConfig(CtrlCfg& cfg);
  bool PollDevList(CtrlCfg& cfg);
  void WriteConfig(const CtrlCfg& cfg);
  void DeleteLost();
  void ReplaceDev(uint16_t pair);
};

struct UErr : std::exception {
  const UdpDev* dev;
  int code;
  char cmd;
  // Builds the error's text at once, while the device it names still exists.
  UErr(const UdpDev* d, int c, char letter = 0);
  // The same text as ErrorText at the time of the error (UTF-8).
  const char* what() const noexcept override { return text_ ? text_->c_str() : "Błąd urządzenia."; }

 private:
  std::shared_ptr<const std::string> text_;  // shared: copying an exception cannot throw
};

// The text shown to the user for an error (UTF-8, ends with a line feed).
std::string ErrorText(const UErr& err);
// The error on one line without the device and without the window's advice on what may
// have caused it: "Błąd nr 2 (r.'K'): Kontroler ma obcą sesję." (documents, logs).
std::string ErrorHeadline(const UErr& err);

// "K27_00005 odpowiada z dwóch adresów: 10.0.0.5, 10.0.0.66" for a device that answered
// discovery from two addresses; empty otherwise.
std::string TwoAddressText(const UdpDev& dev);

struct UdpDevSet {
  UdpDev dev[kMaxDevices];
  int count = 0;
  int selected = -1;
  // Number of the current search; answers taken between two searches belong to the first.
  uint32_t round = 1;

  // One discovery answer. A new device is inserted. A known device answering from its own
  // address takes the status. From another address: a device holding this program's session
  // keeps its address and the other one is recorded as its second; so is an address seen
  // after another one within the same search; otherwise (the first answer of this search)
  // the device moves there. True when the record was inserted or any of this changed it.
  bool Add(uint32_t id, uint32_t ip, uint16_t status);
  bool Collect(int timeoutMs);
  void Search();
  // The record of an identifier, or null.
  const UdpDev* Find(uint32_t id) const;
  // The status line for every device that answered from two addresses, or empty.
  std::string TwoAddressStatus() const;
  // Ends every session this program holds, last record first, as destroying the set
  // does; failures are swallowed and no record holds a session afterwards.
  void EndSessions();
  // Array destruction runs last record first, ending every open session.
};
