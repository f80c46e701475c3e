// Arrangement of the passage editor's controls on screen, and a picture of it for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTabBar>
#include <cstdio>
#include <cstring>

#include "tests/common/fakehost.h"

namespace {

constexpr uint32_t kCtrl = MakeId(327, 5);
constexpr uint32_t kLock = MakeId(202, 3);

struct Geo {
  const char* name;
  int x, y, w, h;  // within the tab control, as the form is drawn
};

// Positions in the tab control's coordinates; the first row of tabs sits above y 24.
const Geo kGeometry[] = {
    {"RygGrpBox", 16, 48, 281, 81},   {"GroupBox3", 16, 136, 281, 113},
    {"GroupBox1", 16, 256, 281, 113}, {"GroupBox4", 312, 48, 161, 153},
    {"GroupBox5", 312, 208, 161, 65}, {"TstGrpBox", 16, 376, 457, 89},
};

struct Child {
  const char* name;
  const char* parent;
  int x, y, w, h;
};

const Child kChildren[] = {
    {"RygielCb", "RygGrpBox", 112, 16, 113, 22},     {"RygielNC", "RygGrpBox", 240, 20, 33, 17},
    {"OpenDetectCb", "RygGrpBox", 112, 48, 113, 22}, {"OutBtnCb", "GroupBox3", 112, 16, 113, 22},
    {"Alarm1Cb", "GroupBox3", 112, 80, 113, 22},     {"Alarm1NC", "GroupBox3", 240, 84, 33, 17},
    {"RemindCb", "GroupBox1", 112, 16, 113, 22},     {"CctvCb", "GroupBox1", 112, 80, 113, 22},
    {"Rd1Cb", "GroupBox4", 32, 24, 113, 22},         {"Rd4Cb", "GroupBox4", 32, 120, 113, 22},
    {"SluzaCb", "GroupBox5", 32, 24, 113, 22},       {"KlamkaCb", "TstGrpBox", 24, 24, 113, 17},
    {"FullTimCb", "TstGrpBox", 24, 56, 113, 17},     {"TypeCb", "TstGrpBox", 168, 47, 73, 22},
    {"RygTimEd", "TstGrpBox", 392, 23, 33, 22},      {"OpenTimEd", "TstGrpBox", 392, 55, 33, 22},
};

TEST(EditorLook, ArrangementFollowsTheForm) {
  GuiWorld w;
  SimDevice& c = w.net.AddDevice(kCtrl, 0x0A000005, 3);
  c.AddBusDevice(kCtrl, 2, 2, 1, false);
  c.AddBusDevice(kLock, 4, 4, 2, true);
  c.doors.resize(4);
  for (SimDoor& d : c.doors) {
    for (uint16_t& r : d.refs) r = kNoRef;
    std::memset(d.params, 0, sizeof d.params);
  }
  c.doors[0].refs[0] = 0x0181;  // bolt on the lock, NC
  c.doors[0].refs[4 + 1] = 0x0102;
  c.doors[0].refs[2] = 0x0001;
  c.doors[0].refs[14] = 0x0100;
  c.doors[0].params[kParType] = 1;
  c.doors[0].params[kParFlags] = 0x04 | kFlagHandle;
  c.doors[0].params[kParBoltPulse] = 5;
  c.doors[0].params[kParOpenTime] = 30;
  c.trainNumber = 12;
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 4);
  w.win->show();
  QApplication::processEvents();

  QWidget* tc = w.win->findChild<QTabBar*>("DoorTc");
  ASSERT_NE(tc, nullptr);
  const QPoint origin = tc->mapTo(w.win.get(), QPoint(0, 0));
  for (const Geo& g : kGeometry) {
    QWidget* c = w.win->findChild<QWidget*>(g.name);
    ASSERT_NE(c, nullptr) << g.name;
    QPoint p = c->mapTo(w.win.get(), QPoint(0, 0)) - origin;
    std::printf("%-12s %3d %3d %3d %3d\n", g.name, p.x(), p.y(), c->width(), c->height());
    EXPECT_NEAR(p.x(), g.x, 2) << g.name;
    EXPECT_NEAR(p.y(), g.y, 2) << g.name;
    EXPECT_EQ(c->width(), g.w) << g.name;
    EXPECT_EQ(c->height(), g.h) << g.name;
  }
  for (const Child& ch : kChildren) {
    QWidget* c = w.win->findChild<QWidget*>(ch.name);
    QWidget* parent = w.win->findChild<QWidget*>(ch.parent);
    ASSERT_NE(c, nullptr) << ch.name;
    ASSERT_NE(parent, nullptr) << ch.parent;
    QPoint p = c->mapTo(parent, QPoint(0, 0));
    std::printf("%-12s %3d %3d %3d %3d\n", ch.name, p.x(), p.y(), c->width(), c->height());
    EXPECT_NEAR(p.x(), ch.x, 4) << ch.name;
    EXPECT_NEAR(p.y(), ch.y, 3) << ch.name;
    // Controls may grow so that their captions and items are not clipped, not shrink.
    EXPECT_GE(c->width(), ch.w) << ch.name;
    EXPECT_LE(c->width(), ch.w + 24) << ch.name;
    EXPECT_NEAR(c->height(), ch.h, 3) << ch.name;
    EXPECT_TRUE(c->geometry().right() < parent->width()) << ch.name;
  }
  // Every label's text fits its label.
  for (QLabel* lb : w.win->findChild<QWidget*>("DoorPanel")->findChildren<QLabel*>())
    EXPECT_GE(lb->width(), lb->fontMetrics().horizontalAdvance(lb->text()))
        << lb->objectName().toStdString();
  for (QCheckBox* cb : w.win->findChild<QWidget*>("DoorPanel")->findChildren<QCheckBox*>())
    EXPECT_GE(cb->width(), cb->sizeHint().width()) << cb->objectName().toStdString();

  const QString path = QDir::temp().filePath("feldaro_editor.png");
  EXPECT_TRUE(w.win->grab().save(path));
}

}  // namespace
