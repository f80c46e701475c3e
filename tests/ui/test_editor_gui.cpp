// The passage editor driven through its widgets, against a simulated controller on the
// in-memory network or a model filled in place.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QWindow>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/common/fakehost.h"

namespace {

constexpr uint32_t kCtrlIp = 0x0A000005;         // 10.0.0.5 inside the in-memory net
constexpr uint32_t kTrainCtrl = MakeId(327, 5);  // K27_00005, class 2: has a train number
constexpr uint32_t kPlainCtrl = MakeId(301, 7);  // K01_00007: no train number
constexpr uint32_t kLock = MakeId(202, 3);       // Z02_00003, open-collector outputs
constexpr uint32_t kReader = MakeId(1, 9);       // R01_00009, relay outputs

// Slots as the simulated controller lists them.
constexpr int kSlotCtrl = 0, kSlotLock = 1, kSlotReader = 2;

IoRef Ref(int slot, int index, bool nc = false) {
  return IoRef((slot << 8) | index | (nc ? 0x80 : 0));
}

SimDoor EmptyDoor() {
  SimDoor d;
  for (uint16_t& r : d.refs) r = kNoRef;
  std::memset(d.params, 0, sizeof d.params);
  return d;
}

struct EditorWorld : GuiWorld {
  SimDevice* ctrl = nullptr;

  // Controller with the controller itself (2 relay outputs, 2 inputs, 1 reader), a lock
  // (4 open-collector outputs, 4 inputs, 2 readers) and a reader (2 relay outputs,
  // 3 inputs, 1 reader), and `doors` empty passages.
  SimDevice& Controller(int mode, int doors, uint32_t id = kTrainCtrl) {
    ctrl = &net.AddDevice(id, kCtrlIp, mode);
    ctrl->AddBusDevice(id, 2, 2, 1, false);
    ctrl->AddBusDevice(kLock, 4, 4, 2, true);
    ctrl->AddBusDevice(kReader, 2, 3, 1, false);
    ctrl->doors.assign(size_t(doors), EmptyDoor());
    return *ctrl;
  }

