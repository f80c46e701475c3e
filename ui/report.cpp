// Configuration report for the window: dates and separators from the toolkit, text from the
// shared builder.
#include "report.h"

QChar DateSeparator(const QString& shortFormat) {
  for (QChar c : shortFormat)
    if (!c.isLetter()) return c;
  return QChar('-');
}

QString SuggestedReportName(const QDate& date, QChar separator, const std::string& devName) {
  const std::string sep = separator.isNull() ? std::string() : QString(separator).toStdString();
  return QString::fromStdString(
      SuggestedReportName(ReportDate{date.year(), date.month(), date.day()}, sep, devName));
}

void WriteReportTo(std::ostream& os, const std::string& ctrlName, const CtrlCfg& cfg,
                   const std::string& location8bit, const QDate& date) {
  WriteReportTo(os, ctrlName, cfg, location8bit, ReportDate{date.year(), date.month(), date.day()});
}
