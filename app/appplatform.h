// The program's start and end the platform's own way. One implementation per platform.
#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// Watches for the system's request to end the program: SIGINT and SIGTERM on Linux, the end
// of the Windows session (log-off, shutdown: WM_QUERYENDSESSION) on Windows. onEnd runs on
// the window's thread and starts the close; where the system ends the process right after
// its request (Windows), finish then runs too and must complete the close before it returns.
// Watching stops when the result is destroyed.
class EndWatch {
 public:
  virtual ~EndWatch() = default;
};
std::unique_ptr<EndWatch> WatchForEnd(std::function<void()> onEnd, std::function<void()> finish);

// Folders with the window's icon in the sizes it comes in (<folder>/<size>/feldaro.png),
// the first that has them wins.
QStringList IconFolders();
// The folder with Qt's own translations (qtbase_pl.qm).
QString QtTranslationsFolder();