  template <class T>
  T* W(const char* name) {
    T* w = win->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QComboBox* Cb(const char* name) { return W<QComboBox>(name); }
  QCheckBox* Chk(const char* name) { return W<QCheckBox>(name); }
  QLineEdit* Ed(const char* name) { return W<QLineEdit>(name); }
  QTabBar* Tabs() { return W<QTabBar>("DoorTc"); }

  static std::vector<IoRef> Values(QComboBox* box) {
    std::vector<IoRef> v;
    for (int i = 0; i < box->count(); ++i) v.push_back(IoRef(box->itemData(i).toUInt()));
    return v;
  }
  static QStringList Texts(QComboBox* box) {
    QStringList t;
    for (int i = 0; i < box->count(); ++i) t << box->itemText(i);
    return t;
  }
  // A user's pick: the item becomes current and the change event follows.
  static void PickIndex(QComboBox* box, int index) {
    ASSERT_TRUE(box->isEnabled()) << box->objectName().toStdString();
    ASSERT_GE(index, 0);
    ASSERT_LT(index, box->count());
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  static void Pick(QComboBox* box, IoRef value) {
    int index = -1;
    for (int i = 0; i < box->count() && index < 0; ++i)
      if (IoRef(box->itemData(i).toUInt()) == value) index = i;
    ASSERT_GE(index, 0) << box->objectName().toStdString() << " lacks " << value;
    PickIndex(box, index);
  }
  static void PickText(QComboBox* box, const QString& text) {
    int index = box->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    PickIndex(box, index);
  }
  // Typing into an edit and leaving it.
  static void Enter(QLineEdit* edit, const QString& text) {
    ASSERT_TRUE(edit->isEnabled()) << edit->objectName().toStdString();
    edit->setText(text);
    emit edit->editingFinished();
  }
  static void Click(QCheckBox* box) {
    ASSERT_TRUE(box->isEnabled()) << box->objectName().toStdString();
    box->click();
  }
  void SelectTab(int i) { Tabs()->setCurrentIndex(i); }
  const DoorCfg& Door(int i) { return win->Cfg.doors[i]; }
};

// ---- Creation and loading ----

TEST(EditorForm, ControlsAtCreation) {
  EditorWorld w;
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 0);
  const char* disabled[] = {
      "RygielLb", "RygielCb", "RygielNC",  "OpenDetectLb", "OpenDetectCb", "OpenDetectNC",
      "Rd1Lb",    "Rd2Lb",    "Rd3Lb",     "Rd4Lb",        "Rd1Cb",        "Rd2Cb",
      "Rd3Cb",    "Rd4Cb",    "RemindLb",  "RemindCb",     "RemindNC",     "AlarmLb",
      "AlarmCb",  "AlarmNC",  "CctvLb",    "CctvCb",       "CctvNC",       "OutBtnLb",
      "OutBtnCb", "OutBtnNC", "Alarm0Lb",  "Alarm0Cb",     "Alarm0NC",     "Alarm1Lb",
      "Alarm1Cb", "Alarm1NC", "KlamkaCb",  "FullTimCb",    "TypeLb",       "TypeCb",
      "RygTimLb", "RygTimEd", "RygTimsLb", "OpenTimLb",    "OpenTimEd",    "OpenTimsLb",
      "SluzaCb",  "DoorTc",   "WrCfgBtn",  "RapCfgBtn"};
  for (const char* name : disabled) {
    QWidget* c = w.W<QWidget>(name);
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(c->isEnabled()) << name;
  }
  struct Caption {
    const char* name;
    const char* text;
  };
  for (Caption g : {Caption{"RygGrpBox", " Drzwi "}, Caption{"GroupBox4", " Czytniki "},
                    Caption{"GroupBox1", " Wyjścia "}, Caption{"GroupBox3", " Wejścia "},
                    Caption{"TstGrpBox", " Testowanie "}, Caption{"GroupBox5", " Śluzy "}}) {
    QGroupBox* box = w.W<QGroupBox>(g.name);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->title(), QString::fromUtf8(g.text)) << g.name;
    EXPECT_TRUE(box->isEnabled()) << g.name;
  }
  for (Caption l :
       {Caption{"RygielLb", "Rygiel:"}, Caption{"OpenDetectLb", "Czujnik otwarcia:"},
        Caption{"Rd1Lb", "1:"}, Caption{"Rd4Lb", "4:"}, Caption{"RemindLb", "Przypomnienie:"},
        Caption{"AlarmLb", "Alarm:"}, Caption{"CctvLb", "CCTV:"},
        Caption{"OutBtnLb", "Przycisk wyjścia:"}, Caption{"Alarm0Lb", "Czujka alarmowa:"},
        Caption{"Alarm1Lb", "Sabotaż:"}, Caption{"TypeLb", "Typ przejścia"},
        Caption{"RygTimLb", "Impuls otwarcia rygla:"}, Caption{"RygTimsLb", "s"},
        Caption{"OpenTimLb", "Dozw. czas otwarcia:"}, Caption{"OpenTimsLb", "s"}})
    EXPECT_EQ(w.W<QLabel>(l.name)->text(), QString::fromUtf8(l.text)) << l.name;
  EXPECT_EQ(w.Chk("KlamkaCb")->text(), QString::fromUtf8("Otwieranie klamką"));
  EXPECT_EQ(w.Chk("FullTimCb")->text(), QString::fromUtf8("Pełny impuls rygla"));
  for (const char* nc : {"RygielNC", "RemindNC", "AlarmNC", "CctvNC", "OutBtnNC", "OpenDetectNC",
                         "Alarm0NC", "Alarm1NC"})
    EXPECT_EQ(w.Chk(nc)->text(), QString("NC")) << nc;
  EXPECT_EQ(EditorWorld::Texts(w.Cb("TypeCb")),
            (QStringList{"Otwarte", "Normalne", "Bistabilne", "Astabilne", "Zablokowane"}));
  EXPECT_EQ(w.Ed("RygTimEd")->maxLength(), 4);
  EXPECT_EQ(w.Ed("OpenTimEd")->maxLength(), 4);
  EXPECT_TRUE(w.Cb("SluzaCb")->isEditable());
  for (const char* cb : {"RygielCb", "OpenDetectCb", "Rd1Cb", "RemindCb", "AlarmCb", "CctvCb",
                         "OutBtnCb", "Alarm0Cb", "Alarm1Cb", "TypeCb"})
    EXPECT_FALSE(w.Cb(cb)->isEditable()) << cb;
  EXPECT_EQ(w.Tabs()->count(), 0);
  EXPECT_TRUE(w.Ed("TrainNrEd")->isHidden());
}

TEST(EditorTabs, OneThreeAndSixteenPassages) {
  struct Case {
    int doors;
    QStringList airlocks;
  };
  const QString none = "  -----";
  for (const Case& c : {Case{1, {none}}, Case{3, {none, "Śluza 1"}},
                        Case{16, {none, "Śluza 1", "Śluza 2", "Śluza 3", "Śluza 4"}}}) {
    EditorWorld w;
    w.Controller(2, c.doors);
    w.Start();
    ASSERT_TRUE(w.host.errors.empty()) << w.host.errors[0].text.toStdString();
    ASSERT_EQ(w.win->Cfg.doorCount, c.doors);
    QTabBar* tabs = w.Tabs();
    ASSERT_EQ(tabs->count(), c.doors);
    for (int i = 0; i < c.doors; ++i) EXPECT_EQ(tabs->tabText(i), QString::number(i + 1));
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(tabs->isEnabled());
    EXPECT_EQ(EditorWorld::Texts(w.Cb("SluzaCb")), c.airlocks) << c.doors;
    EXPECT_EQ(w.Cb("SluzaCb")->currentIndex(), 0);
    EXPECT_TRUE(w.W<QPushButton>("WrCfgBtn")->isEnabled());
    EXPECT_TRUE(w.W<QPushButton>("RapCfgBtn")->isEnabled());
  }
}

TEST(EditorTabs, EveryAirlockEntryIsKeptPerPassage) {
  EditorWorld w;
  w.Controller(2, 16);
  w.Start();
  QComboBox* sluza = w.Cb("SluzaCb");
  ASSERT_EQ(sluza->count(), 5);
  for (int item = 1; item < sluza->count(); ++item) {
    w.SelectTab(item);
    EditorWorld::PickIndex(sluza, item);
    EXPECT_EQ(GetAirlock(w.win->Cfg, item), item - 1);
  }
  for (int item = 1; item < sluza->count(); ++item) {
    w.SelectTab(item);
    EXPECT_EQ(sluza->currentIndex(), item);
  }
  w.SelectTab(0);
  EXPECT_EQ(sluza->currentIndex(), 0);
  EXPECT_EQ(GetAirlock(w.win->Cfg, 0), -1);
}

TEST(EditorTabs, TypedAirlockTextWithoutItemLeavesTheAirlock) {
  EditorWorld w;
  w.Controller(2, 4);
  w.Start();
  QComboBox* sluza = w.Cb("SluzaCb");
  EditorWorld::PickText(sluza, "Śluza 2");
  ASSERT_EQ(GetAirlock(w.win->Cfg, 0), 1);
  sluza->lineEdit()->setText("Śluza 7");
  emit sluza->lineEdit()->textEdited("Śluza 7");
  EXPECT_EQ(GetAirlock(w.win->Cfg, 0), -1);
  // Typing an item's text selects that airlock.
  sluza->lineEdit()->setText("Śluza 1");
  emit sluza->lineEdit()->textEdited("Śluza 1");
  EXPECT_EQ(GetAirlock(w.win->Cfg, 0), 0);
}

TEST(EditorTabs, StoredAirlockBeyondTheListShowsNoSelection) {
  EditorWorld w;
  w.Controller(2, 2).doors[1].params[kParFlags] = 0x04 | 3;  // airlock 4 with one entry listed
  w.Start();
  w.SelectTab(1);
  EXPECT_EQ(w.Cb("SluzaCb")->currentIndex(), -1);
  EXPECT_EQ(GetAirlock(w.win->Cfg, 1), 3);  // nothing changed by showing it
}

TEST(EditorTabs, TabChangeShowsThatPassage) {
  EditorWorld w;
  SimDevice& c = w.Controller(3, 3);
  c.doors[2].refs[0] = Ref(kSlotLock, 2);
  c.doors[2].params[kParBoltPulse] = 9;
  c.doors[2].params[kParType] = 4;
  w.Start();
  QComboBox* bolt = w.Cb("RygielCb");
  EXPECT_EQ(bolt->itemData(0).toUInt(), kNoRef);
  w.SelectTab(2);
  EXPECT_EQ(bolt->currentIndex(), 0);
  EXPECT_EQ(bolt->itemData(0).toUInt(), Ref(kSlotLock, 2));
  EXPECT_EQ(bolt->itemText(0), "Z02_00003:Out3");
  EXPECT_EQ(w.Ed("RygTimEd")->text(), "4,5");
  EXPECT_EQ(w.Cb("TypeCb")->currentIndex(), 4);
  EXPECT_TRUE(w.Cb("OpenDetectCb")->isEnabled());
  w.SelectTab(0);
  EXPECT_EQ(bolt->itemData(0).toUInt(), kNoRef);
  EXPECT_FALSE(w.Cb("OpenDetectCb")->isEnabled());
}

// ---- Candidate lists ----

TEST(EditorLists, OpenSensorNeedsTheBoltAndStaysOnItsDevice) {
  EditorWorld w;
  w.Controller(2, 2);
  w.Start();
  QComboBox* open = w.Cb("OpenDetectCb");
  EXPECT_FALSE(open->isEnabled());
  EXPECT_EQ(EditorWorld::Values(open), std::vector<IoRef>{kNoRef});
  EXPECT_EQ(EditorWorld::Texts(open), QStringList{"  -----"});

  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotLock, 0));
  ASSERT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0));
  EXPECT_TRUE(open->isEnabled());
  EXPECT_EQ(EditorWorld::Values(open),
            (std::vector<IoRef>{kNoRef, Ref(kSlotLock, 0), Ref(kSlotLock, 1), Ref(kSlotLock, 2),
                                Ref(kSlotLock, 3)}));
  EditorWorld::Pick(open, Ref(kSlotLock, 3));
  EXPECT_EQ(w.Door(0).inputs[1], Ref(kSlotLock, 3));
  EXPECT_EQ(EditorWorld::Values(open),
            (std::vector<IoRef>{Ref(kSlotLock, 3), kNoRef, Ref(kSlotLock, 0), Ref(kSlotLock, 1),
                                Ref(kSlotLock, 2)}));
  // The input is gone from the other input lists.
  for (const char* name : {"OutBtnCb", "Alarm0Cb", "Alarm1Cb"}) {
    std::vector<IoRef> v = EditorWorld::Values(w.Cb(name));
    EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotLock, 3)), 0) << name;
    EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotReader, 2)), 1) << name;
  }

  // Clearing the bolt clears the open sensor, and the list can no longer be used.
  EditorWorld::PickText(w.Cb("RygielCb"), "  -----");
  EXPECT_EQ(w.Door(0).outputs[0], kNoRef);
  EXPECT_EQ(w.Door(0).inputs[1], kNoRef);
  EXPECT_FALSE(open->isEnabled());
  EXPECT_EQ(EditorWorld::Values(open), std::vector<IoRef>{kNoRef});
  EXPECT_FALSE(w.Chk("OpenDetectNC")->isEnabled());
}

