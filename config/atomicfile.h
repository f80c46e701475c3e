// Replacing a file so that readers see either the old contents or the new, never a part.
#pragma once
#include <string>
#include <string_view>

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`. A symbolic link at `path` stays and its target is replaced. The replaced file's
// permissions are kept (a new file gets what the umask allows). Unlike a plain overwrite,
// the file is a new one: hard links to the old file keep the old contents, and the
// directory must be writable. On failure nothing at `path` changes, no temporary file is
// left, `error` is "<path>: <the system's reason>" and the result is false.
// Only a regular file (or a symbolic link to one) is ever replaced: a path that exists as
// anything else (a device such as /dev/null, a FIFO, a socket, a directory) or a loop of
// symbolic links is refused before anything is written, with `error` saying what it is.
// On Windows the same holds with the system's own special files: a reserved device name
// (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or without an extension) and a reparse
// point (a symbolic link or a junction) are refused; the replaced file keeps its attributes.
// errnum, when given, receives the system's error number as an errno value (0 for such a
// refusal). Paths are UTF-8 on every platform.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error,
                         int* errnum = nullptr);
