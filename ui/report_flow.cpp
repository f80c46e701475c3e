// Report flow (placeholder until the report lands).
#include "mainwin.h"

void TMainWin::RapCfgBtnClick() {}
void TMainWin::WriteReport(const QString&, const std::string&) {}
