// Bus device list: decoding, display order, change detection, texts, replacement pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cfg_builders.h"
#include "config/ctrlcfg.h"

using namespace cfgtest;

namespace {

// A heap buffer of exactly the given bytes, so a read past its end is caught by ASan.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& v, size_t len) {
  auto p = std::make_unique<uint8_t[]>(len ? len : 1);
  std::memcpy(p.get(), v.data(), std::min(len, v.size()));
  return p;
}

std::vector<int> Order(const CtrlCfg& cfg) {
  return std::vector<int>(cfg.order, cfg.order + cfg.listedCount);
}

std::unique_ptr<CtrlCfg> NewCfg() {
  return std::make_unique<CtrlCfg>(CtrlCfg{});
}

}  // namespace

TEST(DecodeDevList, EmptyListSucceeds) {
  auto cfg = NewCfg();
  cfg->devCount = 7;
  cfg->listedCount = 7;
  const auto p = DevListPayload({});
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_EQ(cfg->devCount, 0);
  EXPECT_EQ(cfg->listedCount, 0);
}

TEST(DecodeDevList, MoreThan128SlotsRejected) {
  auto cfg = NewCfg();
  const auto good = DevListPayload({{MakeId(327, 5)}, {MakeId(1, 9)}});
  ASSERT_TRUE(DecodeDevList(*cfg, good.data(), good.size()));
  std::vector<DevSpec> many(129, DevSpec{MakeId(1, 1)});
  const auto p = DevListPayload(many);
  EXPECT_FALSE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_EQ(cfg->devCount, 0);
  // Nothing else changes.
  EXPECT_EQ(cfg->listedCount, 2);
  EXPECT_EQ(cfg->devs[1].id, MakeId(1, 9));

  std::vector<DevSpec> full(128, DevSpec{MakeId(1, 1)});
  for (int i = 0; i < 128; ++i) full[i].id = MakeId(1, i);
  const auto p128 = DevListPayload(full);
  EXPECT_TRUE(DecodeDevList(*cfg, p128.data(), p128.size()));
  EXPECT_EQ(cfg->devCount, 128);
  EXPECT_EQ(cfg->listedCount, 128);
}

TEST(DecodeDevList, ShortAnswersRejected) {
  const auto p = DevListPayload({{MakeId(327, 5), 1, 0, 0x95, 3}, {MakeId(1, 9), 2, 0, 0x81, 2}});
  ASSERT_EQ(p.size(), 18u);
  for (size_t len = 0; len < p.size(); ++len) {
    auto cfg = NewCfg();
    cfg->devCount = 5;
    cfg->listedCount = 3;
    auto buf = Exact(p, len);
    EXPECT_FALSE(DecodeDevList(*cfg, len ? buf.get() : nullptr, len)) << len;
    EXPECT_EQ(cfg->devCount, 0) << len;
    EXPECT_EQ(cfg->listedCount, 3) << len;
  }
  auto cfg = NewCfg();
  auto buf = Exact(p, p.size());
  EXPECT_TRUE(DecodeDevList(*cfg, buf.get(), p.size()));
  EXPECT_EQ(cfg->devCount, 2);
  // Extra trailing bytes are ignored.
  auto longer = p;
  longer.push_back(0xEE);
  EXPECT_TRUE(DecodeDevList(*cfg, longer.data(), longer.size()));
  EXPECT_EQ(cfg->devCount, 2);
}

