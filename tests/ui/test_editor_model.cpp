// Candidate lists, NC boxes, time and number texts and the airlock list of the passage
// editor, checked on the model alone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "config/ctrlcfg.h"
#include "ui/editor_model.h"

namespace {

constexpr uint32_t kCtrlId = MakeId(327, 5);  // K27_00005
constexpr uint32_t kRdrA = MakeId(1, 9);      // R01_00009
constexpr uint32_t kRdrB = MakeId(1, 12);     // R01_00012

struct Model {
  CtrlCfg cfg;
  Model() {
    std::memset(&cfg, 0, sizeof cfg);
    ClearCfg(cfg);
  }
  // Appends a device in the next slot, listed in slot order.
  int Dev(uint32_t id, int outs, int ins, int rds, bool oc) {
    int s = cfg.devCount++;
    BusDev& d = cfg.devs[s];
    d = BusDev{};
    d.id = id;
    d.outputCount = uint16_t(outs);
    d.inputCount = uint16_t(ins);
    d.readerCount = uint16_t(rds);
    d.ocOutputs = oc ? 1 : 0;
    cfg.order[cfg.listedCount++] = s;
    return s;
  }
  void Doors(int n) {
    cfg.doorCount = n;
    for (int i = 0; i < n; ++i) {
      DoorCfg& d = cfg.doors[i];
      for (IoRef& r : d.outputs) r = kNoRef;
      for (IoRef& r : d.inputs) r = kNoRef;
      for (IoRef& r : d.readers) r = kNoRef;
      std::memset(d.params, 0, sizeof d.params);
    }
  }
  FreeList Free(int kind) {
    FreeList f;
    TakeFree(cfg, kind, f);
    return f;
  }
};

IoRef Ref(int slot, int index, bool nc = false) {
  return IoRef((slot << 8) | index | (nc ? 0x80 : 0));
}

using Items = std::vector<IoRef>;

TEST(EditorLists, PlainListShowsCurrentThenEmptyThenFree) {
  Model m;
  int c = m.Dev(kCtrlId, 2, 0, 0, false);
  int a = m.Dev(kRdrA, 1, 0, 0, true);
  m.Doors(2);
  Items items;
  FreeList f = m.Free(kOutputs);
  PlainListItems(kNoRef, f, items);
  EXPECT_EQ(items, (Items{kNoRef, Ref(c, 0), Ref(c, 1), Ref(a, 0)}));

  SetOutput(m.cfg, 0, 0, Ref(c, 1), 0);
  f = m.Free(kOutputs);
  PlainListItems(m.cfg.doors[0].outputs[0], f, items);
  EXPECT_EQ(items, (Items{Ref(c, 1), kNoRef, Ref(c, 0), Ref(a, 0)}));
  // The other passage's list no longer offers what passage 1 took.
  PlainListItems(m.cfg.doors[1].outputs[0], f, items);
  EXPECT_EQ(items, (Items{kNoRef, Ref(c, 0), Ref(a, 0)}));
}

TEST(EditorLists, SharedListWithOutputUsedElsewhere) {
  Model m;
  int c = m.Dev(kCtrlId, 3, 0, 0, false);
  m.Doors(2);
  SetOutput(m.cfg, 1, 2, Ref(c, 0), 0);  // passage 2 has output 1 as alarm
  FreeList f = m.Free(kOutputs);
  Items items;
  SharedListItems(m.cfg, 0, 2, f, items);
  EXPECT_EQ(items, (Items{kNoRef, Ref(c, 0), kNoRef, Ref(c, 1), Ref(c, 2)}));
}

TEST(EditorLists, SharedListWithOwnAlarmOnly) {
  Model m;
  int c = m.Dev(kCtrlId, 3, 0, 0, false);
  m.Doors(2);
  SetOutput(m.cfg, 0, 2, Ref(c, 1), 0);
  FreeList f = m.Free(kOutputs);
  Items items;
  SharedListItems(m.cfg, 0, 2, f, items);
  EXPECT_EQ(items, (Items{Ref(c, 1), kNoRef, Ref(c, 0), Ref(c, 2)}));
}

TEST(EditorLists, SharedListKeepsGroupsApartAndLeavesOtherFunctionOut) {
  Model m;
  int c = m.Dev(kCtrlId, 2, 0, 0, true);
  m.Doors(3);
  SetOutput(m.cfg, 1, 2, Ref(c, 0), 0);  // alarm of passage 2 on an OC output, then NC
  SetOutputNC(m.cfg, 1, 2, 1);
  SetOutput(m.cfg, 2, 3, Ref(c, 1), 0);  // CCTV of passage 3
  FreeList f = m.Free(kOutputs);
  ASSERT_EQ(f.count, 0);
  Items items;
  SharedListItems(m.cfg, 0, 2, f, items);
  // No free outputs and nothing assigned here: no separator; the CCTV output is absent.
  EXPECT_EQ(items, (Items{kNoRef, Ref(c, 0, true)}));
  SharedListItems(m.cfg, 0, 3, f, items);
  EXPECT_EQ(items, (Items{kNoRef, Ref(c, 1)}));
  // The passage holding the shared alarm sees it first, with its NC flag, once.
  SharedListItems(m.cfg, 1, 2, f, items);
  EXPECT_EQ(items, (Items{Ref(c, 0, true), kNoRef}));
}

TEST(EditorLists, OpenSensorNeedsBoltAndFollowsItsDevice) {
  Model m;
  int a = m.Dev(kCtrlId, 2, 2, 0, false);
  int b = m.Dev(kRdrA, 1, 3, 1, false);
  m.Doors(1);
  FreeList f = m.Free(kInputs);
  Items items;
  EXPECT_FALSE(OpenSensorItems(kNoRef, kNoRef, f, items));
  EXPECT_EQ(items, (Items{kNoRef}));
  EXPECT_FALSE(OpenSensorItems(Ref(b, 2), kNoRef, f, items));
  EXPECT_EQ(items, (Items{Ref(b, 2), kNoRef}));

  EXPECT_TRUE(OpenSensorItems(kNoRef, Ref(a, 1), f, items));
  EXPECT_EQ(items, (Items{kNoRef, Ref(a, 0), Ref(a, 1)}));
  EXPECT_TRUE(OpenSensorItems(kNoRef, Ref(b, 0, true), f, items));
  EXPECT_EQ(items, (Items{kNoRef, Ref(b, 0), Ref(b, 1), Ref(b, 2)}));
}

TEST(EditorLists, HiddenInputSlotsAreNeverOffered) {
  Model m;
  int a = m.Dev(kCtrlId, 0, 3, 0, false);
  m.Doors(1);
  m.cfg.doors[0].inputs[7] = Ref(a, 1);
  MarkUsedIo(m.cfg);
  FreeList f = m.Free(kInputs);
  Items items;
  PlainListItems(kNoRef, f, items);
  EXPECT_EQ(items, (Items{kNoRef, Ref(a, 0), Ref(a, 2)}));
}

TEST(EditorLists, EntryTexts) {
  Model m;
  int a = m.Dev(kCtrlId, 1, 1, 1, false);
  EXPECT_EQ(RefItemText(m.cfg, kNoRef, "Out"), "  -----");
  EXPECT_EQ(RefItemText(m.cfg, Ref(a, 0), "Out"), "K27_00005:Out1");
  EXPECT_EQ(RefItemText(m.cfg, Ref(a, 0, true), "In"), "K27_00005:In1");
  EXPECT_EQ(RefItemText(m.cfg, Ref(a, 2), "Rd"), "K27_00005:Rd3");
}

TEST(EditorNc, OutputBoxOnlyForOpenCollector) {
  Model m;
  int relay = m.Dev(kCtrlId, 2, 0, 0, false);
  int oc = m.Dev(kRdrA, 2, 0, 0, true);
  NcState s = OutputNc(m.cfg, kNoRef);
  EXPECT_FALSE(s.enabled);
  EXPECT_FALSE(s.checked);
  s = OutputNc(m.cfg, Ref(relay, 1));
  EXPECT_FALSE(s.enabled);
  EXPECT_FALSE(s.checked);
  s = OutputNc(m.cfg, Ref(oc, 1));
  EXPECT_TRUE(s.enabled);
  EXPECT_FALSE(s.checked);
  s = OutputNc(m.cfg, Ref(oc, 1, true));
  EXPECT_TRUE(s.enabled);
  EXPECT_TRUE(s.checked);
}

TEST(EditorNc, InputBoxForEveryAssignedInput) {
  EXPECT_FALSE(InputNc(kNoRef).enabled);
  EXPECT_FALSE(InputNc(kNoRef).checked);
  EXPECT_TRUE(InputNc(Ref(3, 4)).enabled);
  EXPECT_FALSE(InputNc(Ref(3, 4)).checked);
  EXPECT_TRUE(InputNc(Ref(3, 4, true)).checked);
}

TEST(EditorTimes, FormatHalfSeconds) {
  EXPECT_EQ(FormatHalfSeconds(5), "2,5");
  EXPECT_EQ(FormatHalfSeconds(4), "2");
  EXPECT_EQ(FormatHalfSeconds(0), "0");
  EXPECT_EQ(FormatHalfSeconds(1), "0,5");
  EXPECT_EQ(FormatHalfSeconds(127), "63,5");
}

TEST(EditorTimes, ParseHalfSeconds) {
  EXPECT_EQ(ParseHalfSeconds("2,5"), 5);
  EXPECT_EQ(ParseHalfSeconds("2,7"), 5);
  EXPECT_EQ(ParseHalfSeconds("2,4"), 4);
  EXPECT_EQ(ParseHalfSeconds("2,9"), 5);
  EXPECT_EQ(ParseHalfSeconds("70"), 127);
  EXPECT_EQ(ParseHalfSeconds("63,5"), 127);
  EXPECT_EQ(ParseHalfSeconds("63,4"), 126);
  EXPECT_EQ(ParseHalfSeconds("64"), 127);
  EXPECT_EQ(ParseHalfSeconds("abc"), 0);
  EXPECT_EQ(ParseHalfSeconds("-1"), 0);
  EXPECT_EQ(ParseHalfSeconds("-1,5"), 0);
  EXPECT_EQ(ParseHalfSeconds("2.5"), 4);
  EXPECT_EQ(ParseHalfSeconds(""), 0);
  EXPECT_EQ(ParseHalfSeconds(" 3,5"), 7);
  EXPECT_EQ(ParseHalfSeconds("3,"), 6);
  EXPECT_EQ(ParseHalfSeconds("3,x"), 6);
  EXPECT_EQ(ParseHalfSeconds("3,-5"), 6);  // a one-character field holds no signed digit
  EXPECT_EQ(ParseHalfSeconds("3,55"), 7);  // only one digit is read
  EXPECT_EQ(ParseHalfSeconds("+4"), 8);
  EXPECT_EQ(ParseHalfSeconds(",5"), 0);
  EXPECT_EQ(ParseHalfSeconds("99999999999999999999"), 127);
  EXPECT_EQ(ParseHalfSeconds("-99999999999999999999"), 0);
}

TEST(EditorTimes, FormatThenParseRoundTrips) {
  for (int v = 0; v <= 127; ++v) EXPECT_EQ(ParseHalfSeconds(FormatHalfSeconds(v)), v) << v;
}

TEST(EditorTrainNumber, Parse) {
  EXPECT_EQ(ParseTrainNumber("-7"), 0);
  EXPECT_EQ(ParseTrainNumber("42"), 42);
  EXPECT_EQ(ParseTrainNumber("0042"), 42);
  EXPECT_EQ(ParseTrainNumber("9999"), 9999);
  EXPECT_EQ(ParseTrainNumber("10000"), 9999);
  EXPECT_EQ(ParseTrainNumber("99999999999999999999"), 9999);
  EXPECT_EQ(ParseTrainNumber("abc"), 0);
  EXPECT_EQ(ParseTrainNumber(""), 0);
  EXPECT_EQ(ParseTrainNumber("12ab"), 12);
}

TEST(EditorAirlocks, ListLengthFollowsPassagesUpToWhatTheRecordHolds) {
  EXPECT_EQ(AirlockItems(0), (std::vector<std::string>{"  -----"}));
  EXPECT_EQ(AirlockItems(1), (std::vector<std::string>{"  -----"}));
  EXPECT_EQ(AirlockItems(3), (std::vector<std::string>{"  -----", "Śluza 1"}));
  EXPECT_EQ(AirlockItems(5), (std::vector<std::string>{"  -----", "Śluza 1", "Śluza 2"}));
  std::vector<std::string> all{"  -----", "Śluza 1", "Śluza 2", "Śluza 3", "Śluza 4"};
  EXPECT_EQ(AirlockItems(8), all);
  EXPECT_EQ(AirlockItems(9), all);
  EXPECT_EQ(AirlockItems(16), all);
}

TEST(EditorAirlocks, EveryEntryIsStoredAndShownAgain) {
  for (int n = 1; n <= 16; ++n) {
    Model m;
    m.Dev(kCtrlId, 0, 0, 0, false);
    m.Doors(n);
    for (int item = 0; item < int(AirlockItems(n).size()); ++item) {
      SetAirlock(m.cfg, n - 1, item - 1);
      EXPECT_EQ(GetAirlock(m.cfg, n - 1), item - 1) << n << " passages, item " << item;
      EXPECT_EQ(AirlockItemIndex(m.cfg, n - 1), item);
    }
  }
}

TEST(EditorAirlocks, StoredAirlockBeyondTheListShowsNoItem) {
  Model m;
  m.Dev(kCtrlId, 0, 0, 0, false);
  m.Doors(4);  // list: empty choice, Śluza 1, Śluza 2
  SetAirlock(m.cfg, 0, 2);
  EXPECT_EQ(AirlockItemIndex(m.cfg, 0), -1);
  SetAirlock(m.cfg, 0, 1);
  EXPECT_EQ(AirlockItemIndex(m.cfg, 0), 2);
  SetAirlock(m.cfg, 0, -2);
  EXPECT_EQ(AirlockItemIndex(m.cfg, 0), 0);
}

TEST(EditorParams, TypeKeepsTheHighBits) {
  Model m;
  m.Doors(1);
  m.cfg.doors[0].params[kParType] = 0xA3;
  EXPECT_EQ(TypeItemIndex(m.cfg, 0), 3);
  SetDoorType(m.cfg, 0, 1);
  EXPECT_EQ(m.cfg.doors[0].params[kParType], 0xA1);
  m.cfg.doors[0].params[kParType] = 0x07;
  EXPECT_EQ(TypeItemIndex(m.cfg, 0), -1);
}

TEST(EditorParams, FlagsLeaveTheRestOfTheByte) {
  Model m;
  m.Doors(1);
  m.cfg.doors[0].params[kParFlags] = 0x3D;
  SetDoorFlag(m.cfg, 0, kFlagHandle, true);
  EXPECT_EQ(m.cfg.doors[0].params[kParFlags], 0x7D);
  EXPECT_TRUE(DoorFlag(m.cfg, 0, kFlagHandle));
  EXPECT_FALSE(DoorFlag(m.cfg, 0, kFlagFullPulse));
  SetDoorFlag(m.cfg, 0, kFlagFullPulse, true);
  SetDoorFlag(m.cfg, 0, kFlagHandle, false);
  EXPECT_EQ(m.cfg.doors[0].params[kParFlags], 0xBD);
}

TEST(EditorTrainNumber, ShownOnlyForTheTrainControllerListedFirst) {
  Model m;
  EXPECT_FALSE(TrainNumberShown(m.cfg));
  m.Dev(MakeId(327, 5, 1, 2), 0, 0, 0, false);  // suffix letter bits do not matter
  EXPECT_TRUE(TrainNumberShown(m.cfg));
  m.cfg.devs[0].id = MakeId(327, 5, 0, 1);
  EXPECT_FALSE(TrainNumberShown(m.cfg));
  m.cfg.devs[0].id = MakeId(326, 5);
  EXPECT_FALSE(TrainNumberShown(m.cfg));
}

}  // namespace