TEST(EditorLists, BoltOnAnotherDeviceDropsTheOpenSensor) {
  EditorWorld w;
  w.Controller(2, 1);
  w.Start();
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotLock, 0));
  EditorWorld::Pick(w.Cb("OpenDetectCb"), Ref(kSlotLock, 1));
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotLock, 2));  // same device: kept
  EXPECT_EQ(w.Door(0).inputs[1], Ref(kSlotLock, 1));
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotReader, 0));
  EXPECT_EQ(w.Door(0).inputs[1], kNoRef);
  EXPECT_EQ(
      EditorWorld::Values(w.Cb("OpenDetectCb")),
      (std::vector<IoRef>{kNoRef, Ref(kSlotReader, 0), Ref(kSlotReader, 1), Ref(kSlotReader, 2)}));
}

TEST(EditorLists, BoltListShowsCurrentThenEmptyThenFree) {
  EditorWorld w;
  w.Controller(2, 2);
  w.Start();
  QComboBox* bolt = w.Cb("RygielCb");
  // Display order: controller, R01 before Z02.
  std::vector<IoRef> all{Ref(kSlotCtrl, 0),   Ref(kSlotCtrl, 1), Ref(kSlotReader, 0),
                         Ref(kSlotReader, 1), Ref(kSlotLock, 0), Ref(kSlotLock, 1),
                         Ref(kSlotLock, 2),   Ref(kSlotLock, 3)};
  std::vector<IoRef> expect{kNoRef};
  expect.insert(expect.end(), all.begin(), all.end());
  EXPECT_EQ(EditorWorld::Values(bolt), expect);
  EXPECT_EQ(bolt->itemText(1), "K27_00005:Out1");
  EXPECT_EQ(bolt->itemText(3), "R01_00009:Out1");
  EditorWorld::Pick(bolt, Ref(kSlotReader, 1));
  expect = {Ref(kSlotReader, 1), kNoRef};
  for (IoRef r : all)
    if (r != Ref(kSlotReader, 1)) expect.push_back(r);
  EXPECT_EQ(EditorWorld::Values(bolt), expect);
  // The reminder no longer offers it.
  std::vector<IoRef> remind = EditorWorld::Values(w.Cb("RemindCb"));
  EXPECT_EQ(std::count(remind.begin(), remind.end(), Ref(kSlotReader, 1)), 0);
  EXPECT_EQ(remind.size(), all.size());  // empty choice and the 7 others
}

