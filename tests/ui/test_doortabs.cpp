// The passage tabs on several rows, driven by real mouse clicks in the main window.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QTabBar>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "tests/common/fakehost.h"
#include "ui/doortabs.h"

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

// Whichever tab is selected, every other tab's label is drawn where the tab is (its colour
// shows in the grab), assistive technology finds each tab where it is drawn, and the
// selected tab is reported as selected.
TEST(DoorTabs, EveryLabelIsVisibleAndEveryTabIsWhereAssistiveTechnologyLooks) {
  GuiWorld w;
  w.AddController(MakeId(327, 5), 0x0A000005, 3, kMaxDoors);
  w.Start();
  w.Show();
  QApplication::processEvents();
  auto* tabs = dynamic_cast<TDoorTabs*>(w.Find<QTabBar>("DoorTc"));
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), kMaxDoors);
  ASSERT_GT(tabs->RowCount(), 1);
  QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(tabs);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->childCount(), kMaxDoors) << "tabs and nothing else";
  for (int s : {0, 7, 13, 14, 15}) {
    SCOPED_TRACE("selected tab " + std::to_string(s + 1));
    tabs->setCurrentIndex(s);
    const QImage plain = tabs->grab().toImage();
    for (int i = 0; i < kMaxDoors; ++i) {
      SCOPED_TRACE("tab " + std::to_string(i + 1));
      const QRect area = tabs->TabArea(i);
      ASSERT_TRUE(tabs->rect().contains(area));
      // The label in another colour changes pixels inside the tab's own area.
      tabs->setTabTextColor(i, QColor(255, 0, 0));
      const QImage red = tabs->grab().toImage();
      tabs->setTabTextColor(i, QColor());
      bool shows = false;
      for (int y = area.top(); y <= area.bottom() && !shows; ++y)
        for (int x = area.left(); x <= area.right() && !shows; ++x)
          shows = plain.pixel(x, y) != red.pixel(x, y);
      EXPECT_TRUE(shows) << "the label is covered";
      QAccessibleInterface* tab = bar->child(i);
      ASSERT_NE(tab, nullptr);
      EXPECT_EQ(tab->rect(), QRect(tabs->mapToGlobal(area.topLeft()), area.size()));
      EXPECT_EQ(bar->childAt(tab->rect().center().x(), tab->rect().center().y()), tab);
      EXPECT_EQ(tab->role(), QAccessible::PageTab);
      EXPECT_EQ(tab->state().selected, i == s);
      EXPECT_EQ(tab->text(QAccessible::Name), tabs->tabText(i));
    }
  }
  // The press action selects the tab.
  QAccessibleInterface* last = bar->child(kMaxDoors - 2);
  ASSERT_NE(last->actionInterface(), nullptr);
  last->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(tabs->currentIndex(), kMaxDoors - 2);
  if (const char* grab = std::getenv("FELDARO_GRAB_TABS")) {
    tabs->setCurrentIndex(0);
    EXPECT_TRUE(w.win->grab().save(grab));
  }
}

}  // namespace
