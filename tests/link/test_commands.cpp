// Reading, polling and changing a controller's configuration against the simulator.
#include <gtest/gtest.h>

#include <functional>

#include "linkworld.h"

namespace {

const std::string kIp = "192.168.1.10";
constexpr uint32_t kLockId = MakeId(202, 3);
constexpr uint32_t kOldReader = MakeId(101, 9);
constexpr uint32_t kNewReader = MakeId(101, 12);

SimDoor Door() {
  SimDoor d;
  for (uint16_t& r : d.refs) r = kNoRef;
  for (uint8_t& p : d.params) p = 0;
  return d;
}

class CommandsTest : public ::testing::Test {
 protected:
  LinkWorld w;
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  UdpDev dev{kCtrlId, kCtrlIp, 2};
  CtrlCfg cfg{};

  void SetUp() override {
    sim.AddBusDevice(kCtrlId, 4, 4, 2, false);             // slot 0: the controller
    sim.AddBusDevice(kOldReader, 1, 2, 1, true);           // slot 1
    sim.AddBusDevice(kLockId, 2, 3, 0, false, kStNew, 2);  // slot 2: not yet accepted
    SimDoor d0 = Door();
    d0.refs[0] = 0x0001;   // bolt: controller output 2
    d0.refs[4] = 0x0082;   // exit button: controller input 3, NC
    d0.refs[14] = 0x0100;  // reader 1: the reader's reader
    d0.params[kParBoltPulse] = 10;
    SimDoor d1 = Door();
    d1.refs[2] = 0x0201;  // alarm: lock output 2
    sim.doors = {d0, d1};
    sim.trainNumber = 77;
  }
  size_t Mark() const { return w.net.sentByTool.size(); }
  int Code(const std::function<void()>& f, char* cmd = nullptr) {
    try {
      f();
    } catch (const UErr& e) {
      if (cmd) *cmd = e.cmd;
      return e.code;
    }
    return 0;
  }
};

TEST_F(CommandsTest, FullReadFillsTheModel) {
  dev.ReadConfig(cfg);
  EXPECT_EQ(w.Letters(kIp), "OKDC");
  EXPECT_EQ(cfg.devCount, 3);
  EXPECT_EQ(cfg.listedCount, 3);
  EXPECT_EQ(cfg.devs[1].id, kOldReader);
  EXPECT_EQ(cfg.devs[1].ocOutputs, 1);
  EXPECT_EQ(cfg.devs[2].inputCount, 3);
  EXPECT_EQ(cfg.devs[2].suffixNumber, 2);
  EXPECT_EQ(cfg.devs[2].state & kStNew, kStNew);
  EXPECT_EQ(cfg.doorCount, 2);
  EXPECT_EQ(cfg.doors[0].outputs[0], 0x0001);
  EXPECT_EQ(cfg.doors[0].inputs[0], 0x0082);
  EXPECT_EQ(cfg.doors[0].params[kParBoltPulse], 10);
  EXPECT_EQ(cfg.doors[1].outputs[2], 0x0201);
  EXPECT_EQ(cfg.trainNumber, 77);
  // The passages' I/O are marked used.
  EXPECT_EQ(cfg.devs[0].usedOutputs, 0x2u);
  EXPECT_EQ(cfg.devs[0].usedInputs, 0x4u);
  EXPECT_EQ(cfg.devs[1].usedReaders, 0x1u);
  EXPECT_EQ(cfg.devs[2].usedOutputs, 0x2u);
}

TEST_F(CommandsTest, ReadReusesTheOwnSession) {
  dev.ReadConfig(cfg);
  const size_t from = Mark();
  dev.ReadConfig(cfg);
  EXPECT_EQ(w.Letters(kIp, from), "ODC");
}

TEST_F(CommandsTest, ReadInLowModesOrOfflineSendsNothing) {
  std::memset(&cfg, 0x5A, sizeof cfg);
  const CtrlCfg before = cfg;
  for (int mode : {0, 1}) {
    dev.status = uint16_t(mode);
    sim.mode = mode;
    dev.ReadConfig(cfg);
  }
  dev.status = 2;
  dev.online = false;
  dev.ReadConfig(cfg);
  EXPECT_TRUE(w.net.sentByTool.empty());
  EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0);
}