TEST(EditorLists, AlarmListWithSharedOutputAndWithOwnAlarm) {
  EditorWorld w;
  SimDevice& c = w.Controller(2, 3);
  // Only the controller's two relay outputs and one of the reader's remain free.
  c.doors[1].refs[2] = Ref(kSlotReader, 0);  // alarm of passage 2
  for (int i = 0; i < 4; ++i) c.doors[2].refs[i] = Ref(kSlotLock, i);
  w.Start();
  QComboBox* alarm = w.Cb("AlarmCb");
  // Passage 1 has no alarm: empty, the shared output, empty, the free outputs.
  EXPECT_EQ(EditorWorld::Values(alarm),
            (std::vector<IoRef>{kNoRef, Ref(kSlotReader, 0), Ref(kSlotLock, 2), kNoRef,
                                Ref(kSlotCtrl, 0), Ref(kSlotCtrl, 1), Ref(kSlotReader, 1)}));
  // Passage 3's alarm is shared into the list, its CCTV output is not.
  std::vector<IoRef> v = EditorWorld::Values(alarm);
  EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotLock, 3)), 0);

  // Choosing the shared output: the list then reads current, the other shared, empty, free.
  EditorWorld::PickIndex(alarm, 1);
  EXPECT_EQ(w.Door(0).outputs[2], Ref(kSlotReader, 0));
  EXPECT_EQ(EditorWorld::Values(alarm),
            (std::vector<IoRef>{Ref(kSlotReader, 0), Ref(kSlotLock, 2), kNoRef, Ref(kSlotCtrl, 0),
                                Ref(kSlotCtrl, 1), Ref(kSlotReader, 1)}));
}

TEST(EditorLists, AlarmListWithOnlyOwnAlarm) {
  EditorWorld w;
  w.Controller(2, 2);
  w.Start();
  QComboBox* alarm = w.Cb("AlarmCb");
  EditorWorld::Pick(alarm, Ref(kSlotCtrl, 1));
  EXPECT_EQ(EditorWorld::Values(alarm),
            (std::vector<IoRef>{Ref(kSlotCtrl, 1), kNoRef, Ref(kSlotCtrl, 0), Ref(kSlotReader, 0),
                                Ref(kSlotReader, 1), Ref(kSlotLock, 0), Ref(kSlotLock, 1),
                                Ref(kSlotLock, 2), Ref(kSlotLock, 3)}));
  EXPECT_EQ(alarm->itemText(0), "K27_00005:Out2");
  EXPECT_EQ(alarm->itemText(1), "  -----");
}

TEST(EditorLists, HiddenInputsAndReadersFollowTheModel) {
  EditorWorld w;
  SimDevice& c = w.Controller(2, 1);
  c.doors[0].refs[4 + 9] = Ref(kSlotReader, 1);  // input slot 9, never edited
  w.Start();
  std::vector<IoRef> v = EditorWorld::Values(w.Cb("OutBtnCb"));
  EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotReader, 1)), 0);
  EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotReader, 0)), 1);
  // Readers: controller 1, reader 1, lock 2.
  EXPECT_EQ(EditorWorld::Values(w.Cb("Rd3Cb")),
            (std::vector<IoRef>{kNoRef, Ref(kSlotCtrl, 0), Ref(kSlotReader, 0), Ref(kSlotLock, 0),
                                Ref(kSlotLock, 1)}));
  EditorWorld::Pick(w.Cb("Rd3Cb"), Ref(kSlotLock, 1));
  EXPECT_EQ(w.Door(0).readers[2], Ref(kSlotLock, 1));
  EXPECT_EQ(w.Cb("Rd3Cb")->itemText(0), "Z02_00003:Rd2");
  v = EditorWorld::Values(w.Cb("Rd1Cb"));
  EXPECT_EQ(std::count(v.begin(), v.end(), Ref(kSlotLock, 1)), 0);
}

// ---- NC boxes ----

// The reminder row (list and NC box) and the fourth reader, driven through their widgets:
// each reaches its own place in the model and in what "Zapisz" writes, and the others stop
// offering what it took.
TEST(EditorLists, ReminderRowAndFourthReaderThroughTheWidgets) {
  EditorWorld w;
  SimDevice& c = w.Controller(2, 1);
  w.Start();
  EditorWorld::Pick(w.Cb("RemindCb"), 0x0102);  // the lock's third output, open collector
  ASSERT_TRUE(w.Chk("RemindNC")->isEnabled());
  EditorWorld::Click(w.Chk("RemindNC"));
  EditorWorld::Pick(w.Cb("Rd4Cb"), 0x0101);  // the lock's second reader
  EXPECT_EQ(w.Door(0).outputs[1], 0x0182);
  EXPECT_EQ(w.Door(0).readers[3], 0x0101);
  EXPECT_EQ(w.Door(0).outputs[0], kNoRef);
  EXPECT_EQ(w.Door(0).readers[0], kNoRef);
  for (const char* other : {"RygielCb", "AlarmCb", "CctvCb"})
    EXPECT_EQ(w.Cb(other)->findData(0x0102), -1) << other;
  for (const char* other : {"Rd1Cb", "Rd2Cb", "Rd3Cb"})
    EXPECT_EQ(w.Cb(other)->findData(0x0101), -1) << other;
  EXPECT_EQ(EditorWorld::Values(w.Cb("Rd4Cb")).front(), 0x0101);
  EXPECT_TRUE(w.Chk("RemindNC")->isChecked());
  w.win->WrCfgBtnClick();
  ASSERT_EQ(c.written.size(), 1u);
  const std::vector<uint8_t>& p = c.written.back();
  EXPECT_EQ(GetU16(p.data() + 2 + 2 * 1), 0x0182);   // reminder
  EXPECT_EQ(GetU16(p.data() + 2 + 2 * 17), 0x0101);  // fourth reader
  // The empty entry gives the reader back.
  EditorWorld::PickIndex(w.Cb("Rd4Cb"), 1);
  EXPECT_EQ(w.Door(0).readers[3], kNoRef);
  EXPECT_NE(w.Cb("Rd1Cb")->findData(0x0101), -1);
}

