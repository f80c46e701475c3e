// feldaro-sim's scenario reader, console commands and datagram log lines (no network).
#include <gtest/gtest.h>

#include <cstring>

#include "config/ctrlcfg.h"
#include "config/devname.h"
#include "e2e_env.h"
#include "link/crypto.h"
#include "link/posix_endpoint.h"
#include "link/udpdev.h"
#include "scenario.h"
#include "simserver.h"

namespace {

std::string Err(const std::string& json) {
  try {
    ParseScenario(json);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

const char* kTwo = R"({
  "devices": [
    {"type": 327, "serial": 5, "address": "10.77.0.10", "mode": "Serwis",
     "bus": [{"self": true, "outputs": 4, "inputs": 4, "readers": 2, "oc": true},
             {"type": 5, "serial": 101, "suffix": "B", "number": 3, "inactive": true},
             {"present": false}],
     "doors": [{"outputs": [{"slot": 0, "index": 1, "nc": true}], "readers": [{"slot": 1, "index": 0}],
                "doorType": 2, "airlock": 3, "boltPulse": 9, "openTime": 200, "handle": true}],
     "faults": {"lossRate": 0.25, "noAckFor": "c", "delayMs": 40}},
    {"id": "0x20700009", "address": "10.77.0.11", "mode": 0, "hidden": true}  // comments allowed
  ],
  "timeline": [
    {"at": 9, "device": 1, "appear": true},
    {"at": 2.5, "device": "K27_00005", "inactive": {"slot": 1, "on": false}},
    {"at": 4, "device": "K27_00005", "addBus": {"type": 5, "serial": 7}},
    {"at": 5, "command": "mode 0 3"}
  ]
})";

}  // namespace

TEST(SimScenario, ReadsDevicesBusPassagesFaultsAndTimeline) {
  Scenario sc = ParseScenario(kTwo);
  ASSERT_EQ(sc.nodes.size(), 2u);
  const SimDevice& k = *sc.nodes[0].dev;
  EXPECT_EQ(sc.nodes[0].name, "K27_00005");
  EXPECT_EQ(k.id, MakeId(327, 5));
  EXPECT_EQ(k.ip, 0x0A4D000Au);
  EXPECT_EQ(k.mode, 2);
  ASSERT_EQ(k.bus.size(), 3u);
  EXPECT_EQ(k.bus[0].id, k.id);
  EXPECT_TRUE(k.bus[0].oc);
  EXPECT_EQ(k.bus[1].id, MakeId(5, 101, 1));
  EXPECT_EQ(k.bus[1].suffixNumber, 3);
  EXPECT_EQ(k.bus[1].state, kStInactive);
  EXPECT_EQ(k.bus[1].readers, 1) << "a reader's default counts";
  EXPECT_FALSE(k.bus[2].present);
  // A module without readers sends no reader count, unless told to send a count of 0.
  const Scenario mods = ParseScenario(R"({"devices": [{"type": 327, "serial": 5,
      "address": "10.77.0.10", "bus": [{"self": true},
        {"type": 740, "serial": 401, "outputs": 8, "oc": true},
        {"type": 740, "serial": 402, "outputs": 8, "oc": true, "readerField": true}]}]})");
  const std::vector<uint8_t> list = mods.nodes[0].dev->DevListPayload(0);
  ASSERT_EQ(list.size(), 2u + 8 * 3);
  EXPECT_EQ(list[2 + 4 * 3 + 4 * 1 + 2], 0x40 | 8);
  EXPECT_EQ(list[2 + 4 * 3 + 4 * 2 + 2], 0x80 | 0x40 | 8);
  EXPECT_NE(Err(R"({"devices": [{"type": 327, "serial": 5, "address": "10.77.0.10",
                    "bus": [{"self": true, "readers": 2, "readerField": true}]}]})")
                .find("readerField"),
            std::string::npos);
  ASSERT_EQ(k.doors.size(), 1u);
  EXPECT_EQ(k.doors[0].refs[0], 0x0081);
  EXPECT_EQ(k.doors[0].refs[1], kNoRef);
  EXPECT_EQ(k.doors[0].refs[14], 0x0100);
  EXPECT_EQ(k.doors[0].params[0], 2);
  EXPECT_EQ(k.doors[0].params[2], kFlagAirlock | 2 | kFlagHandle);
  EXPECT_EQ(k.doors[0].params[4], 9);
  EXPECT_EQ(k.doors[0].params[6], 200);
  EXPECT_DOUBLE_EQ(k.faults.lossRate, 0.25);
  EXPECT_EQ(k.faults.noAckFor, 'c');
  EXPECT_EQ(k.faults.delayMs, 40);
  // The passage payload the device answers carries the scenario's values.
  std::vector<uint8_t> doors = k.DoorsPayload();
  ASSERT_GE(doors.size(), 48u);
  EXPECT_EQ(doors[0], 1);
  EXPECT_EQ(doors[1], 18);
  EXPECT_EQ(GetU16(doors.data() + 2), 0x0081);

  const SimDevice& hidden = *sc.nodes[1].dev;
  EXPECT_EQ(sc.nodes[1].name, "T12_00009");
  EXPECT_TRUE(hidden.faults.offline);
  EXPECT_EQ(hidden.mode, 0);

  ASSERT_EQ(sc.timeline.size(), 4u);
  EXPECT_DOUBLE_EQ(sc.timeline[0].at, 2.5);
  EXPECT_EQ(sc.timeline[0].command, "inactive K27_00005 1 off");
  EXPECT_EQ(sc.timeline[1].command, "add K27_00005 5 7 1 2 1");
  EXPECT_EQ(sc.timeline[2].command, "mode 0 3");
  EXPECT_EQ(sc.timeline[3].command, "appear 1");
}

