// "Raport" button: location dialog, save dialog, then the report file.
#include <QDate>
#include <QDialog>
#include <QLineEdit>
#include <QLocale>
#include <sstream>
#include <stdexcept>

#include "config/atomicfile.h"
#include "config/filereason.h"
#include "lokdlg.h"
#include "mainwin.h"
#include "platform.h"
#include "report.h"

void TMainWin::ReportFlow() {
  const UdpDev* d = SelectedDev();
  if (!d || !LokalizDlg) return;
  const std::string name = DevName(d->id);
  const QString suggested = SuggestedReportName(
      QDate::currentDate(), DateSeparator(QLocale().dateFormat(QLocale::ShortFormat)), name);
  {
    ModalScope modal(*this);
    if (host.ExecDialog(LokalizDlg) != QDialog::Accepted) return;
  }
  // A signal that came while the location dialog was open ends the program: no save
  // dialog follows.
  if (Quitting()) return;
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

void TMainWin::WriteReport(const QString& fileName, const std::string& location8bit) {
  auto fail = [&](const QString& reason) {
    const QString msg = QString("Nie można zapisać raportu do pliku %1").arg(reason);
    throw std::runtime_error(msg.toStdString());  // UTF-8, as every error text
  };
  const UdpDev* d = SelectedDev();
  if (!d) fail(fileName + QStringLiteral(": nie wybrano kontrolera"));
  std::ostringstream text;
  WriteReportTo(text, DevName(d->id), Cfg, location8bit, QDate::currentDate());
  // An earlier report is replaced only once every byte of the new one is on disk.
  std::string error;
  int errnum = 0;
  const std::string path = FileNameBytes(fileName);
  if (!WriteFileAtomically(path, text.str(), error, &errnum))
    fail(fileName + QStringLiteral(": ") + QString::fromStdString(FileReason(path, error, errnum)));
}