TEST(EditorNc, OutputBoxOnlyForOpenCollectorInputBoxWheneverAssigned) {
  EditorWorld w;
  w.Controller(2, 1);
  w.Start();
  QCheckBox* nc = w.Chk("RygielNC");
  EXPECT_FALSE(nc->isEnabled());
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotCtrl, 0));  // relay
  EXPECT_FALSE(nc->isEnabled());
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotLock, 0));  // open collector
  EXPECT_TRUE(nc->isEnabled());
  EXPECT_FALSE(nc->isChecked());
  EditorWorld::Click(nc);
  EXPECT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0, true));
  EditorWorld::Click(nc);
  EXPECT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0));

  const char* rows[4][2] = {{"OutBtnCb", "OutBtnNC"},
                            {"OpenDetectCb", "OpenDetectNC"},
                            {"Alarm0Cb", "Alarm0NC"},
                            {"Alarm1Cb", "Alarm1NC"}};
  IoRef picks[4] = {Ref(kSlotCtrl, 0), Ref(kSlotLock, 1), Ref(kSlotReader, 2), Ref(kSlotCtrl, 1)};
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(w.Chk(rows[i][1])->isEnabled()) << rows[i][1];
    EditorWorld::Pick(w.Cb(rows[i][0]), picks[i]);
    EXPECT_TRUE(w.Chk(rows[i][1])->isEnabled()) << rows[i][1];
    EditorWorld::Click(w.Chk(rows[i][1]));
    EXPECT_EQ(w.Door(0).inputs[i], IoRef(picks[i] | 0x80)) << i;
  }
  // A refresh shows the stored flags again.
  w.win->RefreshDoorEditor();
  for (auto& row : rows) EXPECT_TRUE(w.Chk(row[1])->isChecked()) << row[1];
  // The NC state at the moment of an assignment goes with it.
  EditorWorld::Pick(w.Cb("Alarm0Cb"), Ref(kSlotReader, 0));
  EXPECT_EQ(w.Door(0).inputs[2], Ref(kSlotReader, 0, true));
}

TEST(EditorNc, SharedOutputHasOneFlag) {
  EditorWorld w;
  w.Controller(2, 3);
  w.Start();
  EditorWorld::Pick(w.Cb("CctvCb"), Ref(kSlotLock, 2));
  EditorWorld::Click(w.Chk("CctvNC"));
  w.SelectTab(2);
  EXPECT_FALSE(w.Chk("CctvNC")->isEnabled());
  EditorWorld::PickIndex(w.Cb("CctvCb"), 1);
  EXPECT_EQ(w.Door(2).outputs[3], Ref(kSlotLock, 2, true));
  EXPECT_TRUE(w.Chk("CctvNC")->isChecked());
  EditorWorld::Click(w.Chk("CctvNC"));
  EXPECT_EQ(w.Door(0).outputs[3], Ref(kSlotLock, 2));
  EXPECT_EQ(w.Door(2).outputs[3], Ref(kSlotLock, 2));
}

TEST(EditorNc, ChangesMadeWhileRefreshingAreIgnored) {
  EditorWorld w;
  SimDevice& c = w.Controller(3, 1);
  c.doors[0].refs[0] = Ref(kSlotLock, 0);
  c.doors[0].refs[4] = Ref(kSlotCtrl, 0);
  c.doors[0].params[kParType] = 1;
  w.Start();
  ASSERT_TRUE(w.Chk("RygielNC")->isEnabled());
  w.win->DoorEd->Refreshing = true;
  w.Chk("RygielNC")->setChecked(true);
  w.Chk("OutBtnNC")->setChecked(true);
  w.Chk("KlamkaCb")->setChecked(true);
  w.Chk("FullTimCb")->setChecked(true);
  w.Cb("TypeCb")->setCurrentIndex(3);
  w.win->DoorEd->TypeCbChange();
  EXPECT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0));
  EXPECT_EQ(w.Door(0).inputs[0], Ref(kSlotCtrl, 0));
  EXPECT_EQ(w.Door(0).params[kParFlags], 0);
  EXPECT_EQ(w.Door(0).params[kParType], 1);
  // The same changes by the user do reach the model.
  w.win->DoorEd->Refreshing = false;
  w.win->RefreshDoorEditor();
  EditorWorld::Click(w.Chk("RygielNC"));
  EditorWorld::Click(w.Chk("OutBtnNC"));
  EditorWorld::Click(w.Chk("KlamkaCb"));
  EditorWorld::PickIndex(w.Cb("TypeCb"), 3);
  EXPECT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0, true));
  EXPECT_EQ(w.Door(0).inputs[0], Ref(kSlotCtrl, 0, true));
  EXPECT_EQ(w.Door(0).params[kParFlags], kFlagHandle);
  EXPECT_EQ(w.Door(0).params[kParType], 3);
}