TEST_F(CommandsTest, FailedPassageReadLeavesTheModelAlone) {
  dev.ReadConfig(cfg);
  const CtrlCfg before = cfg;
  sim.AddBusDevice(MakeId(101, 40), 1, 1, 1, false, kStNew);
  sim.faults.silentFor = 'C';
  char cmd = 0;
  EXPECT_EQ(Code([&] { dev.ReadConfig(cfg); }, &cmd), 6);
  EXPECT_EQ(cmd, 'C');
  EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0);
}

TEST_F(CommandsTest, OversizedDeviceListIsRefusedBeforeDecoding) {
  dev.ReadConfig(cfg);
  const CtrlCfg before = cfg;
  sim.faults.overrideFor = 'D';
  sim.faults.overrideData.assign(kDevListSize + 1, 0);
  char cmd = 0;
  EXPECT_EQ(Code([&] { dev.ReadConfig(cfg); }, &cmd), 5);
  EXPECT_EQ(cmd, 'D');
  EXPECT_EQ(std::memcmp(&cfg, &before, sizeof cfg), 0);
}

TEST_F(CommandsTest, FullTableOf128SlotsIsReadAndPolled) {
  // 2 + 8 * 128 = 1026 bytes: the largest list the model holds must be readable.
  for (int s = 3; s < kMaxDevs; ++s)
    sim.AddBusDevice(MakeId(101, uint32_t(500 + s)), 1, 1, 1, false);
  ASSERT_EQ(sim.DevListPayload(w.clock.now).size(), size_t(kDevListSize));
  dev.ReadConfig(cfg);
  EXPECT_EQ(cfg.devCount, kMaxDevs);
  EXPECT_EQ(cfg.listedCount, kMaxDevs);
  EXPECT_EQ(cfg.devs[kMaxDevs - 1].id, MakeId(101, 500 + kMaxDevs - 1));
  EXPECT_EQ(cfg.doorCount, 2);
  EXPECT_FALSE(dev.PollDevList(cfg));
  sim.SetInactive(kMaxDevs - 1, true);
  ASSERT_TRUE(dev.PollDevList(cfg));
  EXPECT_TRUE(cfg.devs[kMaxDevs - 1].state & kStInactive);
}

