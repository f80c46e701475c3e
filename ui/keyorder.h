// Keyboard order of the main window: the Tab key walks the Ethernet group, the controller
// group, the passage tabs, the passage editor group by group (left column, right column,
// testing) and then the buttons below it.
#pragma once
#include <vector>

class QWidget;

namespace Ui {
class TMainWin;
class TDoorEditor;
}  // namespace Ui

// The focus chain in that order (every control that can take the focus).
std::vector<QWidget*> KeyboardOrder(const Ui::TMainWin& ui, const Ui::TDoorEditor& ed);

// Links the chain with QWidget::setTabOrder.
void SetKeyboardOrder(const Ui::TMainWin& ui, const Ui::TDoorEditor& ed);
