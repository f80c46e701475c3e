// Passage editor (placeholder until the editor lands).
#include "mainwin.h"

void TMainWin::ConnectDoorEditor() {}
void TMainWin::RebuildDoorTabs() { RefreshDevList(); }
void TMainWin::RefreshDoorEditor() {}
void TMainWin::ClearDoorEditor() {}
void TMainWin::EnableDoorEditor(bool) {}
void TMainWin::EnableTesting(bool) {}
void TMainWin::ClearTesting() {}
void TMainWin::FillOutputList(QComboBox*, int) {}
void TMainWin::FillSharedOutputList(QComboBox*, int) {}
void TMainWin::FillInputList(QComboBox*, int) {}
void TMainWin::FillOpenSensorList(IoRef) {}
void TMainWin::FillReaderList(QComboBox*, int) {}
void TMainWin::ShowOutputNC(QCheckBox*, IoRef) {}
void TMainWin::ShowInputNC(QCheckBox*, IoRef) {}
int TMainWin::SelectedDoor() const { return -1; }
void TMainWin::DoorTcChange() {}
void TMainWin::RygielCbChange() {}
void TMainWin::RemindCbChange() {}
void TMainWin::AlarmCbChange() {}
void TMainWin::CctvCbChange() {}
void TMainWin::OutBtnCbChange() {}
void TMainWin::OpenDetectCbChange() {}
void TMainWin::Alarm0CbChange() {}
void TMainWin::Alarm1CbChange() {}
void TMainWin::RdCbChange(int) {}
void TMainWin::RygielNCClick() {}
void TMainWin::RemindNCClick() {}
void TMainWin::AlarmNCClick() {}
void TMainWin::CctvNCClick() {}
void TMainWin::OutBtnNCClick() {}
void TMainWin::OpenDetectNCClick() {}
void TMainWin::Alarm0NCClick() {}
void TMainWin::Alarm1NCClick() {}
void TMainWin::KlamkaCbClick() {}
void TMainWin::FullTimCbClick() {}
void TMainWin::TypeCbChange() {}
void TMainWin::SluzaCbChange() {}
void TMainWin::RygTimEdExit() {}
void TMainWin::OpenTimEdExit() {}
void TMainWin::TrainNrEdExit() {}
