// "Raport" button: location dialog, save dialog, then the report file.
#include <QDate>
#include <QDialog>
#include <QLineEdit>
#include <QLocale>
#include <QSaveFile>
#include <sstream>
#include <stdexcept>

#include "lokdlg.h"
#include "mainwin.h"
#include "report.h"

void TMainWin::RapCfgBtnClick() {
  if (DevSet.count < 1) return;
  if (DevSet.selected < 0 || DevSet.selected >= DevSet.count || !LokalizDlg) return;
  const std::string name = DevName(DevSet.dev[DevSet.selected].id);
  const QString suggested = SuggestedReportName(
      QDate::currentDate(), DateSeparator(QLocale().dateFormat(QLocale::ShortFormat)), name);
  {
    ModalScope modal(*this);
    if (host.ExecDialog(LokalizDlg) != QDialog::Accepted) return;
  }
  QString path;
  {
    ModalScope modal(*this);
    path = host.SaveFileName(this, suggested, "Konfiguracja kontrolera (*.txt)", "txt");
  }
  if (path.isEmpty()) return;
  Guard([&] {
    const std::string location = ToCp1250(LokalizDlg->LokEdit->text().toStdString());
    WriteReport(path, location);
  });
}

namespace {

[[noreturn]] void Fail(const QString& path, const QString& reason) {
  const QString msg = QString("Nie można zapisać raportu do pliku %1: %2").arg(path, reason);
  throw std::runtime_error(msg.toLocal8Bit().toStdString());
}

}  // namespace

void TMainWin::WriteReport(const QString& fileName, const std::string& location8bit) {
  if (DevSet.selected < 0 || DevSet.selected >= DevSet.count)
    Fail(fileName, "nie wybrano kontrolera");
  std::ostringstream text;
  WriteReportTo(text, DevName(DevSet.dev[DevSet.selected].id), Cfg, location8bit,
                QDate::currentDate());
  const std::string bytes = text.str();

  // Written beside the target and renamed over it only when complete, so a failed write
  // never leaves a truncated report in place of an earlier one.
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly)) Fail(fileName, file.errorString());
  if (file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size())) {
    const QString reason = file.errorString();
    file.cancelWriting();
    Fail(fileName, reason);
  }
  if (!file.commit()) Fail(fileName, file.errorString());
}
