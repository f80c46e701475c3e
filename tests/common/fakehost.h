// Test double for the window's host and a fixture that starts the three windows
// against the in-memory network in virtual time.
#pragma once
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "helpwin.h"
#include "lokdlg.h"
#include "mainwin.h"
#include "memnet.h"
#include "uihost.h"

class FakeHost : public UiHost {
 public:
  struct Box {
    QString caption, text;
  };
  std::vector<Box> errors;
  std::function<void(const QString&)> onError;  // runs while the box is "open"
  std::function<int(QDialog*)> onDialog;        // default: accept nothing (Rejected)
  std::vector<QDialog*> dialogs;
  QString savePath;  // returned by SaveFileName; empty = cancelled
  int saveCalls = 0;
  QString lastSuggested, lastFilter, lastSuffix;
  std::vector<QString> urls;

  void ErrorBox(QWidget* parent, const QString& caption, const QString& text) override;
  int ExecDialog(QDialog* dlg) override;
  QString SaveFileName(QWidget* parent, const QString& suggested, const QString& filter,
                       const QString& defaultSuffix) override;
  void OpenUrl(const QString& url) override;
};

// Creates the QApplication once per process (offscreen in tests).
void EnsureQtApp();

struct GuiWorld {
  VirtualClock clock;
  MemNet net{clock};
  FakeHost host;
  std::unique_ptr<TMainWin> win;
  std::unique_ptr<THelpWin> help;
  std::unique_ptr<TLokalizDlg> lok;

  GuiWorld();
  ~GuiWorld();
  // Start-up as the application does it: main window, FormCreate, help window, dialog.
  void Start();
  // One timer tick after a second of virtual time.
  void Tick();
  // Closes the main window as its close box does and destroys it.
  void Close();
};
