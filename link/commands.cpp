// Commands that read and change a controller's configuration.
#include "link/udpdev.h"

namespace {
// Acknowledged commands and their letters.
constexpr char kCmdDevList = 'D';
constexpr char kCmdDoors = 'C';
constexpr char kCmdWrite = 'c';
constexpr char kCmdDeleteLost = 'F';
constexpr char kCmdReplace = 'R';
}  // namespace

void UdpDev::ReadConfig(CtrlCfg& cfg) {
  if (!online || Mode() < 2) return;
  EnsureSession();
  // Both answers are fetched before anything is decoded, so a failure leaves cfg as it was.
  uint8_t devList[kDevListSize];
  uint8_t doors[kCfgBufSize];
  const int devLen = Exchange(kCmdDevList, 0, nullptr, kDevListSize, devList);
  const int doorLen = Exchange(kCmdDoors, 0, nullptr, kCfgBufSize, doors);
  DecodeDevList(cfg, devList, size_t(devLen));
  DecodeDoors(cfg, doors, size_t(doorLen));
  MarkUsedIo(cfg);
}

bool UdpDev::PollDevList(CtrlCfg& cfg) {
  if (!online || Mode() < 2) return false;
  // Someone else's session: leave the controller alone until it ends.
  if ((status & 0x80) && !session) return false;
  // Nor a device answering from two addresses: no session is opened with it (see OpenSession).
  if (ip2 && !session) return false;
  if (!session) OpenSession();
  uint8_t devList[kDevListSize];
  const int d = Exchange(kCmdDevList, 0, nullptr, kDevListSize, devList);
  if (d == 0) return false;
  if (!DevListChanged(cfg, devList, size_t(d))) return false;
  DecodeDevList(cfg, devList, size_t(d));
  MarkUsedIo(cfg);
  return true;
}

void UdpDev::WriteConfig(const CtrlCfg& cfg) {
  // A passage count the model cannot hold would make the encoder read past its table.
  if (cfg.doorCount < 0 || cfg.doorCount > kMaxDoors || 44 * cfg.doorCount + 4 > kCfgBufSize)
    throw UErr(this, 8, 0);
  EnsureSession();
  uint8_t payload[kCfgBufSize];
  const int len = EncodeDoors(cfg, payload);
  if (len < 0 || len > kCfgBufSize) throw UErr(this, 8, 0);
  Command(kCmdWrite, len, payload);
}

void UdpDev::DeleteLost() {
  EnsureSession();
  Command(kCmdDeleteLost, 0, nullptr);
}

void UdpDev::ReplaceDev(uint16_t pair) {
  EnsureSession();
  const uint8_t payload[2] = {uint8_t(pair & 0xFF), uint8_t(pair >> 8)};
  Command(kCmdReplace, 2, payload);
}
