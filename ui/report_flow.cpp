// "Raport" button: location dialog, save dialog, then the report file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDate>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <cerrno>
#include <cstring>
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

[[noreturn]] void FailErrno(const QString& path, int err) {
  Fail(path, QString::fromLocal8Bit(std::strerror(err)));
}

// A temporary file beside the target, removed again unless it was renamed into place.
struct TempFile {
  std::string name;
  int fd = -1;
  bool keep = false;
  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!keep && !name.empty()) ::unlink(name.c_str());
  }
};

}  // namespace

void TMainWin::WriteReport(const QString& fileName, const std::string& location8bit) {
  if (DevSet.selected < 0 || DevSet.selected >= DevSet.count)
    Fail(fileName, "nie wybrano kontrolera");
  std::ostringstream text;
  WriteReportTo(text, DevName(DevSet.dev[DevSet.selected].id), Cfg, location8bit,
                QDate::currentDate());
  const std::string bytes = text.str();

  // The report is written beside the target and renamed over it only when every byte is on
  // disk, so a failed write never leaves a truncated report in place of an earlier one.
  // Short writes are checked one by one: a full disk or a size limit shows up there.
  QFileInfo target(fileName);
  if (target.isSymLink()) target = QFileInfo(target.symLinkTarget());
  const std::string finalName = QFile::encodeName(target.absoluteFilePath()).toStdString();
  TempFile tmp;
  tmp.name =
      QFile::encodeName(target.absolutePath() + "/." + target.fileName() + ".XXXXXX").toStdString();
  tmp.fd = ::mkstemp(tmp.name.data());
  if (tmp.fd < 0) {
    const int err = errno;
    tmp.name.clear();
    FailErrno(fileName, err);
  }
  // Same permissions as the file it replaces, or what a newly created file would get.
  struct stat old {};
  mode_t mode;
  if (::stat(finalName.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(tmp.fd, mode) != 0) FailErrno(fileName, errno);

  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(tmp.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      FailErrno(fileName, errno);
    }
    done += size_t(n);
  }
  if (::fsync(tmp.fd) != 0) FailErrno(fileName, errno);
  const int fd = tmp.fd;
  tmp.fd = -1;
  if (::close(fd) != 0) FailErrno(fileName, errno);
  if (::rename(tmp.name.c_str(), finalName.c_str()) != 0) FailErrno(fileName, errno);
  tmp.keep = true;
}
