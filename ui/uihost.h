// Everything modal or outside the window goes through this interface, so the window can
// be driven offscreen by tests: error boxes, dialogs, the save dialog, opening a URL.
#pragma once
#include <QString>
#include <QStringList>

// The caption of every error box of the tool.
inline const QString kErrorCaption = QStringLiteral("Błąd");

class QDialog;
class QWidget;

class UiHost {
 public:
  virtual ~UiHost() = default;
  // Modal message box with the error icon, the given caption and one "OK" button.
  virtual void ErrorBox(QWidget* parent, const QString& caption, const QString& text) = 0;
  // Shows a dialog modally (help window, location dialog); returns its QDialog result.
  virtual int ExecDialog(QDialog* dlg) = 0;
  // Save dialog; returns the chosen path, empty when cancelled.
  virtual QString SaveFileName(QWidget* parent, const QString& suggested, const QString& filter,
                               const QString& defaultSuffix) = 0;
  virtual void OpenUrl(const QString& url) = 0;
  // Modal question with "Tak" and "Nie"; true only for "Tak". A host that cannot ask
  // answers "Nie", so nothing is written without a yes.
  virtual bool Confirm(QWidget*, const QString&, const QString&) { return false; }
  // Modal message box with the information icon and one "OK" button.
  virtual void InfoBox(QWidget*, const QString&, const QString&) {}
  // Open dialog; returns the chosen path, empty when cancelled.
  virtual QString OpenFileName(QWidget*, const QString&) { return QString(); }
  // The toolkit's own question before a file chosen in a save dialog is replaced; true only
  // for "Tak". A host that cannot ask answers "Nie".
  virtual bool ConfirmReplace(QWidget*, const QString&) { return false; }
  // A question with the given buttons; the index of the button chosen, -1 when the box was
  // closed without one. A host that cannot ask answers `safe`.
  virtual int Choose(QWidget*, const QString&, const QString&, const QStringList&, int safe) {
    return safe;
  }
};

// The path a save dialog's answer stands for: `suffix` (without the dot) is added unless the
// file name already ends in an extension of its own: 1 to 8 letters and digits, at least one
// a letter, after the last dot. So a date-like name "2024.03.05 K01_00123" gets ".txt",
// "raport." becomes "raport.txt", and "raport.log" stays as typed.
QString WithDefaultSuffix(const QString& path, const QString& suffix);

// The real desktop implementation.
class QtUiHost : public UiHost {
 public:
  void ErrorBox(QWidget* parent, const QString& caption, const QString& text) override;
  int ExecDialog(QDialog* dlg) override;
  QString SaveFileName(QWidget* parent, const QString& suggested, const QString& filter,
                       const QString& defaultSuffix) override;
  void OpenUrl(const QString& url) override;
  bool Confirm(QWidget* parent, const QString& caption, const QString& text) override;
  void InfoBox(QWidget* parent, const QString& caption, const QString& text) override;
  QString OpenFileName(QWidget* parent, const QString& filter) override;
  bool ConfirmReplace(QWidget* parent, const QString& path) override;
  int Choose(QWidget* parent, const QString& caption, const QString& text,
             const QStringList& buttons, int safe) override;
};
