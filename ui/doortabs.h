// The passage tabs: a tab bar that shows every tab, on as many rows as the width needs,
// instead of scrolling. Rows fill from the top, left to right, in passage order.
#pragma once
#include <QTabBar>
#include <vector>

class TDoorTabs : public QTabBar {
 public:
  explicit TDoorTabs(QWidget* parent = nullptr);

  // Where tab `index` is drawn and takes the mouse (empty for an invalid index).
  QRect TabArea(int index) const;
  // The tab under a point, -1 for none.
  int TabAtPoint(const QPoint& pos) const;
  int RowCount() const;
  // Height of all rows when the bar is `width` pixels wide.
  int HeightFor(int width) const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* ev) override;
  void mousePressEvent(QMouseEvent* ev) override;
  void mouseMoveEvent(QMouseEvent* ev) override;
  void mouseReleaseEvent(QMouseEvent* ev) override;
  void mouseDoubleClickEvent(QMouseEvent* ev) override;
  void tabLayoutChange() override;

 private:
  int RowHeight() const;
  std::vector<QRect> Areas(int width) const;
};
