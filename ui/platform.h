// What the window does the platform's own way. One implementation per platform.
#pragma once
#include <QByteArray>
#include <QString>
#include <functional>
#include <string>

class QObject;

// A file name from a dialog as the file modules take it (UTF-8 on Windows, the file system's
// bytes elsewhere), and a message of theirs, which names the file, back as text.
std::string FileNameBytes(const QString& name);
QString FileMessage(const std::string& text);

// Lets a worker thread wake the window's thread. The returned function may be called from
// any thread; onRing then runs on owner's thread, in its event loop. Rings that come close
// together may run onRing once. Ringing after owner is gone is not allowed.
std::function<void()> MakeWakeup(QObject* owner, std::function<void()> onRing);
