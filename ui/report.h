// Configuration report: plain data in, Windows-1250 bytes with CR LF out.
#pragma once
#include <QChar>
#include <QDate>
#include <QString>
#include <ostream>
#include <string>

#include "config/ctrlcfg.h"

// UTF-8 to Windows-1250; characters the code page lacks become '?'.
std::string ToCp1250(const std::string& utf8);
// "yyyy/mm/dd NAME" with the locale's date separator ('/' and '\' become '-').
QString SuggestedReportName(const QDate& date, QChar separator, const std::string& devName);
// Date separator of a short date format such as "dd.MM.yyyy": its first non-letter
// character; '-' when the format has none.
QChar DateSeparator(const QString& shortFormat);
// The whole report for the controller named ctrlName; location already in Windows-1250.
void WriteReportTo(std::ostream& os, const std::string& ctrlName, const CtrlCfg& cfg,
                   const std::string& location8bit, const QDate& date);