TEST(DecodeDevList, FieldsOfTheInformationRecord) {
  auto cfg = NewCfg();
  const auto p = DevListPayload({
      {MakeId(327, 5), 7, 0x93, 0x85, 0xF4},
      {MakeId(1, 1), 0, 0, 0x95, 0x02},
      {MakeId(1, 2), 0, 0, 0x25, 0x0F},
      {MakeId(1, 3), 0, 0, 0x45, 0x10},
      {MakeId(1, 4), 0, 0, 0xFF, 0x00},
  });
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  const BusDev* d = cfg->devs;
  // 0x85: reader field present with 0 readers, so no outputs either.
  EXPECT_EQ(d[0].outputCount, 0);
  EXPECT_EQ(d[0].readerCount, 0);
  EXPECT_EQ(d[0].ocOutputs, 0);
  EXPECT_EQ(d[0].suffixNumber, 7);
  EXPECT_EQ(d[0].state, 0x93);  // low bits stored as received
  EXPECT_EQ(d[0].inputCount, 4);
  // 0x95: 5 outputs, 1 reader.
  EXPECT_EQ(d[1].outputCount, 5);
  EXPECT_EQ(d[1].readerCount, 1);
  EXPECT_EQ(d[1].ocOutputs, 0);
  EXPECT_EQ(d[1].inputCount, 2);
  // 0x25: no reader field, bits 4-5 ignored.
  EXPECT_EQ(d[2].outputCount, 5);
  EXPECT_EQ(d[2].readerCount, 0);
  EXPECT_EQ(d[2].ocOutputs, 0);
  EXPECT_EQ(d[2].inputCount, 15);
  // 0x45: 5 open-collector outputs.
  EXPECT_EQ(d[3].outputCount, 5);
  EXPECT_EQ(d[3].readerCount, 0);
  EXPECT_EQ(d[3].ocOutputs, 1);
  EXPECT_EQ(d[3].inputCount, 0);
  // 0xFF: 15 OC outputs, 3 readers.
  EXPECT_EQ(d[4].outputCount, 15);
  EXPECT_EQ(d[4].readerCount, 3);
  EXPECT_EQ(d[4].ocOutputs, 1);
}

