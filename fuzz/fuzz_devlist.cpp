// Device-list answers of any length and content through DecodeDevList and DevListChanged.
// Input: u16 split point, then answer A (decoded first) and answer B (compared against A's
// model, then decoded on top of it). Each answer lives in a buffer of exactly its own size so
// that any read past the received length is caught.
#include <cstring>
#include <vector>

#include "config/ctrlcfg.h"
#include "fuzz_util.h"

namespace {

CtrlCfg gCfg;

uint32_t Low26(uint32_t id) {
  return id & 0x03FFFFFFu;
}

bool WellFormed(const std::vector<uint8_t>& a) {
  if (a.size() < 2) return false;
  const size_t n = size_t(a[0] | (a[1] << 8));
  return n <= size_t(kMaxDevs) && a.size() >= 2 + 8 * n;
}

uint32_t IdAt(const std::vector<uint8_t>& a, size_t s) {
  const uint8_t* p = a.data() + 2 + 4 * s;
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Decodes a and checks the model against the answer field by field.
void DecodeAndCheck(const std::vector<uint8_t>& a) {
  const CtrlCfg before = gCfg;
  const bool ok = DecodeDevList(gCfg, a.data(), a.size());
  FUZZ_CHECK(ok == WellFormed(a));
  if (!ok) {
    // A rejected answer only zeroes the slot count.
    FUZZ_CHECK(gCfg.devCount == 0);
    FUZZ_CHECK(gCfg.listedCount == before.listedCount);
    FUZZ_CHECK(std::memcmp(gCfg.order, before.order, sizeof gCfg.order) == 0);
    FUZZ_CHECK(std::memcmp(gCfg.devs, before.devs, sizeof gCfg.devs) == 0);
    return;
  }
  const size_t n = size_t(a[0] | (a[1] << 8));
  FUZZ_CHECK(gCfg.devCount == int32_t(n));
  int listed = 0;
  bool inOrder[kMaxDevs] = {};
  for (size_t s = 0; s < n; ++s) {
    const BusDev& d = gCfg.devs[s];
    const uint32_t id = IdAt(a, s);
    FUZZ_CHECK(d.id == id);
    if ((id >> 16) != 0xFFFF) ++listed;
    const uint8_t* info = a.data() + 2 + 4 * n + 4 * s;
    FUZZ_CHECK(d.suffixNumber == info[0]);
    FUZZ_CHECK(d.state == info[1]);
    const bool readerField = info[2] & 0x80;
    const uint16_t readers = readerField ? (info[2] >> 4) & 3 : 0;
    const uint16_t outputs = (readerField && readers == 0) ? 0 : info[2] & 0x0F;
    FUZZ_CHECK(d.readerCount == readers);
    FUZZ_CHECK(d.outputCount == outputs);
    FUZZ_CHECK(d.inputCount == (info[3] & 0x0F));
    FUZZ_CHECK(d.ocOutputs == ((info[2] >> 6) & 1));
    FUZZ_CHECK(d.usedOutputs == 0 && d.usedInputs == 0 && d.usedReaders == 0);
  }
  FUZZ_CHECK(gCfg.listedCount == listed);
  // order is a permutation of the occupied slots ...
  for (int i = 0; i < listed; ++i) {
    const int32_t s = gCfg.order[i];
    FUZZ_CHECK(s >= 0 && size_t(s) < n);
    FUZZ_CHECK(!inOrder[s]);
    inOrder[s] = true;
    FUZZ_CHECK((gCfg.devs[s].id >> 16) != 0xFFFF);
  }
  // ... in which no adjacent pair is one the sort would still swap.
  for (int i = 0; i + 1 < listed; ++i) {
    const uint32_t l = gCfg.devs[gCfg.order[i]].id, r = gCfg.devs[gCfg.order[i + 1]].id;
    FUZZ_CHECK(IsController(l) || Low26(l) <= Low26(r));
  }
  // The answer just decoded is no change.
  FUZZ_CHECK(!DevListChanged(gCfg, a.data(), a.size()));
}

// Whether b differs from the model in slot count, any identifier or any upper state nibble.
bool ExpectedChange(const std::vector<uint8_t>& b) {
  const size_t n = size_t(b[0] | (b[1] << 8));
  if (int32_t(n) != gCfg.devCount) return true;
  for (size_t s = 0; s < n; ++s) {
    if (IdAt(b, s) != gCfg.devs[s].id) return true;
    if ((b[2 + 4 * n + 4 * s + 1] & 0xF0) != (gCfg.devs[s].state & 0xF0)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::memset(&gCfg, 0, sizeof gCfg);
  FuzzInput in(data, size);
  const size_t split = in.U16();
  std::vector<uint8_t> a = in.Bytes(split);
  std::vector<uint8_t> b = in.Rest();

  DecodeAndCheck(a);
  const bool changed = DevListChanged(gCfg, b.data(), b.size());
  if (WellFormed(b)) FUZZ_CHECK(changed == ExpectedChange(b));
  // What the poll does with a changed answer; after a rejected A every answer is a change.
  if (gCfg.devCount == 0 && !b.empty() && WellFormed(b) && (b[0] | b[1]) != 0) FUZZ_CHECK(changed);
  DecodeAndCheck(b);
  // An empty or null answer is rejected without touching anything else.
  const int32_t listed = gCfg.listedCount;
  FUZZ_CHECK(!DecodeDevList(gCfg, nullptr, 0));
  FUZZ_CHECK(gCfg.devCount == 0 && gCfg.listedCount == listed);
  FUZZ_CHECK(DevListChanged(gCfg, nullptr, 0));
  return 0;
}