// ---- Times, train number, testing group ----

TEST(EditorTimes, TextsAreParsedStoredAndShownAgain) {
  EditorWorld w;
  w.Controller(3, 1);
  w.Start();
  struct Case {
    const char* typed;
    int stored;
    const char* shown;
  };
  for (const char* name : {"RygTimEd", "OpenTimEd"}) {
    int param = std::string(name) == "RygTimEd" ? kParBoltPulse : kParOpenTime;
    for (Case c : {Case{"2,5", 5, "2,5"}, Case{"2,7", 5, "2,5"}, Case{"2,4", 4, "2"},
                   Case{"70", 127, "63,5"}, Case{"abc", 0, "0"}, Case{"-1", 0, "0"},
                   Case{"2.5", 4, "2"}, Case{"0,5", 1, "0,5"}}) {
      EditorWorld::Enter(w.Ed(name), QString::fromLatin1(c.typed));
      EXPECT_EQ(w.Door(0).params[param], c.stored) << name << " " << c.typed;
      EXPECT_EQ(w.Ed(name)->text(), QString::fromLatin1(c.shown)) << name << " " << c.typed;
    }
  }
}

TEST(EditorTimes, LeavingAnEditDuringARefreshKeepsTheValueWithoutNesting) {
  EditorWorld w;
  w.Controller(3, 1);
  w.Start();
  w.win->DoorEd->Refreshing = true;
  w.Ed("RygTimEd")->setText("3");
  emit w.Ed("RygTimEd")->editingFinished();
  EXPECT_EQ(w.Door(0).params[kParBoltPulse], 6);
  EXPECT_TRUE(w.win->DoorEd->Refreshing);
  EXPECT_EQ(w.Ed("RygTimEd")->text(), "3");  // no refresh ran inside
  w.win->DoorEd->Refreshing = false;
}

TEST(EditorTrainNumber, ShownForTheTrainControllerLimitedAndParsed) {
  EditorWorld w;
  w.Controller(2, 1).trainNumber = 77;
  w.Start();
  QLineEdit* nr = w.Ed("TrainNrEd");
  EXPECT_FALSE(nr->isHidden());
  EXPECT_FALSE(w.W<QLabel>("TrainNrLbl")->isHidden());
  EXPECT_EQ(nr->text(), "77");
  EXPECT_EQ(nr->maxLength(), 4);
  // Typed key by key: the fifth character is refused.
  nr->clear();
  for (QChar ch : QString("98765")) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (ch.unicode() - '0'), Qt::NoModifier, ch);
    QApplication::sendEvent(nr, &press);
  }
  EXPECT_EQ(nr->text(), "9876");
  emit nr->editingFinished();
  EXPECT_EQ(w.win->Cfg.trainNumber, 9876);
  EditorWorld::Enter(nr, "-7");
  EXPECT_EQ(w.win->Cfg.trainNumber, 0);
  EXPECT_EQ(nr->text(), "0");
  EditorWorld::Enter(nr, "x1");
  EXPECT_EQ(w.win->Cfg.trainNumber, 0);
  EditorWorld::Enter(nr, "42");
  EXPECT_EQ(w.win->Cfg.trainNumber, 42);
}

TEST(EditorTrainNumber, ValueAboveTheTypingLimitIsShownAndKeptUntilTheUserChangesIt) {
  EditorWorld w;
  SimDevice& c = w.Controller(2, 1);
  c.trainNumber = 12345;
  w.Start();
  w.Show();
  QLineEdit* nr = w.Ed("TrainNrEd");
  EXPECT_EQ(nr->text(), "12345");
  // Passing through the field stores nothing; "Zapisz" writes the controller's value back.
  nr->setFocus();
  emit nr->editingFinished();
  EXPECT_EQ(w.win->Cfg.trainNumber, 12345);
  w.win->WrCfgBtnClick();
  ASSERT_FALSE(c.written.empty());
  EXPECT_EQ(GetU16(c.written.back().data() + c.written.back().size() - 2), 12345);
  EXPECT_EQ(nr->text(), "12345");
  // Typed text keeps its four characters: one removed, a fifth refused.
  nr->setCursorPosition(5);
  QTest::keyClick(nr, Qt::Key_Backspace);
  QTest::keyClicks(nr, "67");
  EXPECT_EQ(nr->text(), "1234");
  nr->selectAll();
  QTest::keyClicks(nr, "98765");
  EXPECT_EQ(nr->text(), "9876");
  emit nr->editingFinished();
  EXPECT_EQ(w.win->Cfg.trainNumber, 9876);
}

TEST(EditorTrainNumber, HiddenForOtherControllers) {
  EditorWorld w;
  w.Controller(2, 1, kPlainCtrl).trainNumber = 77;
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 1);
  EXPECT_TRUE(w.Ed("TrainNrEd")->isHidden());
  EXPECT_TRUE(w.W<QLabel>("TrainNrLbl")->isHidden());
  EXPECT_EQ(w.Ed("TrainNrEd")->text(), "77");  // set even while hidden
}