TEST(SimScenario, RejectsBrokenScenariosWithTheirPlace) {
  EXPECT_NE(Err("{"), "");
  EXPECT_NE(Err(R"({"nodes": []})").find("devices"), std::string::npos);
  std::string dupIp = Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1"},
                                        {"type": 327, "serial": 2, "address": "10.0.0.1"}]})");
  EXPECT_NE(dupIp.find("devices[1]"), std::string::npos) << dupIp;
  EXPECT_NE(dupIp.find("address used twice"), std::string::npos) << dupIp;
  EXPECT_NE(Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1"},
                                {"type": 327, "serial": 1, "address": "10.0.0.2"}]})")
                .find("identifier used twice"),
            std::string::npos);
  EXPECT_NE(
      Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.300"}]})").find("bad IPv4"),
      std::string::npos);
  EXPECT_NE(
      Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1", "mode": "Serwice"}]})")
          .find("mode"),
      std::string::npos);
  EXPECT_NE(Err(R"({"devices": [{"id": "0xFFFFFFFF", "address": "10.0.0.1"}]})"), "");
  EXPECT_NE(Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1",
                                 "faults": {"lossrate": 0.5}}]})")
                .find("unknown fault"),
            std::string::npos);
  EXPECT_NE(Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1",
                                 "bus": [{"type": 5, "serial": 1, "readers": 4}]}]})")
                .find("readers"),
            std::string::npos);
  std::string tl = Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1"}],
                           "timeline": [{"at": 1, "device": "K27_00002", "mode": 2}]})");
  EXPECT_NE(tl.find("timeline[0]"), std::string::npos) << tl;
  EXPECT_NE(tl.find("unknown device"), std::string::npos) << tl;
}

