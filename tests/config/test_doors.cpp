// Passage configuration: wire encoding and the assignment rules of the editor.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "cfg_builders.h"
#include "config/ctrlcfg.h"

using namespace cfgtest;

namespace {

std::unique_ptr<CtrlCfg> NewCfg() {
  return std::make_unique<CtrlCfg>(CtrlCfg{});
}

// Slot 0 controller (4 relay outputs, 6 inputs, 1 reader), slot 1 reader (2 relay
// outputs, 3 inputs, 2 readers), slot 2 lock (5 OC outputs, 4 inputs), slot 3 empty,
// slot 4 module (6 OC outputs, 8 inputs).
std::vector<DevSpec> StdDevs(uint32_t ctrlId = MakeId(327, 5)) {
  return {{ctrlId, 0, 0, Info2(4, 1), 6},
          {MakeId(1, 9), 0, 0, Info2(2, 2), 3},
          {MakeId(202, 3), 0, 0, 0x45, 4},
          {0xFFFF0000u, 0, 0, 0x8F, 0x0F},
          {MakeId(700, 1), 0, 0, 0x46, 8}};
}

std::vector<uint8_t> Encode(const CtrlCfg& cfg) {
  uint8_t buf[kCfgBufSize];
  const int n = EncodeDoors(cfg, buf);
  return std::vector<uint8_t>(buf, buf + n);
}

std::vector<IoRef> Free(const CtrlCfg& cfg, int kind) {
  IoRef out[kMaxDevs * 16];
  const int n = FreeIo(cfg, kind, out);
  return std::vector<IoRef>(out, out + n);
}

bool Contains(const std::vector<IoRef>& v, IoRef r) {
  for (IoRef x : v)
    if (x == r) return true;
  return false;
}

DoorSpec SampleDoor(int k) {
  DoorSpec d;
  d.outputs[0] = Ref(2, k);
  d.outputs[2] = Ref(4, 2, true);
  d.inputs[0] = Ref(0, k, k & 1);
  d.inputs[1] = Ref(2, k);
  d.inputs[5] = Ref(4, 7 - k);
  d.readers[0] = Ref(1, k & 1);
  for (int i = 0; i < 8; ++i) d.params[i] = static_cast<uint8_t>(0x11 * (i + 1) + k);
  d.params[4] = static_cast<uint8_t>(10 + k);
  d.params[5] = 127;
  d.params[6] = static_cast<uint8_t>(k);
  d.params[7] = 0;
  return d;
}

}  // namespace

TEST(DecodeDoors, RoundTripIsByteIdentical) {
  for (bool k27 : {true, false}) {
    auto cfg = NewCfg();
    const auto dl = DevListPayload(StdDevs(k27 ? MakeId(327, 5, 2) : MakeId(328, 5)));
    ASSERT_TRUE(DecodeDevList(*cfg, dl.data(), dl.size()));
    const std::vector<DoorSpec> doors = {SampleDoor(0), SampleDoor(1), SampleDoor(2)};
    const auto in = DoorsPayload(doors, k27, 4321);
    ASSERT_TRUE(DecodeDoors(*cfg, in.data(), in.size()));
    EXPECT_EQ(cfg->doorCount, 3);
    EXPECT_EQ(cfg->doors[1].outputs[0], Ref(2, 1));
    EXPECT_EQ(cfg->doors[1].inputs[0], Ref(0, 1, true));
    EXPECT_EQ(cfg->doors[2].inputs[5], Ref(4, 5));
    EXPECT_EQ(cfg->doors[1].readers[0], Ref(1, 1));
    EXPECT_EQ(cfg->doors[2].params[0], 0x11 + 2);
    EXPECT_EQ(cfg->trainNumber, k27 ? 4321 : 0);
    EXPECT_EQ(Encode(*cfg), in) << "k27=" << k27;
  }
}

TEST(DecodeDoors, TimeBytesLimitedTo127) {
  auto cfg = NewCfg();
  const auto dl = DevListPayload(StdDevs());
  ASSERT_TRUE(DecodeDevList(*cfg, dl.data(), dl.size()));
  DoorSpec d;
  const uint8_t params[8] = {0xF3, 0xFE, 0xC4, 0x99, 200, 128, 255, 127};
  std::memcpy(d.params, params, 8);
  auto in = DoorsPayload({d}, true, 9999);
  ASSERT_TRUE(DecodeDoors(*cfg, in.data(), in.size()));
  const uint8_t expect[8] = {0xF3, 0xFE, 0xC4, 0x99, 127, 127, 127, 127};
  EXPECT_EQ(std::memcmp(cfg->doors[0].params, expect, 8), 0);
  // Bolt pulse 200 is 63.5 s and goes back as 127.
  const auto out = Encode(*cfg);
  ASSERT_EQ(out.size(), in.size());
  std::memcpy(in.data() + 2 + 36 + 4, expect + 4, 4);
  EXPECT_EQ(out, in);
  EXPECT_EQ(out[2 + 36 + 4], 127);
}

