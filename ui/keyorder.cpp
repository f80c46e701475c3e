#include "keyorder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>

#include "ui_dooreditor.h"
#include "ui_mainwin.h"

std::vector<QWidget*> KeyboardOrder(const Ui::TMainWin& ui, const Ui::TDoorEditor& ed) {
  return {// Ethernet group.
          ui.EthLstBox, ui.HelpEthBtn, ui.WwwBtn, ui.SearchEthBtn,
          // Controller group.
          ui.DevListBox, ui.HelpDevBtn, ui.DelLostBtn, ui.ReplCb, ui.ReplaceBtn,
          // Passage tabs (the arrow keys pick the passage), then the editor: door, inputs and
          // outputs down the left column, each row's list before its NC box.
          ui.DoorTc, ed.RygielCb, ed.RygielNC, ed.OpenDetectCb, ed.OpenDetectNC, ed.OutBtnCb,
          ed.OutBtnNC, ed.Alarm0Cb, ed.Alarm0NC, ed.Alarm1Cb, ed.Alarm1NC, ed.RemindCb, ed.RemindNC,
          ed.AlarmCb, ed.AlarmNC, ed.CctvCb, ed.CctvNC,
          // Readers and airlock down the right column.
          ed.Rd1Cb, ed.Rd2Cb, ed.Rd3Cb, ed.Rd4Cb, ed.SluzaCb,
          // Testing group, column by column.
          ed.KlamkaCb, ed.FullTimCb, ed.TypeCb, ed.RygTimEd, ed.OpenTimEd,
          // The buttons below the passages, left to right.
          ui.HelpDoorBtn, ui.TrainNrEd, ui.RapCfgBtn, ui.WrCfgBtn};
}

void SetKeyboardOrder(const Ui::TMainWin& ui, const Ui::TDoorEditor& ed) {
  const std::vector<QWidget*> chain = KeyboardOrder(ui, ed);
  for (size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}