TEST(DecodeDevList, UsedMasksClearedOnDecode) {
  auto cfg = NewCfg();
  cfg->devs[0].usedOutputs = 0xFF;
  cfg->devs[0].usedInputs = 0xFF;
  cfg->devs[0].usedReaders = 0xF;
  const auto p = DevListPayload({{MakeId(327, 5), 0, 0, 0x95, 3}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_EQ(cfg->devs[0].usedOutputs, 0u);
  EXPECT_EQ(cfg->devs[0].usedInputs, 0u);
  EXPECT_EQ(cfg->devs[0].usedReaders, 0u);
}

TEST(DecodeDevList, EmptySlotKeepsLaterRecordsAligned) {
  auto cfg = NewCfg();
  const auto p = DevListPayload({
      {MakeId(327, 5), 1, 0, 0x81, 1},
      {0xFFFF0000u | 77, 2, 0x80, 0x93, 9},
      {MakeId(1, 9), 3, 0x10, 0xA2, 4},
  });
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_EQ(cfg->devCount, 3);
  EXPECT_EQ(Order(*cfg), (std::vector<int>{0, 2}));
  // The empty slot's record is decoded like any other ...
  EXPECT_EQ(cfg->devs[1].suffixNumber, 2);
  EXPECT_EQ(cfg->devs[1].outputCount, 3);
  EXPECT_EQ(cfg->devs[1].inputCount, 9);
  // ... so the next slot reads its own record.
  EXPECT_EQ(cfg->devs[2].suffixNumber, 3);
  EXPECT_EQ(cfg->devs[2].state, 0x10);
  EXPECT_EQ(cfg->devs[2].outputCount, 2);
  EXPECT_EQ(cfg->devs[2].readerCount, 2);
  EXPECT_EQ(cfg->devs[2].inputCount, 4);
  // Its I/O is never offered.
  IoRef free[kMaxDevs * 16];
  const int n = FreeIo(*cfg, kInputs, free);
  for (int i = 0; i < n; ++i) EXPECT_NE(free[i] >> 8, 1);
  EXPECT_EQ(n, 1 + 4);
}

TEST(SortDevOrder, DisplayOrderExample) {
  auto cfg = NewCfg();
  const auto p =
      DevListPayload({{MakeId(327, 5)}, {MakeId(1, 9)}, {MakeId(202, 3)}, {MakeId(1, 2)}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  std::vector<std::string> names;
  for (int i = 0; i < cfg->listedCount; ++i) names.push_back(DevName(cfg->devs[cfg->order[i]].id));
  EXPECT_EQ(names, (std::vector<std::string>{"K27_00005", "R01_00002", "R01_00009", "Z02_00003"}));
  EXPECT_EQ(Order(*cfg), (std::vector<int>{0, 3, 1, 2}));
}

TEST(SortDevOrder, ControllerNeverMovesRight) {
  auto cfg = NewCfg();
  // A module and a type-4 device after the controller: the module moves left past the
  // second controller, but the controllers keep their received order among themselves.
  const auto p = DevListPayload(
      {{MakeId(327, 9)}, {MakeId(400, 1)}, {MakeId(327, 5)}, {MakeId(1, 1)}, {MakeId(700, 3)}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  // Pass 1: C400 > K5 and C400 > R1 swap; pass 2: K5 > R1 would swap, but a controller
  // is never moved right, and K9 stays before K5 for the same reason.
  std::vector<std::string> names;
  for (int i = 0; i < cfg->listedCount; ++i) names.push_back(DevName(cfg->devs[cfg->order[i]].id));
  EXPECT_EQ(names, (std::vector<std::string>{"K27_00009", "K27_00005", "R01_00001", "C00_00001",
                                             "D00_00003"}));
}

TEST(SortDevOrder, HighBitsIgnoredAndNonControllersAscending) {
  auto cfg = NewCfg();
  const auto p = DevListPayload({{MakeId(327, 1)},
                                 {MakeId(1, 7, 3, 15)},
                                 {MakeId(1, 7, 0, 0) - 1},
                                 {MakeId(101, 2, 1, 2)},
                                 {MakeId(1, 8, 0, 1)}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_EQ(Order(*cfg), (std::vector<int>{0, 2, 1, 4, 3}));
}

TEST(SortDevOrder, ControllerNotFirstCanMoveLeftButNotRight) {
  auto cfg = NewCfg();
  // Left device greater and not a controller: swapped, so the controller moves left.
  const auto p = DevListPayload({{MakeId(700, 1)}, {MakeId(327, 2)}, {MakeId(1, 3)}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  // D700 > K327 -> swap; D700 > R1 -> swap; then K327 > R1 but a controller stays.
  EXPECT_EQ(Order(*cfg), (std::vector<int>{1, 2, 0}));
}

TEST(DevListChanged, ComparesIdsCountAndHighStateBits) {
  std::vector<DevSpec> devs = {{MakeId(327, 5), 1, 0x00, 0x95, 3},
                               {MakeId(1, 9), 2, 0x03, 0x81, 2}};
  auto cfg = NewCfg();
  const auto p = DevListPayload(devs);
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_FALSE(DevListChanged(*cfg, p.data(), p.size()));

  auto v = devs;
  v[1].suffixNumber = 99;
  v[1].info2 = 0xC7;
  v[1].info3 = 0x0F;
  v[1].state = 0x0C;  // low state bits only
  auto q = DevListPayload(v);
  EXPECT_FALSE(DevListChanged(*cfg, q.data(), q.size()));

  v = devs;
  v[1].state |= kStNew;
  q = DevListPayload(v);
  EXPECT_TRUE(DevListChanged(*cfg, q.data(), q.size()));
  for (uint8_t bit : {kStInactive, kStPower, kStTamper}) {
    v = devs;
    v[0].state |= bit;
    q = DevListPayload(v);
    EXPECT_TRUE(DevListChanged(*cfg, q.data(), q.size())) << int(bit);
  }

  v = devs;
  v[1].id ^= 0x80000000u;  // all 32 bits are compared
  q = DevListPayload(v);
  EXPECT_TRUE(DevListChanged(*cfg, q.data(), q.size()));

  v = devs;
  v.push_back({MakeId(1, 10)});
  q = DevListPayload(v);
  EXPECT_TRUE(DevListChanged(*cfg, q.data(), q.size()));
}

TEST(DevListChanged, MalformedAnswerCountsAsChange) {
  const auto p = DevListPayload({{MakeId(327, 5)}, {MakeId(1, 9)}});
  auto cfg = NewCfg();
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  for (size_t len = 0; len < p.size(); ++len) {
    auto buf = Exact(p, len);
    EXPECT_TRUE(DevListChanged(*cfg, len ? buf.get() : nullptr, len)) << len;
  }
  // After a rejected passage answer devCount is 0 and the same list reads as changed.
  cfg->devCount = 0;
  EXPECT_TRUE(DevListChanged(*cfg, p.data(), p.size()));
  // An empty list against an empty model is no change.
  auto empty = NewCfg();
  const auto e = DevListPayload({});
  EXPECT_FALSE(DevListChanged(*empty, e.data(), e.size()));
  std::vector<DevSpec> many(129, DevSpec{MakeId(1, 1)});
  const auto m = DevListPayload(many);
  EXPECT_TRUE(DevListChanged(*empty, m.data(), m.size()));
}

TEST(DevTexts, LabelAndListLine) {
  BusDev d{};
  d.id = MakeId(327, 1234, 1);
  d.suffixNumber = 5;
  EXPECT_EQ(DevLabel(d), "K27_01234/B5");
  d.suffixNumber = 255;
  d.id = MakeId(1, 42, 3);
  EXPECT_EQ(DevLabel(d), "R01_00042/D255");

  d.suffixNumber = 0;
  d.id = MakeId(1, 42, 0);
  d.state = 0x0F;
  EXPECT_EQ(DevListText(d), "    Czytnik: R01_00042/A0,   ");
  d.state = kStInactive | kStNew | kStPower;
  EXPECT_EQ(DevListText(d), "    Czytnik: R01_00042/A0,   (nieaktywny)");
  d.state = kStPower | kStTamper;
  EXPECT_EQ(DevListText(d), "    Czytnik: R01_00042/A0,   (zasilanie!)");
  d.state = kStTamper | kStNew;
  EXPECT_EQ(DevListText(d), "    Czytnik: R01_00042/A0,   (sabotaż)");
  d.state = kStNew;
  EXPECT_EQ(DevListText(d), "    Czytnik: R01_00042/A0,   (nowy)");
  d.id = MakeId(400, 3);
  d.state = 0;
  EXPECT_EQ(DevListText(d), "Ctr: C00_00003/A0,   ");
  d.id = MakeId(950, 7);
  EXPECT_EQ(DevListText(d), "Nieznany typ: ?50_00007/A0,   ");
}

TEST(DevTexts, IoRefText) {
  auto cfg = NewCfg();
  cfg->devs[3].id = MakeId(1, 42);
  cfg->devs[127].id = MakeId(202, 7);
  EXPECT_EQ(IoRefText(*cfg, Ref(3, 2), "In"), "R01_00042:In3");
  EXPECT_EQ(IoRefText(*cfg, Ref(3, 2, true), "In"), "R01_00042:In3");  // NC not shown
  EXPECT_EQ(IoRefText(*cfg, Ref(127, 31), "Out"), "Z02_00007:Out32");
  EXPECT_EQ(IoRefText(*cfg, Ref(3, 0), "Rd"), "R01_00042:Rd1");
  EXPECT_EQ(IoRefText(*cfg, kNoRef, "Out"), "     ---      ");
  EXPECT_EQ(IoRefText(*cfg, kNoRef, "In"), "     ---     ");
  EXPECT_EQ(IoRefText(*cfg, kNoRef, "Rd"), "     ---     ");
  EXPECT_EQ(IoRefText(*cfg, kNoRef, "Out").size(), 14u);
}

TEST(DevTexts, AnyInactiveLooksAtListedDevicesOnly) {
  auto cfg = NewCfg();
  auto p =
      DevListPayload({{MakeId(327, 5)}, {0xFFFF0001u, 0, kStInactive}, {MakeId(1, 9), 0, 0x70}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_FALSE(AnyInactive(*cfg));
  p = DevListPayload({{MakeId(327, 5)}, {MakeId(1, 9), 0, kStInactive | 0x01}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  EXPECT_TRUE(AnyInactive(*cfg));
}

TEST(ReplPairs, InactiveAndNewOfTheSameTypeCode) {
  auto cfg = NewCfg();
  const auto p = DevListPayload({{MakeId(327, 5)},
                                 {MakeId(1, 12, 2, 3), 0, kStNew},  // other high bits
                                 {MakeId(1, 9), 0, kStInactive},
                                 {MakeId(2, 1), 0, kStNew},  // other type code
                                 {MakeId(101, 4), 0, kStInactive}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  uint16_t pairs[kMaxPairs];
  const int n = ReplPairs(*cfg, pairs);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(pairs[0] & 0xFF, 2);
  EXPECT_EQ(pairs[0] >> 8, 1);
  EXPECT_EQ(ReplPairText(*cfg, pairs[0]), "R01_00009 <-- R01_00012");
}

TEST(ReplPairs, NotPairedWithItselfAndOrdered) {
  auto cfg = NewCfg();
  // Display order: K, R01_00001 (inactive+new), R01_00002 (new), R01_00003 (inactive),
  // R01_00004 (new).
  const auto p = DevListPayload({{MakeId(327, 5)},
                                 {MakeId(1, 4), 0, kStNew},
                                 {MakeId(1, 3), 0, kStInactive},
                                 {MakeId(1, 2), 0, kStNew},
                                 {MakeId(1, 1), 0, kStInactive | kStNew}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  ASSERT_EQ(Order(*cfg), (std::vector<int>{0, 4, 3, 2, 1}));
  uint16_t pairs[kMaxPairs];
  const int n = ReplPairs(*cfg, pairs);
  std::vector<std::string> texts;
  for (int i = 0; i < n; ++i) texts.push_back(ReplPairText(*cfg, pairs[i]));
  EXPECT_EQ(texts, (std::vector<std::string>{"R01_00001 <-- R01_00002", "R01_00001 <-- R01_00004",
                                             "R01_00003 <-- R01_00001", "R01_00003 <-- R01_00002",
                                             "R01_00003 <-- R01_00004"}));
  // A lone device that is both inactive and new gives nothing.
  const auto q = DevListPayload({{MakeId(327, 5)}, {MakeId(1, 1), 0, kStInactive | kStNew}});
  ASSERT_TRUE(DecodeDevList(*cfg, q.data(), q.size()));
  EXPECT_EQ(ReplPairs(*cfg, pairs), 0);
}

TEST(ReplPairs, AtMost2560) {
  auto cfg = NewCfg();
  std::vector<DevSpec> devs;
  for (int i = 0; i < 64; ++i)
    devs.push_back({MakeId(1, static_cast<uint32_t>(i)), 0, kStInactive});
  for (int i = 0; i < 64; ++i)
    devs.push_back({MakeId(1, static_cast<uint32_t>(100 + i)), 0, kStNew});
  const auto p = DevListPayload(devs);
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  std::vector<uint16_t> pairs(kMaxPairs + 16, 0xABCD);
  EXPECT_EQ(ReplPairs(*cfg, pairs.data()), kMaxPairs);
  EXPECT_EQ(pairs[kMaxPairs], 0xABCD);  // nothing written past the limit
  // 2560 = 40 inactive devices x 64 new ones, in display order.
  EXPECT_EQ(pairs[0], 0 | (64 << 8));
  EXPECT_EQ(pairs[kMaxPairs - 1], 39 | (127 << 8));
}

TEST(ReplPairs, TextOfAnInvalidPairIsEmpty) {
  auto cfg = NewCfg();
  EXPECT_EQ(ReplPairText(*cfg, 0x80FF), "");
  EXPECT_EQ(ReplPairText(*cfg, 0x0180), "");
}

TEST(ClearCfg, CountsOnly) {
  auto cfg = NewCfg();
  const auto p = DevListPayload({{MakeId(327, 5)}});
  ASSERT_TRUE(DecodeDevList(*cfg, p.data(), p.size()));
  cfg->doorCount = 3;
  ClearCfg(*cfg);
  EXPECT_EQ(cfg->devCount, 0);
  EXPECT_EQ(cfg->listedCount, 0);
  EXPECT_EQ(cfg->doorCount, 0);
}
