// Passage tabs on several rows.
#include "doortabs.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QStyleOptionTab>
#include <QStylePainter>
#include <algorithm>
#include <map>

namespace {

// One tab as assistive technology sees it: where it is drawn, selected or not, and a press
// that selects it. The toolkit's own interface places the tabs on one row.
class DoorTabAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  DoorTabAccessible(TDoorTabs* bar, int index) : bar_(bar), index_(index) {}

  bool isValid() const override { return bar_ && index_ < bar_->count(); }
  QObject* object() const override { return nullptr; }
  QAccessibleInterface* parent() const override {
    return QAccessible::queryAccessibleInterface(bar_);
  }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) {
      const QString name = bar_->accessibleTabName(index_);
      return name.isEmpty() ? bar_->tabText(index_).remove(QLatin1Char('&')) : name;
    }
    if (t == QAccessible::Description) return bar_->tabToolTip(index_);
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!isValid()) return {};
    const QRect r = bar_->TabArea(index_);
    return QRect(bar_->mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override { return QAccessible::PageTab; }
  QAccessible::State state() const override {
    QAccessible::State st;
    if (!isValid()) {
      st.invalid = true;
      return st;
    }
    st.selectable = true;
    st.selected = bar_->currentIndex() == index_;
    st.disabled = !bar_->isEnabled() || !bar_->isTabEnabled(index_);
    st.invisible = !bar_->isVisible();
    return st;
  }
  void* interface_cast(QAccessible::InterfaceType t) override {
    return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                             : nullptr;
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (isValid() && name == pressAction() && bar_->isTabEnabled(index_))
      bar_->setCurrentIndex(index_);
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  QPointer<TDoorTabs> bar_;
  int index_;
};

class DoorTabsAccessible : public QAccessibleWidget {
 public:
  explicit DoorTabsAccessible(TDoorTabs* bar) : QAccessibleWidget(bar, QAccessible::PageTabList) {}
  ~DoorTabsAccessible() override {
    for (const auto& [index, id] : tabs_) QAccessible::deleteAccessibleInterface(id);
  }
  TDoorTabs* Bar() const { return static_cast<TDoorTabs*>(widget()); }
  int childCount() const override { return Bar()->count(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= Bar()->count()) return nullptr;
    if (const auto it = tabs_.find(index); it != tabs_.end())
      return QAccessible::accessibleInterface(it->second);
    auto* tab = new DoorTabAccessible(Bar(), index);
    tabs_[index] = QAccessible::registerAccessibleInterface(tab);
    return tab;
  }
  int indexOfChild(const QAccessibleInterface* c) const override {
    for (int i = 0; i < Bar()->count(); ++i)
      if (child(i) == c) return i;
    return -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    const int i = Bar()->TabAtPoint(Bar()->mapFromGlobal(QPoint(x, y)));
    return i >= 0 ? child(i) : nullptr;
  }

 private:
  mutable std::map<int, QAccessible::Id> tabs_;
};

QAccessibleInterface* DoorTabsFactory(const QString&, QObject* obj) {
  if (auto* bar = dynamic_cast<TDoorTabs*>(obj)) return new DoorTabsAccessible(bar);
  return nullptr;
}

}  // namespace

TDoorTabs::TDoorTabs(QWidget* parent) : QTabBar(parent) {
  static const bool factory = [] {
    QAccessible::installFactory(DoorTabsFactory);
    return true;
  }();
  (void)factory;
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
    // A tab stays on its own row: the selected one, drawn larger by the style, must not
    // cover the labels of the row below; on the last row it meets the base line.
    const bool lastRow = r.y() == areas.back().y();
    p.setClipRect(QRect(0, r.y(), width(), lastRow ? height() - r.y() : h));
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
