// The passage tabs on several rows, driven by real mouse clicks in the main window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTabBar>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "tests/common/fakehost.h"

namespace {

// With 16 passages every tab is in sight and takes a click inside the bar, on more than one
// row, and the bar stays above the editor, which keeps its place. FELDARO_GRAB=file saves
// the window as it looks.
TEST(DoorTabs, SixteenPassagesAreAllReachableWithoutScrolling) {
  GuiWorld w;
  w.AddController(MakeId(327, 5), 0x0A000005, 3, kMaxDoors);
  w.Start();
  w.Show();
  QApplication::processEvents();
  auto* tabs = w.Find<QTabBar>("DoorTc");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), kMaxDoors);
  QWidget* group = w.Find<QWidget>("DoorGrpBox");
  const QRect bar = tabs->geometry();
  const QRect firstGroup(w.Find<QWidget>("RygGrpBox")->mapTo(group, QPoint(0, 0)), QSize(1, 1));
  const QRect rightGroup(w.Find<QWidget>("GroupBox4")->mapTo(group, QPoint(0, 0)), QSize(1, 1));
  EXPECT_EQ(bar.topLeft(), QPoint(16, 24));
  EXPECT_EQ(bar.width(), 489);
  EXPECT_GT(bar.height(), 24) << "all tabs on one row";
  EXPECT_LT(bar.bottom(), std::min(firstGroup.top(), rightGroup.top()));
  EXPECT_EQ(firstGroup.topLeft(), QPoint(16 + 16, 24 + 48));  // the editor did not move
  // Every tab answers a click somewhere inside the bar's own rectangle, each click made with
  // the first tab selected, so no scrolling done by an earlier click can help.
  std::vector<bool> reached(kMaxDoors, false);
  for (int y = 2; y < tabs->height(); y += 4)
    for (int x = 2; x < tabs->width(); x += 6) {
      tabs->setCurrentIndex(0);
      QTest::mouseClick(tabs, Qt::LeftButton, {}, QPoint(x, y));
      if (tabs->currentIndex() >= 0) reached[size_t(tabs->currentIndex())] = true;
    }
  for (int i = 0; i < kMaxDoors; ++i) EXPECT_TRUE(reached[size_t(i)]) << "tab " << i + 1;
  tabs->setCurrentIndex(kMaxDoors - 1);
  EXPECT_EQ(w.win->SelectedDoor(), kMaxDoors - 1);
  if (const char* grab = std::getenv("FELDARO_GRAB")) {
    EXPECT_TRUE(w.win->grab().save(grab));
  }
}

}  // namespace