TEST_F(CommandsTest, ShortDeviceListIsNotReadBeyondItsData) {
  // N claims 100 slots but only 10 bytes arrive: the decoder is told the real length.
  sim.faults.overrideFor = 'D';
  sim.faults.overrideData = {100, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  dev.ReadConfig(cfg);
  EXPECT_EQ(cfg.devCount, 0);
  EXPECT_EQ(cfg.doorCount, 2);
}

TEST_F(CommandsTest, PollSeesAFlagChangeOnly) {
  dev.ReadConfig(cfg);
  size_t from = Mark();
  EXPECT_FALSE(dev.PollDevList(cfg));
  EXPECT_EQ(w.Letters(kIp, from), "D");  // no status query of its own, never 'C'
  sim.bus[1].suffixNumber = 9;           // not a change the poll reports
  EXPECT_FALSE(dev.PollDevList(cfg));
  sim.SetInactive(1, true);
  EXPECT_TRUE(dev.PollDevList(cfg));
  EXPECT_EQ(cfg.devs[1].state & kStInactive, kStInactive);
  EXPECT_EQ(cfg.devs[1].suffixNumber, 9);
  EXPECT_EQ(cfg.devs[1].usedReaders, 0x1u);  // passages in memory marked again
  EXPECT_EQ(cfg.doorCount, 2);
  EXPECT_FALSE(dev.PollDevList(cfg));
}

TEST_F(CommandsTest, PollKeepsUnsavedEdits) {
  dev.ReadConfig(cfg);
  SetOutput(cfg, 0, 1, 0x0000, 0);  // reminder: controller output 1
  sim.SetInactive(2, true);
  EXPECT_TRUE(dev.PollDevList(cfg));
  EXPECT_EQ(cfg.doors[0].outputs[1], 0x0000);
  EXPECT_EQ(cfg.devs[0].usedOutputs, 0x3u);
}

TEST_F(CommandsTest, PollLeavesAForeignSessionAlone) {
  sim.foreignSession = true;
  EXPECT_TRUE(dev.ReadStatus());  // the tick's status query
  EXPECT_FALSE(dev.PollDevList(cfg));
  EXPECT_EQ(w.Letters(kIp), "O");
  EXPECT_EQ(cfg.devCount, 0);
}

TEST_F(CommandsTest, PollOpensItsOwnSession) {
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_TRUE(dev.PollDevList(cfg));
  EXPECT_EQ(w.Letters(kIp), "OKD");
  EXPECT_TRUE(dev.session);
  EXPECT_EQ(cfg.devCount, 3);
  EXPECT_EQ(cfg.doorCount, 0);  // the poll never reads passages
}

TEST_F(CommandsTest, PollInLowModeOrOfflineSendsNothing) {
  dev.status = 1;
  EXPECT_FALSE(dev.PollDevList(cfg));
  dev.status = 3;
  dev.online = false;
  EXPECT_FALSE(dev.PollDevList(cfg));
  EXPECT_TRUE(w.net.sentByTool.empty());
}

TEST_F(CommandsTest, PollRaisesSessionErrors) {
  sim.faults.silentFor = 'K';
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_EQ(Code([&] { dev.PollDevList(cfg); }), 3);
  sim.faults.silentFor = 'D';
  dev.OpenSession();
  char cmd = 0;
  EXPECT_EQ(Code([&] { dev.PollDevList(cfg); }, &cmd), 6);
  EXPECT_EQ(cmd, 'D');
}

TEST_F(CommandsTest, WriteSendsTheEncodingAndClearsNewMarks) {
  dev.ReadConfig(cfg);
  SetOutput(cfg, 1, 3, 0x0202, 0);  // CCTV of passage 2
  uint8_t expect[kCfgBufSize];
  const int len = EncodeDoors(cfg, expect);
  EXPECT_EQ(len, 2 + 44 * 2);
  const size_t from = Mark();
  dev.WriteConfig(cfg);
  EXPECT_EQ(w.Letters(kIp, from), "Oc");
  ASSERT_EQ(sim.written.size(), 1u);
  EXPECT_EQ(sim.written[0], Bytes(expect, expect + len));
  EXPECT_EQ(sim.doors.size(), 2u);
  EXPECT_EQ(sim.doors[1].refs[3], 0x0202);
  for (const SimBusDev& d : sim.bus) EXPECT_EQ(d.state & kStNew, 0);
  // The next poll shows the accepted list.
  EXPECT_TRUE(dev.PollDevList(cfg));
  EXPECT_EQ(cfg.devs[2].state & kStNew, 0);
  // And a fresh read brings the written passages back.
  CtrlCfg again{};
  dev.ReadConfig(again);
  EXPECT_EQ(again.doors[1].outputs[3], 0x0202);
}

TEST_F(CommandsTest, WriteOfTheTrainNumberModel) {
  const uint32_t k27 = MakeId(327, 5);
  SimDevice& train = w.net.AddDevice(k27, 0xC0A80114u, 3);
  train.AddBusDevice(k27, 2, 2, 1, false);
  train.doors = {Door(), Door()};
  train.trainNumber = 4321;
  UdpDev t(k27, 0xC0A80114u, 3);
  CtrlCfg c{};
  t.ReadConfig(c);
  EXPECT_EQ(c.trainNumber, 4321);
  c.trainNumber = 1234;
  t.WriteConfig(c);
  ASSERT_EQ(train.written.size(), 1u);
  EXPECT_EQ(train.written[0].size(), 92u);
  EXPECT_EQ(train.trainNumber, 1234);
}

TEST_F(CommandsTest, OversizedPassageCountIsRefusedBeforeSending) {
  for (int n : {23, 17, -1}) {
    cfg.doorCount = n;
    char cmd = 'x';
    EXPECT_EQ(Code([&] { dev.WriteConfig(cfg); }, &cmd), 8) << n;
    EXPECT_EQ(cmd, 0);
  }
  EXPECT_TRUE(w.net.sentByTool.empty());
}

TEST_F(CommandsTest, UnacknowledgedWrite) {
  dev.ReadConfig(cfg);
  sim.faults.noAckFor = 'c';
  try {
    dev.WriteConfig(cfg);
    FAIL() << "no error";
  } catch (const UErr& e) {
    EXPECT_EQ(e.code, 7);
    EXPECT_EQ(ErrorText(e),
              "K01_00123, tryb: Serwis.\n\nBłąd nr 7 (r.'c'): Brak potwierdzenia wysłanego "
              "rozkazu.\n");
  }
}

TEST_F(CommandsTest, WriteOnAForeignSessionFails) {
  dev.ReadConfig(cfg);
  dev.session = false;  // as after a restart: the controller still holds the old session
  const size_t from = Mark();
  EXPECT_EQ(Code([&] { dev.WriteConfig(cfg); }), 2);
  EXPECT_EQ(w.Letters(kIp, from), "O");
  EXPECT_TRUE(sim.written.empty());
}

TEST_F(CommandsTest, DeleteLostThenReadShowsTheNewTable) {
  sim.SetInactive(1, true);
  dev.ReadConfig(cfg);
  EXPECT_TRUE(AnyInactive(cfg));
  const size_t from = Mark();
  dev.DeleteLost();
  EXPECT_EQ(w.Letters(kIp, from), "OF");
  dev.ReadConfig(cfg);
  EXPECT_EQ(cfg.devCount, 3);  // the slot stays, empty
  EXPECT_EQ(cfg.listedCount, 2);
  EXPECT_EQ(cfg.devs[1].id >> 16, 0xFFFFu);
  EXPECT_FALSE(AnyInactive(cfg));
  EXPECT_EQ(cfg.devs[2].id, kLockId);  // later slots keep their numbers
}

class ReplaceTest : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    while (sim.bus.size() < 5)
      sim.AddBusDevice(MakeId(101, uint32_t(100 + sim.bus.size())), 1, 1, 1, false);
    sim.AddBusDevice(kOldReader + 100, 3, 4, 1, true, kStInactive, 7);  // slot 5
    while (sim.bus.size() < 12)
      sim.AddBusDevice(MakeId(202, uint32_t(200 + sim.bus.size())), 1, 1, 0, false);
    sim.AddBusDevice(kNewReader, 1, 1, 1, false, kStNew, 1);  // slot 12
  }
};

