// Passage answers of any length and content through DecodeDoors, MarkUsedIo and EncodeDoors.
// Input: u32 identifier of the device in slot 0 (decides the train-number word), then the
// answer. Checks the decoded fields against the answer and that what the tool writes back
// decodes to the same model and encodes to the same bytes.
#include <cstring>
#include <vector>

#include "config/ctrlcfg.h"
#include "fuzz_util.h"

namespace {

CtrlCfg gCfg, gCopy;

uint16_t Get16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  std::memset(&gCfg, 0, sizeof gCfg);
  gCfg.devs[0].id = in.U32();
  gCfg.devCount = 1;
  gCfg.listedCount = 1;
  const std::vector<uint8_t> a = in.Rest();  // exactly the received length

  const bool ok = DecodeDoors(gCfg, a.data(), a.size());
  const size_t n = a.size() >= 1 ? a[0] : 0;
  const bool wellFormed =
      a.size() >= 2 && n <= size_t(kMaxDoors) && a[1] == 18 && a.size() >= 2 + 44 * n;
  FUZZ_CHECK(ok == wellFormed);
  if (!ok) {
    FUZZ_CHECK(gCfg.devCount == 0 && gCfg.doorCount == 0);
    uint8_t out[kCfgBufSize];
    const int len = EncodeDoors(gCfg, out);
    FUZZ_CHECK(len == 2 + (HasTrainNumber(gCfg.devs[0].id) ? 2 : 0));
    return 0;
  }
  FUZZ_CHECK(gCfg.doorCount == int32_t(n));
  for (size_t d = 0; d < n; ++d) {
    const uint8_t* r = a.data() + 2 + 36 * d;
    const DoorCfg& door = gCfg.doors[d];
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(door.outputs[i] == Get16(r + 2 * i));
    for (int i = 0; i < 10; ++i) FUZZ_CHECK(door.inputs[i] == Get16(r + 8 + 2 * i));
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(door.readers[i] == Get16(r + 28 + 2 * i));
    const uint8_t* p = a.data() + 2 + 36 * n + 8 * d;
    for (int i = 0; i < 4; ++i) FUZZ_CHECK(door.params[i] == p[i]);
    for (int i = 4; i < 8; ++i) FUZZ_CHECK(door.params[i] == (p[i] > 127 ? 127 : p[i]));
  }
  const size_t trainAt = 2 + 44 * n;
  if (a.size() >= trainAt + 2) FUZZ_CHECK(gCfg.trainNumber == Get16(a.data() + trainAt));

  // References may name any slot; marking them must stay inside the table.
  MarkUsedIo(gCfg);

  uint8_t enc1[kCfgBufSize], enc2[kCfgBufSize];
  const int len1 = EncodeDoors(gCfg, enc1);
  const bool train = HasTrainNumber(gCfg.devs[0].id);
  FUZZ_CHECK(len1 == int(2 + 44 * n + (train ? 2 : 0)));
  FUZZ_CHECK(44 * n + 4 <= size_t(kCfgBufSize));
  FUZZ_CHECK(enc1[0] == n && enc1[1] == 18);
  // References go back exactly as received; parameters as decoded (times clamped).
  FUZZ_CHECK(std::memcmp(enc1 + 2, a.data() + 2, 36 * n) == 0);
  if (train) FUZZ_CHECK(Get16(enc1 + trainAt) == gCfg.trainNumber);

  std::memset(&gCopy, 0, sizeof gCopy);
  gCopy.devs[0].id = gCfg.devs[0].id;
  gCopy.devCount = 1;
  FUZZ_CHECK(DecodeDoors(gCopy, enc1, size_t(len1)));
  FUZZ_CHECK(gCopy.doorCount == gCfg.doorCount);
  FUZZ_CHECK(std::memcmp(gCopy.doors, gCfg.doors, sizeof(DoorCfg) * n) == 0);
  if (train) FUZZ_CHECK(gCopy.trainNumber == gCfg.trainNumber);
  const int len2 = EncodeDoors(gCopy, enc2);
  FUZZ_CHECK(len2 == len1);
  FUZZ_CHECK(std::memcmp(enc1, enc2, size_t(len1)) == 0);
  return 0;
}