TEST(EncodeDoors, LengthAndTrainNumberByModel) {
  struct Case {
    uint32_t id;
    size_t len;
  } cases[] = {{MakeId(327, 5, 0, 2), 92},
               {MakeId(327, 5, 3, 2), 92},
               {MakeId(327, 5, 0, 3), 90},
               {MakeId(328, 5, 0, 2), 90},
               {MakeId(1, 5, 0, 2), 90}};
  for (const auto& c : cases) {
    auto cfg = NewCfg();
    ASSERT_TRUE(Load(*cfg, StdDevs(c.id), {SampleDoor(0), SampleDoor(1)}, true, 0x1A2B));
    const auto out = Encode(*cfg);
    ASSERT_EQ(out.size(), c.len) << std::hex << c.id;
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], 18);
    if (c.len == 92) {
      EXPECT_EQ(out[90], 0x2B);
      EXPECT_EQ(out[91], 0x1A);
    }
  }
  // Sixteen passages fit the write buffer with room to spare.
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), std::vector<DoorSpec>(16), true, 1));
  EXPECT_EQ(Encode(*cfg).size(), 2u + 44 * 16 + 2);
}

TEST(DecodeDoors, NoPassages) {
  auto cfg = NewCfg();
  const auto dl = DevListPayload(StdDevs());
  ASSERT_TRUE(DecodeDevList(*cfg, dl.data(), dl.size()));
  const uint8_t in[] = {0, 18};
  EXPECT_TRUE(DecodeDoors(*cfg, in, sizeof in));
  EXPECT_EQ(cfg->doorCount, 0);
  EXPECT_EQ(cfg->devCount, 5);
  EXPECT_EQ(cfg->trainNumber, 0);
  const uint8_t withTrain[] = {0, 18, 0x34, 0x12};
  EXPECT_TRUE(DecodeDoors(*cfg, withTrain, sizeof withTrain));
  EXPECT_EQ(cfg->trainNumber, 0x1234);
}

TEST(DecodeDoors, BadHeaderRejected) {
  for (auto [n, per] : {std::pair{17, 18}, std::pair{2, 16}, std::pair{255, 18}, std::pair{0, 0}}) {
    auto cfg = NewCfg();
    ASSERT_TRUE(Load(*cfg, StdDevs(), {SampleDoor(0)}));
    auto in = DoorsPayload(std::vector<DoorSpec>(n), true, 5, static_cast<uint8_t>(per));
    EXPECT_FALSE(DecodeDoors(*cfg, in.data(), in.size())) << n << "/" << per;
    EXPECT_EQ(cfg->devCount, 0);
    EXPECT_EQ(cfg->doorCount, 0);
    EXPECT_EQ(cfg->listedCount, 4);  // the device list stays visible
  }
}

TEST(DecodeDoors, ShortAnswersRejected) {
  const auto full = DoorsPayload({SampleDoor(0), SampleDoor(1)}, true, 77);
  ASSERT_EQ(full.size(), 92u);
  for (size_t len = 0; len < 90; ++len) {
    auto cfg = NewCfg();
    ASSERT_TRUE(Load(*cfg, StdDevs(), {SampleDoor(3)}));
    auto buf = std::make_unique<uint8_t[]>(len ? len : 1);
    std::memcpy(buf.get(), full.data(), len);
    EXPECT_FALSE(DecodeDoors(*cfg, len ? buf.get() : nullptr, len)) << len;
    EXPECT_EQ(cfg->devCount, 0) << len;
    EXPECT_EQ(cfg->doorCount, 0) << len;
  }
  // Without the train-number word (or with half of it) the passages are accepted.
  for (size_t len : {90u, 91u}) {
    auto cfg = NewCfg();
    cfg->trainNumber = 500;
    auto buf = std::make_unique<uint8_t[]>(len);
    std::memcpy(buf.get(), full.data(), len);
    EXPECT_TRUE(DecodeDoors(*cfg, buf.get(), len)) << len;
    EXPECT_EQ(cfg->doorCount, 2);
    EXPECT_EQ(cfg->trainNumber, 0);
  }
}

