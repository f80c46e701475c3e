// Test double for the window's host and a fixture that starts the three windows
// against the in-memory network in virtual time.
#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
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
  std::vector<Box> confirms, infos;
  std::function<bool(const QString&)> onConfirm;  // default: "Nie"
  std::function<void(const QString&)> onInfo;
  QString openPath;                               // returned by OpenFileName; empty = cancelled
  std::vector<QString> replaces;                  // paths the replace question named
  std::function<bool(const QString&)> onReplace;  // default: "Nie"
  std::vector<Box> chooses;                       // questions with buttons
  std::function<int(const QString&, const QStringList&)> onChoose;  // default: the safe one

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

  // Shows the main window as the application does after start-up (offscreen in tests).
  void Show();
  // A controller with itself and one reader on its bus and `doors` passages; the bolt of
  // passage i is output i of the controller (when it has that many), its reader the reader.
  SimDevice& AddController(uint32_t id, uint32_t ip, int mode, int doors = 2);
  // Queues a discovery answer of dev as if it arrived late, after the last search.
  void Announce(const SimDevice& dev);
  // What dev received from index `from` of its log on: the letter of each datagram (byte 3
  // of unauthenticated frames, the command letter of signed ones), '*' for broadcasts.
  std::string Received(const SimDevice& dev, size_t from = 0) const;
  // A named control of the main window (or of the passage editor inside it).
  template <class W>
  W* Find(const char* name) const {
    return win ? win->findChild<W*>(QString::fromLatin1(name)) : nullptr;
  }
  // Mouse click (press and release) on line `row` of the Ethernet list.
  void ClickEthLine(int row);
  // A key pressed on the Ethernet list (Qt::Key_Down and so on).
  void KeyOnEthList(int key);
  // Lines of a list widget of the window.
  std::vector<QString> Lines(const char* listName) const;
};