TEST(SimScenario, AnImpostorSharesAnIdentifierAndIsToldToSpeak) {
  Scenario sc = ParseScenario(R"({"devices": [
    {"type": 327, "serial": 5, "address": "10.0.0.5"},
    {"type": 327, "serial": 5, "address": "10.0.0.66", "impostor": {"announceMs": 200, "forge": "K"}},
    {"type": 327, "serial": 6, "address": "10.0.0.67", "impostor": true}]})");
  ASSERT_EQ(sc.nodes.size(), 3u);
  EXPECT_FALSE(sc.nodes[0].impostor);
  EXPECT_TRUE(sc.nodes[1].impostor);
  EXPECT_EQ(sc.nodes[1].dev->id, sc.nodes[0].dev->id);
  EXPECT_EQ(sc.nodes[1].announceMs, 200);
  EXPECT_FALSE(sc.nodes[1].forgeStatus);
  EXPECT_TRUE(sc.nodes[1].forgeKey);
  EXPECT_TRUE(sc.nodes[2].impostor);
  EXPECT_EQ(sc.nodes[2].announceMs, 0);
  // `announce` by name picks the impostor, not the device it claims to be.
  CommandResult r = RunCommand(sc, "announce K27_00005", 0);
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(r.announce, 1);
  EXPECT_FALSE(RunCommand(sc, "announce 0", 0).ok);
  EXPECT_EQ(RunCommand(sc, "mode 0 2", 0).announce, -1);
  EXPECT_NE(RunCommand(sc, "list", 0).text.find("10.0.0.66  Serwis  (impostor)"),
            std::string::npos);
  // Forged frames carry the claimed identifier with a good CRC; the status reports no session.
  const std::vector<uint8_t> st = sc.nodes[1].dev->ForgedStatus();
  const std::vector<uint8_t> k1 = sc.nodes[1].dev->ForgedKey(), k2 = sc.nodes[1].dev->ForgedKey();
  ASSERT_EQ(st.size(), 28u);
  EXPECT_EQ(GetU32(st.data() + 4), sc.nodes[0].dev->id);
  EXPECT_EQ(st[10] & 0x80, 0);
  EXPECT_EQ(Crc32(st.data(), 24), GetU32(st.data() + 24));
  ASSERT_EQ(k1.size(), 28u);
  EXPECT_EQ(std::memcmp(k1.data(), "MMDK", 4), 0);
  EXPECT_EQ(Crc32(k1.data(), 24), GetU32(k1.data() + 24));
  EXPECT_NE(k1, k2) << "the same key material twice";
  EXPECT_NE(Err(R"({"devices": [{"type": 327, "serial": 1, "address": "10.0.0.1",
                                 "impostor": {"forge": "X"}}]})")
                .find("forge"),
            std::string::npos);
}

TEST(SimScenario, KeyMaterialComesFromTheSeedOrTheSystem) {
  // Seeded: the same seed gives the same key material; the system source does not repeat.
  auto material = [](bool system, uint32_t seed) {
    SimDevice d(MakeId(327, 5), 0x0A000005u, 2);
    d.Seed(seed);
    d.systemKeys = system;
    uint8_t req[12];
    BuildRequest('K', d.id, req);
    std::vector<SimAnswer> out;
    d.OnDatagram(req, sizeof req, false, 0, out);
    return out.empty() ? std::vector<uint8_t>() : out[0].bytes;
  };
  EXPECT_EQ(material(false, 7), material(false, 7));
  EXPECT_NE(material(false, 7), material(false, 8));
  EXPECT_NE(material(true, 7), material(true, 7));
  EXPECT_EQ(material(true, 7).size(), 28u);
}

TEST(SimScenario, TheImpostorScenarioLoads) {
  Scenario sc = LoadScenario(std::string(FELDARO_SOURCE_DIR) + "/sim/scenarios/impostor.json");
  ASSERT_EQ(sc.nodes.size(), 2u);
  EXPECT_TRUE(sc.nodes[1].impostor && sc.nodes[1].dev->faults.offline);
  EXPECT_EQ(sc.nodes[1].dev->id, sc.nodes[0].dev->id);
  ASSERT_EQ(sc.timeline.size(), 1u);
  EXPECT_EQ(sc.timeline[0].command, "appear 1");
}