TEST(MarkUsedIo, MarksEveryReferencedIo) {
  auto cfg = NewCfg();
  DoorSpec d;
  d.outputs[1] = Ref(2, 4, true);
  d.inputs[9] = Ref(4, 7);
  d.inputs[0] = Ref(4, 1, true);
  d.readers[3] = Ref(1, 1);
  d.readers[0] = Ref(1, 6);  // reader bit is the low two index bits: 6 -> bit 2
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d}));
  EXPECT_EQ(cfg->devs[2].usedOutputs, 1u << 4);
  EXPECT_EQ(cfg->devs[4].usedInputs, (1u << 7) | (1u << 1));
  EXPECT_EQ(cfg->devs[1].usedReaders, (1u << 1) | (1u << 2));
  EXPECT_EQ(cfg->devs[0].usedOutputs | cfg->devs[0].usedInputs | cfg->devs[0].usedReaders, 0u);
}

TEST(FreeIo, DisplayOrderAndUsedMasks) {
  auto cfg = NewCfg();
  DoorSpec d;
  d.outputs[0] = Ref(0, 1);
  d.outputs[3] = Ref(4, 5);
  d.readers[1] = Ref(1, 1);
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d}));
  cfg->devs[2].state = kStInactive;  // inactive devices are offered too
  const auto outs = Free(*cfg, kOutputs);
  const std::vector<IoRef> expect = {Ref(0, 0), Ref(0, 2), Ref(0, 3), Ref(1, 0), Ref(1, 1),
                                     Ref(2, 0), Ref(2, 1), Ref(2, 2), Ref(2, 3), Ref(2, 4),
                                     Ref(4, 0), Ref(4, 1), Ref(4, 2), Ref(4, 3), Ref(4, 4)};
  EXPECT_EQ(outs, expect);
  EXPECT_EQ(Free(*cfg, kReaders), (std::vector<IoRef>{Ref(0, 0), Ref(1, 0)}));
  EXPECT_EQ(Free(*cfg, kInputs).size(), 6u + 3 + 4 + 8);
  IoRef out[kMaxDevs * 16];
  EXPECT_EQ(FreeIo(*cfg, 3, out), 0);
  EXPECT_EQ(FreeIo(*cfg, -1, out), 0);
}

TEST(FreeIo, HiddenInputSlotsNeverOffered) {
  auto cfg = NewCfg();
  DoorSpec a, b;
  for (int i = 4; i < 10; ++i) a.inputs[i] = Ref(4, i - 4);
  b.inputs[4] = Ref(0, 5);
  ASSERT_TRUE(Load(*cfg, StdDevs(), {a, b}));
  const auto ins = Free(*cfg, kInputs);
  for (int i = 0; i < 6; ++i) EXPECT_FALSE(Contains(ins, Ref(4, i))) << i;
  EXPECT_FALSE(Contains(ins, Ref(0, 5)));
  EXPECT_TRUE(Contains(ins, Ref(4, 6)));
  EXPECT_TRUE(Contains(ins, Ref(4, 7)));
  // Assigning and clearing a visible input elsewhere keeps the hidden ones used.
  SetInput(*cfg, 1, 0, Ref(4, 6), 0);
  SetInput(*cfg, 1, 0, kNoRef, 0);
  const auto again = Free(*cfg, kInputs);
  for (int i = 0; i < 6; ++i) EXPECT_FALSE(Contains(again, Ref(4, i))) << i;
  EXPECT_TRUE(Contains(again, Ref(4, 6)));
}