TEST_F(ReplaceTest, PayloadIsOldSlotThenNewSlot) {
  dev.ReadConfig(cfg);
  uint16_t pairs[kMaxPairs];
  ASSERT_EQ(ReplPairs(cfg, pairs), 1);
  EXPECT_EQ(pairs[0], 0x0C05);
  const size_t from = Mark();
  dev.ReplaceDev(pairs[0]);
  std::vector<Bytes> frames;
  for (const Bytes& b : w.SentTo(kIp, from))
    if (b[3] == 'C') frames.push_back(b);
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].size(), 21u);
  EXPECT_EQ(frames[0][10], 'R');
  EXPECT_EQ(frames[0][11], 0x05);
  EXPECT_EQ(frames[0][12], 0x0C);
}

TEST_F(ReplaceTest, ReadAfterReplacementShowsTheMovedDevice) {
  dev.ReadConfig(cfg);
  const int listed = cfg.listedCount;
  dev.ReplaceDev(0x0C05);
  dev.ReadConfig(cfg);
  EXPECT_EQ(cfg.devCount, 13);
  EXPECT_EQ(cfg.listedCount, listed - 1);
  EXPECT_EQ(cfg.devs[5].id, kNewReader);
  EXPECT_EQ(cfg.devs[5].suffixNumber, 7);  // the old slot's settings
  EXPECT_EQ(cfg.devs[5].outputCount, 3);
  EXPECT_EQ(cfg.devs[5].ocOutputs, 1);
  EXPECT_EQ(cfg.devs[5].state & kStInactive, kStInactive);  // still attaching
  EXPECT_EQ(cfg.devs[12].id >> 16, 0xFFFFu);
  w.clock.Advance(3500);
  EXPECT_TRUE(dev.PollDevList(cfg));
  EXPECT_EQ(cfg.devs[5].state & kStInactive, 0);
}

TEST_F(ReplaceTest, RefusedReplacement) {
  dev.ReadConfig(cfg);
  char cmd = 0;
  EXPECT_EQ(Code([&] { dev.ReplaceDev(0x0501); }, &cmd), 7);  // slot 1 is active
  EXPECT_EQ(cmd, 'R');
}

}  // namespace
