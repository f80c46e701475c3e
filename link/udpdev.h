// Controller link: frames, discovery, device records, signed sessions and commands.
//
// Which address a device has, and who may change it:
//  - Only a search moves a known device (UdpDevSet::Search, or BeginSearch ... EndSearch
//    around collections of one's own; the late wait belongs to the search when it runs
//    inside it). At the end of the search the device moves when it answered from one new
//    address alone, that address answered with no other identifier, and nothing answered
//    with its identifier from its old address. A device this program holds a session with
//    never moves; the new address is recorded as its second.
//  - Outside a search (the tick's Collect, the late answers a command collects after a
//    search, datagrams a request drains or skips: UdpDevSet::Offer) an answer adds a device
//    not yet known, unless its address is another identifier's; refreshes the status of a
//    device at the address it has; and records any other address as the device's second
//    (`ip2`). It never moves one.
//  - `ip2` stays until a search hears the device from one address only. No session is
//    opened with a device that has one (OpenSession, EnsureSession, PollDevList refuse).
//  - One address, one identifier: a second identifier from an address within one search is
//    not added and is reported once ("10.0.0.66 odpowiada jako K27_00005 i K27_00009").
//  - A full set is reported once per run (FullSetText).
// The reports wait in UdpDevSet::TakeNotices until the caller shows them (the window's
// status line, the command-line tool's standard error); TwoAddressText/TwoAddressStatus
// give the two-address report of a device or of the set whenever it is wanted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <set>
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
// How long a command or the window waits for late discovery answers after a search's own
// waits, before it opens a session: a slow controller's answer is then compared too.
constexpr int kLateAnswerMs = 700;

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

// One discovery answer as the device set takes it.
struct DiscoveryAnswer {
  uint32_t id = 0;
  uint32_t ip = 0;
  uint16_t status = 0;
};
// Whether a datagram from `from` (dotted) is a discovery answer the device set takes: exactly
// 28 bytes, "MMDO", a good CRC, an identifier of class 2 other than 0xFFFFFFFF, and a source
// address that may be a device's (UsableDeviceAddress). Every reader of discovery answers
// uses this one rule.
bool ParseDiscoveryAnswer(const uint8_t* b, size_t n, const char* from,
                          const std::vector<LocalNet>& localNets, DiscoveryAnswer& out);

struct UdpDevSet;

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
  // The set holding the record (null for a record of its own): the datagrams a request of
  // this device drains or skips are offered to it (UdpDevSet::Offer).
  UdpDevSet* owner = nullptr;
  // What the device answered in search `round`: from its own address, from one other
  // address (`heardNew`, with that answer's status), from more than one other address.
  uint32_t round = 0;
  bool heardOld = false;
  bool heardTwoNew = false;
  uint32_t heardNew = 0;
  uint16_t heardNewStatus = 0;

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
  // Number of the latest search (0: none yet).
  uint32_t round = 0;

  UdpDevSet() = default;
  UdpDevSet(const UdpDevSet&) = delete;
  UdpDevSet& operator=(const UdpDevSet&) = delete;

  // One discovery answer, within the search in progress or outside any (see the top of this
  // file). True when the record was inserted or this changed its address, second address or
  // status, or (in a search) it answered from an address it may move to at the end.
  bool Add(uint32_t id, uint32_t ip, uint16_t status);
  // Takes discovery answers for timeoutMs (0: only what is queued) and sends the time frame
  // to each device added or changed at its address. Answers offered by requests since the
  // last collection are taken first. True when any answer made Add return true.
  bool Collect(int timeoutMs);
  // The window's search: up to three broadcasts, each with a 200 ms collection, stopping
  // after the first that brought news; then, with lateMs > 0, a further collection of late
  // answers; then the end of the search, where devices move.
  void Search(int lateMs = 0);
  // A search of one's own: BeginSearch, broadcasts and collections, EndSearch. EndSearch
  // moves the devices that may move (their time frames follow) and settles every second
  // address; true when that changed a record.
  void BeginSearch();
  bool EndSearch();
  // Ends a search cut short (an interrupt, an error) without settling anything: nobody moves.
  void CancelSearch();
  bool Searching() const { return searching_; }
  // A datagram a request drained or skipped (dotted sender): taken like the tick's answers,
  // outside a search. A known device's status or second address is updated at once; a
  // device not yet known waits for the next Collect, so no record moves under a request.
  void Offer(const char* from, const uint8_t* bytes, size_t n);
  // The reports made since the last call (one address with two identifiers, a full set),
  // each once; the caller shows them.
  std::vector<std::string> TakeNotices();
  // The record of an identifier, or null.
  const UdpDev* Find(uint32_t id) const;
  // The status line for every device that answered from two addresses, or empty.
  std::string TwoAddressStatus() const;
  // Ends every session this program holds, last record first, as destroying the set
  // does; failures are swallowed and no record holds a session afterwards.
  void EndSessions();
  // Ends every open session, last record first, while the set the records hand their skipped
  // datagrams to is still whole (the records, declared first, would go last).
  ~UdpDevSet() { EndSessions(); }

 private:
  bool AddAnswer(uint32_t id, uint32_t ip, uint16_t status, bool inSearch);
  bool Update(UdpDev& d, uint32_t ip, uint16_t status, bool inSearch);
  void Note(const std::string& text);
  bool HeldByAnother(uint32_t ip, uint32_t id) const;

  bool searching_ = false;
  // In the search in progress: the first identifier each address answered with, and the
  // addresses that answered with more than one.
  std::map<uint32_t, uint32_t> idAt_;
  std::set<uint32_t> twoIds_;
  // Devices not yet known, offered by requests, for the next Collect.
  std::vector<DiscoveryAnswer> offered_;
  // An offered answer changed a known record since the last collection.
  bool offeredChange_ = false;
  std::vector<std::string> notices_;
  bool fullNoted_ = false;
  // The local networks for Offer, asked once per search.
  std::vector<LocalNet> nets_;
  bool netsKnown_ = false;
};

// "zbiór urządzeń jest pełny (100 urządzeń, tyle obsługuje protokół); dalsze urządzenia
// pominięto."
std::string FullSetText();
// "10.0.0.66 odpowiada jako K27_00005 i K27_00009"
std::string TwoIdentifiersText(uint32_t ip, uint32_t first, uint32_t second);