TEST(EditorTesting, DisabledInServiceModeButShowingTheValues) {
  EditorWorld w;
  SimDevice& c = w.Controller(2, 2);
  c.doors[1].params[kParType] = 0x33;
  c.doors[1].params[kParFlags] = kFlagHandle | kFlagFullPulse;
  c.doors[1].params[kParBoltPulse] = 5;
  c.doors[1].params[kParOpenTime] = 200;  // lowered to 127 on reading
  w.Start();
  w.SelectTab(1);
  EXPECT_FALSE(w.W<QGroupBox>("TstGrpBox")->isEnabled());
  for (const char* name : {"KlamkaCb", "FullTimCb", "TypeCb", "TypeLb", "RygTimEd", "RygTimLb",
                           "RygTimsLb", "OpenTimEd", "OpenTimLb", "OpenTimsLb"})
    EXPECT_FALSE(w.W<QWidget>(name)->isEnabledTo(w.win.get())) << name;
  EXPECT_TRUE(w.Chk("KlamkaCb")->isChecked());
  EXPECT_TRUE(w.Chk("FullTimCb")->isChecked());
  EXPECT_EQ(w.Cb("TypeCb")->currentIndex(), 3);
  EXPECT_EQ(w.Ed("RygTimEd")->text(), "2,5");
  EXPECT_EQ(w.Ed("OpenTimEd")->text(), "63,5");
  // Everything outside the group is editable.
  EXPECT_TRUE(w.Cb("RygielCb")->isEnabled());
  EXPECT_TRUE(w.Cb("SluzaCb")->isEnabled());
  w.SelectTab(0);
  EXPECT_FALSE(w.Chk("KlamkaCb")->isChecked());
  EXPECT_EQ(w.Cb("TypeCb")->currentIndex(), 0);
}

TEST(EditorTesting, EnabledInInstallationMode) {
  EditorWorld w;
  w.Controller(3, 2).doors[0].params[kParType] = 9;  // not in the list
  w.Start();
  EXPECT_TRUE(w.W<QGroupBox>("TstGrpBox")->isEnabled());
  for (const char* name : {"KlamkaCb", "FullTimCb", "TypeCb", "TypeLb", "RygTimEd", "RygTimLb",
                           "RygTimsLb", "OpenTimEd", "OpenTimLb", "OpenTimsLb"})
    EXPECT_TRUE(w.W<QWidget>(name)->isEnabled()) << name;
  EXPECT_EQ(w.Cb("TypeCb")->currentIndex(), -1);
  EditorWorld::PickText(w.Cb("TypeCb"), "Zablokowane");
  EXPECT_EQ(w.Door(0).params[kParType], 4);
}

TEST(EditorTimes, TypedTimeBelongsToItsPassageWhenATabIsClicked) {
  EditorWorld w;
  w.Controller(3, 2);
  w.Start();
  w.win->show();
  w.win->activateWindow();
  QApplication::processEvents();
  QLineEdit* bolt = w.Ed("RygTimEd");
  bolt->setFocus();
  QApplication::processEvents();
  if (!bolt->hasFocus()) GTEST_SKIP() << "the platform gives no keyboard focus";
  bolt->selectAll();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_7, Qt::NoModifier, "7");
  QApplication::sendEvent(bolt, &key);
  ASSERT_EQ(bolt->text(), "7");
  // A press on the second tab, delivered through the window as the mouse delivers it.
  QTabBar* tabs = w.Tabs();
  QWindow* window = w.win->windowHandle();
  ASSERT_NE(window, nullptr);
  QPoint at = tabs->mapTo(w.win.get(), tabs->tabRect(1).center());
  QPoint global = w.win->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(window, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(window, &release);
  QApplication::processEvents();
  EXPECT_TRUE(tabs->hasFocus());
  ASSERT_EQ(tabs->currentIndex(), 1);
  EXPECT_EQ(w.Door(0).params[kParBoltPulse], 14);
  EXPECT_EQ(w.Door(1).params[kParBoltPulse], 0);
  EXPECT_EQ(bolt->text(), "0");
  w.SelectTab(0);
  EXPECT_EQ(bolt->text(), "7");
}

// ---- Idle and active ----

TEST(EditorState, ModelWithoutPassagesDisablesEverything) {
  EditorWorld w;
  w.Controller(3, 2);
  w.Start();
  ASSERT_TRUE(w.Tabs()->isEnabled());
  EditorWorld::Pick(w.Cb("RygielCb"), Ref(kSlotLock, 0));
  EditorWorld::Click(w.Chk("RygielNC"));
  w.win->Cfg.doorCount = 0;
  w.win->RefreshDoorEditor();
  EXPECT_FALSE(w.Tabs()->isEnabled());
  EXPECT_FALSE(w.W<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_FALSE(w.W<QPushButton>("RapCfgBtn")->isEnabled());
  for (const char* cb : {"RygielCb", "RemindCb", "AlarmCb", "CctvCb", "OutBtnCb", "OpenDetectCb",
                         "Alarm0Cb", "Alarm1Cb", "Rd1Cb", "Rd4Cb"}) {
    EXPECT_FALSE(w.Cb(cb)->isEnabled()) << cb;
    EXPECT_EQ(w.Cb(cb)->count(), 0) << cb;
  }
  EXPECT_FALSE(w.Chk("RygielNC")->isChecked());
  EXPECT_FALSE(w.Chk("RygielNC")->isEnabled());
  EXPECT_FALSE(w.Cb("SluzaCb")->isEnabled());
  EXPECT_FALSE(w.W<QGroupBox>("TstGrpBox")->isEnabled());
  EXPECT_TRUE(w.Ed("RygTimEd")->text().isEmpty());
  // The passage record itself is untouched by the clearing.
  EXPECT_EQ(w.Door(0).outputs[0], Ref(kSlotLock, 0, true));
}

TEST(EditorState, PassageCountChangedWithoutRebuildKeepsTabsInStep) {
  EditorWorld w;
  w.Controller(2, 4);
  w.Start();
  w.SelectTab(3);
  w.win->Cfg.doorCount = 2;  // as after a configuration read again behind the tabs
  w.win->RefreshDoorEditor();
  EXPECT_EQ(w.Tabs()->count(), 2);
  EXPECT_EQ(w.win->SelectedDoor(), 0);
  EXPECT_EQ(w.Cb("SluzaCb")->count(), 2);
}

TEST(EditorState, FilledModelWithoutController) {
  EditorWorld w;
  w.Start();
  CtrlCfg& cfg = w.win->Cfg;
  cfg.devCount = cfg.listedCount = 1;
  cfg.devs[0] = BusDev{};
  cfg.devs[0].id = kPlainCtrl;
  cfg.devs[0].outputCount = 3;
  cfg.order[0] = 0;
  cfg.doorCount = 2;
  for (DoorCfg& d : cfg.doors) {
    for (IoRef& r : d.outputs) r = kNoRef;
    for (IoRef& r : d.inputs) r = kNoRef;
    for (IoRef& r : d.readers) r = kNoRef;
    std::memset(d.params, 0, sizeof d.params);
  }
  w.win->RebuildDoorTabs();
  EXPECT_EQ(w.Tabs()->count(), 2);
  EXPECT_EQ(w.Cb("RygielCb")->count(), 4);
  // No controller selected, so no mode: the testing group stays closed.
  EXPECT_FALSE(w.W<QGroupBox>("TstGrpBox")->isEnabled());
}

// ---- A whole session written to the controller ----

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v & 0xFF));
  out.push_back(uint8_t(v >> 8));
}

