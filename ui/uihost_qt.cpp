// The desktop side of UiHost: real message boxes, dialogs, the save dialog and the browser.
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <vector>

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
  // The toolkit would take the end of a dotted date for an extension; decide here instead.
  return WithDefaultSuffix(path, defaultSuffix);
}

QString WithDefaultSuffix(const QString& path, const QString& suffix) {
  if (path.isEmpty() || suffix.isEmpty()) return path;
  const QString name = QFileInfo(path).fileName();
  if (name.isEmpty()) return path;  // a directory, not a file name
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  if (dot > 0) {
    const QString ext = name.mid(dot + 1);
    bool letter = false, plain = !ext.isEmpty() && ext.size() <= 8;
    for (QChar c : ext) {
      letter = letter || c.isLetter();
      plain = plain && c.isLetterOrNumber();
    }
    if (plain && letter) return path;
  }
  // "raport." and "raport" both become "raport.txt".
  QString out = path;
  if (out.endsWith(QLatin1Char('.'))) out.chop(1);
  return out + QLatin1Char('.') + suffix;
}

void QtUiHost::OpenUrl(const QString& url) {
  QDesktopServices::openUrl(QUrl(url));
}

bool QtUiHost::Confirm(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
  QPushButton* yes = box.addButton(QStringLiteral("Tak"), QMessageBox::YesRole);
  QPushButton* no = box.addButton(QStringLiteral("Nie"), QMessageBox::NoRole);
  // Enter alone does not write anything: "Nie" is the default.
  box.setDefaultButton(no);
  box.setAccessibleName(caption);
  box.setAccessibleDescription(text);
  box.exec();
  return box.clickedButton() == yes;
}

void QtUiHost::InfoBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, parent);
  box.setAccessibleName(caption);
  box.setAccessibleDescription(text);
  box.exec();
}

QString QtUiHost::OpenFileName(QWidget* parent, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, QString(), QDir::currentPath(), filter);
}

bool QtUiHost::ConfirmReplace(QWidget* parent, const QString& path) {
  // The file dialog's own question and buttons, in the language of the toolkit's
  // translation (Polish with qtbase_pl); asked here because the extension is added after
  // the dialog has closed.
  const QString title = QCoreApplication::translate("QFileDialog", "Save As");
  const QString text =
      QCoreApplication::translate("QFileDialog", "%1 already exists.\nDo you want to replace it?")
          .arg(QFileInfo(path).fileName());
  return QMessageBox::warning(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) == QMessageBox::Yes;
}

int QtUiHost::Choose(QWidget* parent, const QString& caption, const QString& text,
                     const QStringList& buttons, int safe) {
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::NoButton, parent);
  std::vector<QPushButton*> made;
  for (const QString& b : buttons)
    made.push_back(box.addButton(
        b, made.size() == size_t(safe) ? QMessageBox::RejectRole : QMessageBox::AcceptRole));
  if (safe >= 0 && safe < int(made.size())) {
    box.setDefaultButton(made[size_t(safe)]);
    box.setEscapeButton(made[size_t(safe)]);
  }
  box.setAccessibleName(caption);
  box.setAccessibleDescription(text);
  box.exec();
  for (size_t i = 0; i < made.size(); ++i)
    if (box.clickedButton() == made[i]) return int(i);
  return safe;
}