TEST(SimScenario, TheDemoScenarioLoads) {
  Scenario sc = LoadScenario(std::string(FELDARO_SOURCE_DIR) + "/sim/scenarios/demo.json");
  ASSERT_GE(sc.nodes.size(), 5u);
  int modes[4] = {};
  int recorders = 0;
  for (const SimNode& n : sc.nodes) {
    if (IsController(n.dev->id)) ++modes[n.dev->mode];
    if (IdType(n.dev->id) == 1) ++recorders;
  }
  EXPECT_GE(modes[2], 1);
  EXPECT_GE(modes[3], 1);
  EXPECT_GE(modes[0], 1);
  EXPECT_EQ(recorders, 1);
  const SimDevice& serwis = *sc.nodes[0].dev;
  EXPECT_EQ(serwis.mode, 2);
  EXPECT_EQ(serwis.doors.size(), 4u);
  // The controller's bus list decodes and offers one replacement: the inactive reader by
  // the new one.
  CtrlCfg cfg{};
  ClearCfg(cfg);
  std::vector<uint8_t> list = serwis.DevListPayload(0);
  ASSERT_TRUE(DecodeDevList(cfg, list.data(), list.size()));
  std::vector<uint8_t> doors = serwis.DoorsPayload();
  ASSERT_TRUE(DecodeDoors(cfg, doors.data(), doors.size()));
  MarkUsedIo(cfg);
  // The module without readers keeps its eight OC outputs: passages 1 and 3 use its Out8.
  EXPECT_EQ(DevName(cfg.devs[4].id), "D40_00401");
  EXPECT_EQ(cfg.devs[4].outputCount, 8);
  EXPECT_EQ(cfg.devs[4].ocOutputs, 1);
  EXPECT_EQ(cfg.devs[4].usedOutputs, 0xC1u);
  EXPECT_TRUE(AnyInactive(cfg));
  static uint16_t pairs[kMaxPairs];
  ASSERT_EQ(ReplPairs(cfg, pairs), 1);
  EXPECT_TRUE(cfg.devs[pairs[0] & 0xFF].state & kStInactive);
  EXPECT_TRUE(cfg.devs[pairs[0] >> 8].state & kStNew);
}

