// Passage tabs on several rows.
#include "doortabs.h"

#include <QMouseEvent>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <algorithm>

TDoorTabs::TDoorTabs(QWidget* parent) : QTabBar(parent) {
  setUsesScrollButtons(false);
  setElideMode(Qt::ElideNone);
  setExpanding(false);
  setDrawBase(true);
}

int TDoorTabs::RowHeight() const {
  int h = 0;
  for (int i = 0; i < count(); ++i) h = std::max(h, tabSizeHint(i).height());
  return h;
}

std::vector<QRect> TDoorTabs::Areas(int width) const {
  std::vector<QRect> out;
  out.reserve(size_t(count()));
  const int h = RowHeight();
  int x = 0, row = 0;
  for (int i = 0; i < count(); ++i) {
    const int w = tabSizeHint(i).width();
    if (x > 0 && x + w > width) {
      x = 0;
      ++row;
    }
    out.emplace_back(x, row * h, w, h);
    x += w;
  }
  return out;
}

QRect TDoorTabs::TabArea(int index) const {
  if (index < 0 || index >= count()) return {};
  return Areas(width())[size_t(index)];
}

int TDoorTabs::TabAtPoint(const QPoint& pos) const {
  const std::vector<QRect> areas = Areas(width());
  for (size_t i = 0; i < areas.size(); ++i)
    if (areas[i].contains(pos)) return int(i);
  return -1;
}

int TDoorTabs::RowCount() const {
  if (count() == 0) return 0;
  const QRect last = Areas(width()).back();
  return RowHeight() > 0 ? last.y() / RowHeight() + 1 : 1;
}

int TDoorTabs::HeightFor(int width) const {
  if (count() == 0) return 0;
  return Areas(width).back().bottom() + 1;
}

QSize TDoorTabs::sizeHint() const {
  return QSize(width(), HeightFor(width()));
}

QSize TDoorTabs::minimumSizeHint() const {
  return sizeHint();
}

void TDoorTabs::tabLayoutChange() {
  QTabBar::tabLayoutChange();
  // The bar is placed by its owner; only its height follows the number of rows.
  const int h = HeightFor(width());
  if (h != height()) resize(width(), h);
  update();
}

void TDoorTabs::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  const std::vector<QRect> areas = Areas(width());
  if (areas.empty()) return;
  const int current = currentIndex();
  const int h = RowHeight();

  // The base line under the last row, broken by the selected tab when it stands there.
  if (drawBase()) {
    QStyleOptionTabBarBase base;
    base.initFrom(this);
    base.shape = shape();
    base.documentMode = documentMode();
    const int overlap = style()->pixelMetric(QStyle::PM_TabBarBaseOverlap, nullptr, this);
    base.rect = QRect(0, areas.back().bottom() + 1 - overlap, width(), overlap);
    base.tabBarRect = QRect(0, areas.back().y(), width(), h);
    if (current >= 0 && areas[size_t(current)].y() == areas.back().y())
      base.selectedTabRect = areas[size_t(current)];
    p.drawPrimitive(QStyle::PE_FrameTabBarBase, base);
  }

  auto draw = [&](int i) {
    QStyleOptionTab opt;
    initStyleOption(&opt, i);
    const QRect r = areas[size_t(i)];
    opt.rect = r;
    // Hover as the base class tracks it follows its own single-row places; drop it.
    opt.state &= ~QStyle::State_MouseOver;
    const bool first = r.x() == 0;
    const bool last = size_t(i) + 1 == areas.size() || areas[size_t(i) + 1].y() != r.y();
    opt.position = first && last ? QStyleOptionTab::OnlyOneTab
                   : first       ? QStyleOptionTab::Beginning
                   : last        ? QStyleOptionTab::End
                                 : QStyleOptionTab::Middle;
    opt.selectedPosition = QStyleOptionTab::NotAdjacent;
    if (current >= 0 && areas[size_t(current)].y() == r.y()) {
      if (current == i - 1) opt.selectedPosition = QStyleOptionTab::PreviousIsSelected;
      if (current == i + 1) opt.selectedPosition = QStyleOptionTab::NextIsSelected;
    }
    p.drawControl(QStyle::CE_TabBarTab, opt);
  };
  for (int i = 0; i < count(); ++i)
    if (i != current) draw(i);
  if (current >= 0 && current < count()) draw(current);  // on top of its neighbours
}

void TDoorTabs::mousePressEvent(QMouseEvent* ev) {
  if (ev->button() != Qt::LeftButton) {
    ev->ignore();
    return;
  }
  const int i = TabAtPoint(ev->position().toPoint());
  if (i >= 0 && isTabEnabled(i)) setCurrentIndex(i);
  ev->accept();
}

void TDoorTabs::mouseDoubleClickEvent(QMouseEvent* ev) {
  mousePressEvent(ev);
}

void TDoorTabs::mouseMoveEvent(QMouseEvent* ev) {
  ev->accept();  // tabs do not move
}

void TDoorTabs::mouseReleaseEvent(QMouseEvent* ev) {
  ev->accept();
}
