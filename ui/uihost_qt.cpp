// The desktop side of UiHost: real message boxes, dialogs, the save dialog and the browser.
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

#include "uihost.h"

void QtUiHost::ErrorBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
  // A screen reader announces the box by its name and reads the message with it.
  box.setAccessibleName(caption);
  box.setAccessibleDescription(text);
  box.exec();
}

int QtUiHost::ExecDialog(QDialog* dlg) {
  return dlg ? dlg->exec() : int(QDialog::Rejected);
}

QString QtUiHost::SaveFileName(QWidget* parent, const QString& suggested, const QString& filter,
                               const QString& defaultSuffix) {
  // A bare name opens the dialog in the process's current directory.
  QString start = suggested;
  if (!suggested.isEmpty() && QFileInfo(suggested).isRelative())
    start = QDir::current().filePath(suggested);
  QString path = QFileDialog::getSaveFileName(parent, QString(), start, filter, nullptr,
                                              QFileDialog::DontConfirmOverwrite);
  // The default extension is added when the chosen name has none.
  if (!path.isEmpty() && !defaultSuffix.isEmpty() && QFileInfo(path).suffix().isEmpty())
    path += QLatin1Char('.') + defaultSuffix;
  return path;
}

void QtUiHost::OpenUrl(const QString& url) {
  QDesktopServices::openUrl(QUrl(url));
}