TEST(SimConsole, CommandsChangeTheDevices) {
  Scenario sc = ParseScenario(kTwo);
  SimDevice& k = *sc.nodes[0].dev;
  CommandResult r = RunCommand(sc, "mode K27_00005 3", 0);
  EXPECT_TRUE(r.ok) << r.text;
  EXPECT_EQ(k.mode, 3);
  EXPECT_EQ(k.StatusByte(0) & 3, 3);
  EXPECT_FALSE(RunCommand(sc, "mode K27_00005 4", 0).ok);
  EXPECT_EQ(k.mode, 3);

  EXPECT_TRUE(RunCommand(sc, "inactive 0 1 off", 0).ok);
  EXPECT_EQ(k.bus[1].state & kStInactive, 0);
  EXPECT_TRUE(RunCommand(sc, "inactive K27_00005 1 on", 0).ok);
  EXPECT_TRUE(k.bus[1].state & kStInactive);
  EXPECT_FALSE(RunCommand(sc, "inactive K27_00005 2 on", 0).ok) << "slot 2 is empty";
  EXPECT_FALSE(RunCommand(sc, "inactive K27_00005 9 on", 0).ok);
  EXPECT_FALSE(RunCommand(sc, "inactive K27_00005 1 maybe", 0).ok);

  r = RunCommand(sc, "add K27_00005 5 150", 0);
  EXPECT_TRUE(r.ok) << r.text;
  ASSERT_EQ(k.bus.size(), 4u);
  EXPECT_EQ(k.bus[3].id, MakeId(5, 150));
  EXPECT_EQ(k.bus[3].state, kStNew);
  EXPECT_EQ(k.bus[3].readers, 1);
  EXPECT_FALSE(RunCommand(sc, "add K27_00005 5 150", 0).ok) << "the same device twice";
  EXPECT_TRUE(RunCommand(sc, "add K27_00005 740 3 8 8 0", 0).ok);
  EXPECT_EQ(k.bus[4].outputs, 8);
  EXPECT_EQ(k.bus[4].readers, 0);
  EXPECT_FALSE(RunCommand(sc, "add K27_00005 740 3 16 8 0", 0).ok);

  EXPECT_TRUE(RunCommand(sc, "session K27_00005 foreign", 0).ok);
  EXPECT_TRUE(k.StatusByte(0) & 0x80);
  EXPECT_TRUE(RunCommand(sc, "session K27_00005 none", 0).ok);
  EXPECT_FALSE(k.StatusByte(0) & 0x80);

  SimDevice& d = *sc.nodes[1].dev;
  EXPECT_TRUE(RunCommand(sc, "appear T12_00009", 0).ok);
  EXPECT_FALSE(d.faults.offline);
  EXPECT_TRUE(RunCommand(sc, "hide 1", 0).ok);
  EXPECT_TRUE(d.faults.offline);

  r = RunCommand(sc, "list", 0);
  EXPECT_NE(r.text.find("K27_00005  10.77.0.10  Instalacja"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("R05_00150"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("(hidden)"), std::string::npos) << r.text;

  EXPECT_FALSE(RunCommand(sc, "mode K99_00001 2", 0).ok);
  EXPECT_FALSE(RunCommand(sc, "mode 7 2", 0).ok);
  EXPECT_FALSE(RunCommand(sc, "dance", 0).ok);
  EXPECT_TRUE(RunCommand(sc, "", 0).ok);
  EXPECT_TRUE(RunCommand(sc, "quit", 0).quit);
}

TEST(SimLog, DescribesFramesWithTheirChecks) {
  uint8_t req[12];
  BuildRequest('O', kBroadcastId, req);
  EXPECT_EQ(DescribeDatagram(req, 12, nullptr), "tag=MMDO id=* cmd=O len=12 crc=ok");
  req[11] ^= 1;
  EXPECT_EQ(DescribeDatagram(req, 12, nullptr), "tag=MMDO id=* cmd=O len=12 crc=bad");
  uint8_t t[16];
  BuildTimeFrame(MakeId(327, 5), 1700000000u, t);
  EXPECT_EQ(DescribeDatagram(t, 16, nullptr),
            "tag=MMDT id=K27_00005 cmd=T utc=1700000000 len=16 crc=ok");
  EXPECT_EQ(DescribeDatagram(t, 5, nullptr), "tag=? len=5 short");
  const uint8_t junk[9] = {'X', 'Y', 'Z', 'W', 1, 2, 3, 4, 5};
  EXPECT_NE(DescribeDatagram(junk, 9, nullptr).find("foreign"), std::string::npos);
}

TEST(SimLog, FollowsTheSessionKeyFromTheKeyAnswer) {
  // The key the log derives from a device's 'K' answer checks that device's signatures.
  SimDevice dev(MakeId(327, 5), 0x0A4D000A, 2);
  uint8_t kreq[12];
  BuildRequest('K', dev.id, kreq);
  std::vector<SimAnswer> out;
  dev.OnDatagram(kreq, sizeof kreq, false, 1000, out);
  ASSERT_EQ(out.size(), 1u);
  uint8_t key[16];
  ASSERT_TRUE(KeyFromKAnswer(out[0].bytes.data(), out[0].bytes.size(), key));
  uint8_t other[16];
  EXPECT_FALSE(KeyFromKAnswer(kreq, sizeof kreq, other)) << "a request is no key answer";

  uint8_t frame[19] = {'M', 'M', 'D', 'C'};
  PutU32(frame + 4, dev.id);
  PutU16(frame + 8, 1);
  frame[10] = 'S';
  AES128 aes;
  aes.SetKey(key);
  Cmac mac(&aes);
  mac.Init();
  mac.Update(frame, 11);
  uint8_t tag[16];
  mac.Final(tag);
  std::memcpy(frame + 11, tag, 8);
  EXPECT_EQ(DescribeDatagram(frame, 19, key), "tag=MMDC id=K27_00005 cmd=S seq=1 len=19 sig=ok");
  EXPECT_EQ(DescribeDatagram(frame, 19, nullptr), "tag=MMDC id=K27_00005 cmd=S seq=1 len=19 sig=?");
  out.clear();
  dev.OnDatagram(frame, sizeof frame, false, 1100, out);
  ASSERT_EQ(out.size(), 1u) << "the device did not accept a frame signed with the derived key";
  EXPECT_EQ(DescribeDatagram(out[0].bytes.data(), out[0].bytes.size(), key),
            "tag=MMDC id=K27_00005 cmd=S seq=1 len=20 sig=ok");
  uint8_t wrong[16];
  std::memcpy(wrong, key, 16);
  wrong[0] ^= 1;
  EXPECT_EQ(DescribeDatagram(frame, 19, wrong), "tag=MMDC id=K27_00005 cmd=S seq=1 len=19 sig=bad");
  // A 'K' answer with a broken CRC yields no key.
  out.clear();
  dev.OnDatagram(kreq, sizeof kreq, false, 1200, out);
  ASSERT_EQ(out.size(), 1u);
  std::vector<uint8_t> kans = out[0].bytes;
  EXPECT_TRUE(KeyFromKAnswer(kans.data(), kans.size(), other));
  kans[27] ^= 1;
  EXPECT_FALSE(KeyFromKAnswer(kans.data(), kans.size(), wrong));
}

// A device processes one request after the other, each taking its processing time; another
// device is not held up by it. Over real UDP, against feldaro-sim.
TEST(SimProcessing, RequestsOfOneDeviceWaitForEachOtherOnly) {
  const Scenario sc = ParseScenario(R"({"processingMs": 5, "devices": [
    {"type": 327, "serial": 5, "address": "10.77.0.10", "processingMs": 60},
    {"type": 327, "serial": 9, "address": "10.77.0.11"}]})");
  EXPECT_EQ(sc.nodes[0].processingMs, 60);
  EXPECT_EQ(sc.nodes[1].processingMs, 5) << "the scenario's default";
  EXPECT_NE(Err(R"({"processingMs": -1, "devices": []})").find("processingMs"), std::string::npos);

  E2E_REQUIRE_NETNS();
  SimLan net("simproc");
  net.StartSim(R"({"processingMs": 5, "devices": [
    {"type": 327, "serial": 5, "address": "10.77.0.10", "processingMs": 60},
    {"type": 327, "serial": 9, "address": "10.77.0.11"}]})");
  std::unique_ptr<PosixEndpoint> ep;
  {
    NetnsScope in(net.tool);
    ep = std::make_unique<PosixEndpoint>();
  }
  ASSERT_TRUE(ep->ok()) << ep->error();
  uint8_t k5[12], k9[12];
  BuildRequest('O', MakeId(327, 5), k5);
  BuildRequest('O', MakeId(327, 9), k9);
  using clk = std::chrono::steady_clock;
  const auto start = clk::now();
  // Three requests to the slow device, then one to the other, all at once.
  for (int i = 0; i < 3; ++i) ep->Send("10.77.0.10", kQuorinPort, k5, sizeof k5);
  ep->Send("10.77.0.11", kQuorinPort, k9, sizeof k9);
  std::vector<double> slow;
  double other = -1;
  uint8_t buf[kRecvBufSize];
  while (slow.size() < 3 && clk::now() - start < std::chrono::seconds(2)) {
    char from[kIpTextSize] = {};
    if (ep->Receive(buf, sizeof buf, 100, from) < 16) continue;
    const double ms = std::chrono::duration<double, std::milli>(clk::now() - start).count();
    if (std::string(from) == "10.77.0.10") slow.push_back(ms);
    if (std::string(from) == "10.77.0.11") other = ms;
  }
  ASSERT_EQ(slow.size(), 3u);
  // One after the other: 60, 120, 180 ms (the host may add, never take away).
  EXPECT_GE(slow[0], 59);
  EXPECT_GE(slow[1], 119);
  EXPECT_GE(slow[2], 179);
  ASSERT_GE(other, 0) << "the other device did not answer";
  EXPECT_LT(other, slow[0]) << "the other device waited for the slow one";
}
