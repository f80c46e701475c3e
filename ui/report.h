// Configuration report for the window: the toolkit's date and locale on top of the shared
// text builder in config/report.h.
#pragma once
#include <QChar>
#include <QDate>
#include <QString>
#include <ostream>
#include <string>

#include "config/ctrlcfg.h"
#include "config/report.h"

// "yyyy/mm/dd NAME" with the locale's date separator ('/' and '\' become '-').
QString SuggestedReportName(const QDate& date, QChar separator, const std::string& devName);
// Date separator of a short date format such as "dd.MM.yyyy": its first non-letter
// character; '-' when the format has none.
QChar DateSeparator(const QString& shortFormat);
// The whole report for the controller named ctrlName; location already in Windows-1250.
void WriteReportTo(std::ostream& os, const std::string& ctrlName, const CtrlCfg& cfg,
                   const std::string& location8bit, const QDate& date);