TEST(SetOutput, OpenSensorFollowsTheBoltsDevice) {
  DoorSpec d;
  d.outputs[0] = Ref(2, 0);
  d.inputs[1] = Ref(2, 3, true);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d}));
  // Another output of the same device: the open sensor stays.
  SetOutput(*cfg, 0, 0, Ref(2, 1), 0);
  EXPECT_EQ(cfg->doors[0].outputs[0], Ref(2, 1));
  EXPECT_EQ(cfg->doors[0].inputs[1], Ref(2, 3, true));
  EXPECT_NE(cfg->devs[2].usedInputs & (1u << 3), 0u);
  // An output of another device: cleared and freed.
  SetOutput(*cfg, 0, 0, Ref(4, 0), 0);
  EXPECT_EQ(cfg->doors[0].inputs[1], kNoRef);
  EXPECT_EQ(cfg->devs[2].usedInputs & (1u << 3), 0u);
  EXPECT_EQ(cfg->devs[2].usedOutputs, 0u);
  EXPECT_EQ(cfg->devs[4].usedOutputs, 1u);

  // Clearing the bolt clears the open sensor.
  SetInput(*cfg, 0, 1, Ref(4, 2), 0);
  SetOutput(*cfg, 0, 0, kNoRef, 0);
  EXPECT_EQ(cfg->doors[0].outputs[0], kNoRef);
  EXPECT_EQ(cfg->doors[0].inputs[1], kNoRef);
  EXPECT_EQ(cfg->devs[4].usedInputs, 0u);
  EXPECT_EQ(cfg->devs[4].usedOutputs, 0u);

  // A bolt where there was none: any leftover open sensor is cleared.
  SetInput(*cfg, 0, 1, Ref(4, 2), 0);
  SetOutput(*cfg, 0, 0, Ref(4, 1), 0);
  EXPECT_EQ(cfg->doors[0].inputs[1], kNoRef);
  EXPECT_EQ(cfg->devs[4].usedInputs, 0u);
}

TEST(SetOutput, OtherSlotsLeaveTheOpenSensor) {
  DoorSpec d;
  d.outputs[0] = Ref(2, 0);
  d.inputs[1] = Ref(2, 3);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d}));
  SetOutput(*cfg, 0, 1, Ref(4, 0), 0);
  SetOutput(*cfg, 0, 2, Ref(0, 0), 0);
  SetOutput(*cfg, 0, 3, Ref(1, 0), 0);
  EXPECT_EQ(cfg->doors[0].inputs[1], Ref(2, 3));
}

TEST(SetOutput, NcOnlyOnOpenCollectorOutputs) {
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {DoorSpec{}}));
  SetOutput(*cfg, 0, 0, Ref(0, 1), 1);  // relay
  EXPECT_EQ(cfg->doors[0].outputs[0], Ref(0, 1));
  SetOutput(*cfg, 0, 0, Ref(2, 1), 1);  // open collector
  EXPECT_EQ(cfg->doors[0].outputs[0], Ref(2, 1, true));
  SetOutput(*cfg, 0, 0, Ref(2, 1, true), 0);  // the box decides for OC outputs
  EXPECT_EQ(cfg->doors[0].outputs[0], Ref(2, 1));
  SetOutput(*cfg, 0, 1, Ref(1, 0, true), 0);  // a relay reference keeps what it carries
  EXPECT_EQ(cfg->doors[0].outputs[1], Ref(1, 0, true));
  EXPECT_EQ(cfg->devs[0].usedOutputs, 0u);
  EXPECT_EQ(cfg->devs[2].usedOutputs, 1u << 1);
  EXPECT_EQ(cfg->devs[1].usedOutputs, 1u);
}

TEST(SetOutput, SharedAlarmTakesTheEntrysFlag) {
  for (int clearer = 0; clearer < 3; ++clearer) {
    DoorSpec d1, d3;
    d1.outputs[2] = Ref(4, 2, true);
    d3.outputs[2] = Ref(4, 2, true);
    auto cfg = NewCfg();
    ASSERT_TRUE(Load(*cfg, StdDevs(), {d1, DoorSpec{}, d3}));
    IoRef shared[kMaxDoors];
    ASSERT_EQ(SharedOutputs(*cfg, 2, shared), 1);
    ASSERT_EQ(shared[0], Ref(4, 2, true));
    // Passage 2 picks that entry while its own box is unchecked.
    SetOutput(*cfg, 1, 2, shared[0], 0);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(cfg->doors[p].outputs[2], Ref(4, 2, true)) << p;
    EXPECT_EQ(cfg->devs[4].usedOutputs, 1u << 2);
    // Clearing NC in any of the three clears it in all three.
    SetOutputNC(*cfg, clearer, 2, 0);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(cfg->doors[p].outputs[2], Ref(4, 2)) << clearer << p;
    SetOutputNC(*cfg, (clearer + 1) % 3, 2, 1);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(cfg->doors[p].outputs[2], Ref(4, 2, true));
    // The CCTV slot of another passage is a different function and is left alone.
    EXPECT_EQ(cfg->doors[0].outputs[3], kNoRef);
  }
}

