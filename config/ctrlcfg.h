// Configuration model of one controller: bus device table, display order, passages.
// Plain data with fixed arrays; all operations are free functions and never allocate
// except where they return a text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "devname.h"

// Reference to one output, input or reader: bits 8-14 slot, bits 0-4 index, bit 7 NC.
using IoRef = uint16_t;
constexpr IoRef kNoRef = 0xFFFF;
constexpr IoRef kRefMask = 0xFF7F;  // equal after masking: the same physical I/O

constexpr int kMaxDevs = 128;
constexpr int kMaxDoors = 16;
constexpr int kMaxPairs = 2560;
constexpr int kCfgBufSize = 1000;
// A device list answer of the full table: the count and 8 bytes per slot (1026 bytes).
constexpr int kDevListSize = 2 + 8 * kMaxDevs;

// State flags of a bus device.
constexpr uint8_t kStInactive = 0x80;
constexpr uint8_t kStPower = 0x40;
constexpr uint8_t kStTamper = 0x20;
constexpr uint8_t kStNew = 0x10;

struct BusDev {
  uint32_t id;
  uint8_t state;
  uint8_t suffixNumber;
  uint16_t outputCount;
  uint16_t inputCount;
  uint16_t readerCount;
  uint32_t usedOutputs;
  uint32_t usedInputs;
  uint16_t usedReaders;
  uint8_t ocOutputs;
};

// Parameter bytes of a passage.
enum DoorParam : int {
  kParType = 0,       // bits 0-3 doorType
  kParFlags = 2,      // bits 0-1 airlock-1, bit 2 airlock valid, bit 6 handle, bit 7 full pulse
  kParBoltPulse = 4,  // half seconds 0..127
  kParOpenTime = 6,   // half seconds 0..127
};
constexpr uint8_t kFlagAirlock = 0x04;
constexpr uint8_t kFlagHandle = 0x40;
constexpr uint8_t kFlagFullPulse = 0x80;

struct DoorCfg {
  IoRef outputs[4];  // bolt, reminder, alarm, CCTV
  IoRef inputs[10];  // exit button, open sensor, alarm sensor, tamper; 4-9 hidden
  IoRef readers[4];
  uint8_t params[8];
};

struct CtrlCfg {
  int32_t devCount;
  int32_t listedCount;
  int32_t doorCount;
  BusDev devs[kMaxDevs];
  int32_t order[kMaxDevs];
  DoorCfg doors[kMaxDoors];
  uint16_t trainNumber;
};

enum IoKind : int { kOutputs = 0, kInputs = 1, kReaders = 2 };

void ClearCfg(CtrlCfg& cfg);

// Device list answer: N (u16), N identifiers, N 4-byte information records.
// len is the received data length; an answer shorter than 2 + 8N is rejected like N > 128.
bool DecodeDevList(CtrlCfg& cfg, const uint8_t* payload, size_t len);
bool DevListChanged(const CtrlCfg& cfg, const uint8_t* payload, size_t len);
void SortDevOrder(CtrlCfg& cfg);
// Takes the bus device table and display order of `from` into `into`, keeps the passages
// and train number of `into`, and marks the inputs and outputs those passages use.
void AdoptDevTable(CtrlCfg& into, const CtrlCfg& from);

std::string DevLabel(const BusDev& dev);
std::string DevListText(const BusDev& dev);
// The state shown in the device list line: "(nieaktywny)", "(zasilanie!)", "(sabotaż)",
// "(nowy)" for the first flag set, in that order, or "".
const char* DevStateText(uint8_t state);
std::string IoRefText(const CtrlCfg& cfg, IoRef ref, const char* kindText);
bool AnyInactive(const CtrlCfg& cfg);
int ReplPairs(const CtrlCfg& cfg, uint16_t out[kMaxPairs]);
std::string ReplPairText(const CtrlCfg& cfg, uint16_t pair);

// Passage answer / write payload: n, 18, 36n reference bytes, 8n parameter bytes, train number.
bool DecodeDoors(CtrlCfg& cfg, const uint8_t* payload, size_t len);
void MarkUsedIo(CtrlCfg& cfg);
int EncodeDoors(const CtrlCfg& cfg, uint8_t out[kCfgBufSize]);
bool HasTrainNumber(uint32_t id);  // ((id >> 16) & 0xF3FF) == 0x2147

void SetOutput(CtrlCfg& cfg, int door, int slot, IoRef ref, int nc);
void SetInput(CtrlCfg& cfg, int door, int slot, IoRef ref, int nc);
void SetReader(CtrlCfg& cfg, int door, int slot, IoRef ref);
void SetOutputNC(CtrlCfg& cfg, int door, int slot, int nc);
void SetInputNC(CtrlCfg& cfg, int door, int slot, int nc);
int GetAirlock(const CtrlCfg& cfg, int door);  // 0..3, -1 for none
void SetAirlock(CtrlCfg& cfg, int door, int n);
int FreeIo(const CtrlCfg& cfg, int kind, IoRef out[kMaxDevs * 16]);
int SharedOutputs(const CtrlCfg& cfg, int slot, IoRef out[kMaxDoors]);