TEST(EditorSession, EditsThroughTheWidgetsAreWrittenByZapisz) {
  EditorWorld w;
  SimDevice& c = w.Controller(3, 2);
  const uint8_t params0[8] = {0x31, 0x11, 0x08, 0x22, 10, 0x05, 30, 0x07};
  const uint8_t params1[8] = {0x01, 0x00, 0x00, 0x00, 4, 0x00, 8, 0x00};
  std::memcpy(c.doors[0].params, params0, 8);
  std::memcpy(c.doors[1].params, params1, 8);
  c.doors[0].refs[4 + 9] = 0x0201;  // hidden input slot: written back as read
  c.trainNumber = 5;
  w.Start();
  ASSERT_TRUE(w.host.errors.empty());
  ASSERT_EQ(w.win->Cfg.doorCount, 2);

  // Passage 2 first: its alarm on the reader's first (relay) output.
  w.SelectTab(1);
  EditorWorld::Pick(w.Cb("AlarmCb"), 0x0200);
  w.SelectTab(0);
  // Passage 1: bolt and open sensor on the lock, both NC.
  EditorWorld::Pick(w.Cb("RygielCb"), 0x0101);
  EditorWorld::Click(w.Chk("RygielNC"));
  EditorWorld::Pick(w.Cb("OpenDetectCb"), 0x0102);
  EditorWorld::Click(w.Chk("OpenDetectNC"));
  EditorWorld::Pick(w.Cb("OutBtnCb"), 0x0000);
  EditorWorld::Pick(w.Cb("Rd1Cb"), 0x0200);
  EditorWorld::Pick(w.Cb("Rd2Cb"), 0x0101);
  // The alarm shared with passage 2, a CCTV output on the lock with NC.
  ASSERT_EQ(w.Cb("AlarmCb")->itemData(1).toUInt(), 0x0200u);
  EditorWorld::PickIndex(w.Cb("AlarmCb"), 1);
  EXPECT_FALSE(w.Chk("AlarmNC")->isEnabled());
  EditorWorld::Pick(w.Cb("CctvCb"), 0x0103);
  EditorWorld::Click(w.Chk("CctvNC"));
  EditorWorld::PickText(w.Cb("SluzaCb"), "Śluza 1");
  EditorWorld::PickText(w.Cb("TypeCb"), "Bistabilne");
  EditorWorld::Click(w.Chk("KlamkaCb"));
  EditorWorld::Click(w.Chk("FullTimCb"));
  EditorWorld::Enter(w.Ed("RygTimEd"), "2,5");
  EditorWorld::Enter(w.Ed("OpenTimEd"), "10");
  EditorWorld::Enter(w.Ed("TrainNrEd"), "1234");
  // Passage 2 takes the shared CCTV output, flag and all.
  w.SelectTab(1);
  ASSERT_EQ(w.Cb("CctvCb")->itemData(1).toUInt(), 0x0183u);
  EditorWorld::PickIndex(w.Cb("CctvCb"), 1);

  size_t before = c.written.size();
  w.win->WrCfgBtnClick();
  ASSERT_TRUE(w.host.errors.empty()) << w.host.errors[0].text.toStdString();
  ASSERT_EQ(c.written.size(), before + 1);

  std::vector<uint8_t> expect{2, 18};
  // Passage 1: bolt, reminder, alarm, CCTV; ten inputs; four readers.
  for (uint16_t r : {0x0181, 0xFFFF, 0x0200, 0x0183}) PutLe16(expect, r);
  for (uint16_t r :
       {0x0000, 0x0182, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x0201})
    PutLe16(expect, r);
  for (uint16_t r : {0x0200, 0x0101, 0xFFFF, 0xFFFF}) PutLe16(expect, r);
  // Passage 2: shared alarm and CCTV only.
  for (uint16_t r : {0xFFFF, 0xFFFF, 0x0200, 0x0183}) PutLe16(expect, r);
  for (int i = 0; i < 14; ++i) PutLe16(expect, 0xFFFF);
  // Parameters: type 2 over the kept high bits; airlock 1, handle and full pulse over the
  // kept bit 3; 2,5 s and 10 s in half seconds; the other bytes as read.
  for (uint8_t b : {0x32, 0x11, 0xCC, 0x22, 5, 0x05, 20, 0x07}) expect.push_back(b);
  for (uint8_t b : params1) expect.push_back(b);
  PutLe16(expect, 1234);
  EXPECT_EQ(expect.size(), size_t(2 + 44 * 2 + 2));
  EXPECT_EQ(c.written.back(), expect);
  // The editor stays as it is after writing.
  EXPECT_EQ(w.Tabs()->currentIndex(), 1);
  EXPECT_TRUE(w.W<QPushButton>("WrCfgBtn")->isEnabled());
}

}  // namespace