TEST(SetOutput, FreeOutputAsAlarmHasNcCleared) {
  DoorSpec d;
  d.outputs[2] = Ref(4, 2, true);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d, DoorSpec{}}));
  SetOutput(*cfg, 1, 2, Ref(4, 3), 1);  // free OC output, box checked
  EXPECT_EQ(cfg->doors[1].outputs[2], Ref(4, 3));
  EXPECT_EQ(cfg->doors[0].outputs[2], Ref(4, 2, true));
  SetOutput(*cfg, 1, 3, Ref(2, 0), 1);
  EXPECT_EQ(cfg->doors[1].outputs[3], Ref(2, 0));
}

TEST(SetOutput, SharedAlarmStaysUsedWhileStillHeld) {
  DoorSpec d1, d2;
  d1.outputs[2] = Ref(4, 2);
  d2.outputs[2] = Ref(4, 2);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d1, d2}));
  SetOutput(*cfg, 0, 2, Ref(4, 4), 0);  // passage 1 switches to a free output
  EXPECT_EQ(cfg->doors[0].outputs[2], Ref(4, 4));
  EXPECT_EQ(cfg->doors[1].outputs[2], Ref(4, 2));
  EXPECT_EQ(cfg->devs[4].usedOutputs, (1u << 2) | (1u << 4));
  EXPECT_FALSE(Contains(Free(*cfg, kOutputs), Ref(4, 2)));
  SetOutput(*cfg, 1, 2, kNoRef, 0);  // the last holder lets go
  EXPECT_EQ(cfg->devs[4].usedOutputs, 1u << 4);
  EXPECT_TRUE(Contains(Free(*cfg, kOutputs), Ref(4, 2)));
}

TEST(SetOutput, DuplicateFromControllerStaysUsed) {
  // The controller may hold the same output in two functions; releasing one of them
  // must not offer it as free while the other still uses it.
  DoorSpec d1, d2;
  d1.outputs[0] = Ref(0, 2);
  d2.outputs[1] = Ref(0, 2);
  d2.inputs[0] = Ref(1, 1);
  d2.inputs[6] = Ref(1, 1);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d1, d2}));
  SetOutput(*cfg, 0, 0, Ref(0, 3), 0);
  EXPECT_FALSE(Contains(Free(*cfg, kOutputs), Ref(0, 2)));
  SetInput(*cfg, 1, 0, kNoRef, 0);
  EXPECT_FALSE(Contains(Free(*cfg, kInputs), Ref(1, 1)));
}

TEST(SetOutput, NothingToDoOrOutOfRange) {
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {SampleDoor(0), SampleDoor(1)}));
  const auto before = std::make_unique<CtrlCfg>(*cfg);
  SetOutput(*cfg, 0, 1, kNoRef, 1);  // none to none
  SetOutput(*cfg, 16, 0, Ref(0, 0), 0);
  SetOutput(*cfg, -1, 0, Ref(0, 0), 0);
  SetOutput(*cfg, 0, 4, Ref(0, 0), 0);
  SetOutput(*cfg, 0, -1, Ref(0, 0), 0);
  SetInput(*cfg, 16, 0, Ref(0, 0), 0);
  SetInput(*cfg, 0, 10, Ref(0, 0), 0);
  SetInput(*cfg, -3, 0, Ref(0, 0), 0);
  SetReader(*cfg, 0, 4, Ref(0, 0));
  SetReader(*cfg, 99, 0, Ref(0, 0));
  SetOutputNC(*cfg, 16, 0, 1);
  SetOutputNC(*cfg, 0, 4, 1);
  SetOutputNC(*cfg, 0, 1, 1);  // unassigned
  SetInputNC(*cfg, 0, 10, 1);
  SetInputNC(*cfg, -1, 0, 1);
  SetInputNC(*cfg, 0, 2, 1);  // unassigned
  SetAirlock(*cfg, 16, 1);
  SetAirlock(*cfg, -1, 1);
  EXPECT_EQ(std::memcmp(before.get(), cfg.get(), sizeof(CtrlCfg)), 0);
  EXPECT_EQ(GetAirlock(*cfg, 16), -1);
  EXPECT_EQ(GetAirlock(*cfg, -1), -1);
  IoRef out[kMaxDoors];
  EXPECT_EQ(SharedOutputs(*cfg, 4, out), 0);
  EXPECT_EQ(SharedOutputs(*cfg, -1, out), 0);
}

TEST(SetInput, StoresNcAndMarks) {
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {DoorSpec{}}));
  SetInput(*cfg, 0, 2, Ref(1, 2), 1);
  EXPECT_EQ(cfg->doors[0].inputs[2], Ref(1, 2, true));
  EXPECT_EQ(cfg->devs[1].usedInputs, 1u << 2);
  SetInput(*cfg, 0, 2, Ref(1, 1, true), 0);
  EXPECT_EQ(cfg->doors[0].inputs[2], Ref(1, 1));
  EXPECT_EQ(cfg->devs[1].usedInputs, 1u << 1);
  SetInputNC(*cfg, 0, 2, 1);
  EXPECT_EQ(cfg->doors[0].inputs[2], Ref(1, 1, true));
  SetInputNC(*cfg, 0, 2, 0);
  EXPECT_EQ(cfg->doors[0].inputs[2], Ref(1, 1));
  SetInput(*cfg, 0, 2, kNoRef, 1);
  EXPECT_EQ(cfg->doors[0].inputs[2], kNoRef);
  EXPECT_EQ(cfg->devs[1].usedInputs, 0u);
}

TEST(SetReader, MarksAndReleases) {
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {DoorSpec{}}));
  SetReader(*cfg, 0, 3, Ref(1, 1));
  EXPECT_EQ(cfg->doors[0].readers[3], Ref(1, 1));
  EXPECT_EQ(cfg->devs[1].usedReaders, 1u << 1);
  SetReader(*cfg, 0, 3, Ref(0, 0));
  EXPECT_EQ(cfg->devs[1].usedReaders, 0u);
  EXPECT_EQ(cfg->devs[0].usedReaders, 1u);
  EXPECT_EQ(Free(*cfg, kReaders), (std::vector<IoRef>{Ref(1, 0), Ref(1, 1)}));
  SetReader(*cfg, 0, 3, kNoRef);
  EXPECT_EQ(cfg->devs[0].usedReaders, 0u);
}

TEST(SetOutputNC, BoltAndReminderChangeOnlyTheirOwnSlot) {
  DoorSpec d1, d2;
  d1.outputs[0] = Ref(2, 1);
  d2.outputs[0] = Ref(2, 1);  // duplicate from the controller
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d1, d2}));
  SetOutputNC(*cfg, 0, 0, 1);
  EXPECT_EQ(cfg->doors[0].outputs[0], Ref(2, 1, true));
  EXPECT_EQ(cfg->doors[1].outputs[0], Ref(2, 1));
}

TEST(SharedOutputs, DistinctInOrderOfFirstAppearance) {
  DoorSpec a, b, c, d;
  a.outputs[3] = Ref(4, 1);
  b.outputs[3] = Ref(0, 0);
  c.outputs[3] = Ref(4, 1);
  d.outputs[3] = Ref(0, 0, true);  // all 16 bits are compared
  d.outputs[2] = Ref(2, 2);
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {a, b, DoorSpec{}, c, d}));
  IoRef out[kMaxDoors];
  ASSERT_EQ(SharedOutputs(*cfg, 3, out), 3);
  EXPECT_EQ(out[0], Ref(4, 1));
  EXPECT_EQ(out[1], Ref(0, 0));
  EXPECT_EQ(out[2], Ref(0, 0, true));
  ASSERT_EQ(SharedOutputs(*cfg, 2, out), 1);
  EXPECT_EQ(out[0], Ref(2, 2));
}

TEST(Airlock, SetAndClear) {
  DoorSpec d;
  d.params[kParFlags] = 0xF8 | 0x02;  // other bits set, airlock not valid
  auto cfg = NewCfg();
  ASSERT_TRUE(Load(*cfg, StdDevs(), {d}));
  EXPECT_EQ(GetAirlock(*cfg, 0), -1);
  SetAirlock(*cfg, 0, 1);
  EXPECT_EQ(GetAirlock(*cfg, 0), 1);
  EXPECT_EQ(cfg->doors[0].params[kParFlags], 0xF8 | 0x04 | 0x01);
  SetAirlock(*cfg, 0, 3);
  EXPECT_EQ(GetAirlock(*cfg, 0), 3);
  SetAirlock(*cfg, 0, 5);
  EXPECT_EQ(GetAirlock(*cfg, 0), -1);
  EXPECT_EQ(cfg->doors[0].params[kParFlags], 0xF8 | 0x03);  // bits 0-1 stay
  SetAirlock(*cfg, 0, 0);
  EXPECT_EQ(GetAirlock(*cfg, 0), 0);
  SetAirlock(*cfg, 0, -2);
  EXPECT_EQ(GetAirlock(*cfg, 0), -1);
  EXPECT_EQ(cfg->doors[0].params[kParFlags], 0xF8);
}
