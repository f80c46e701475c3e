// Replacing a file so that readers see either the old contents or the new, never a part.
#pragma once
#include <string>
#include <string_view>

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`. A symbolic link at `path` stays and its target is replaced. The replaced file's
// permissions are kept (a new file gets what the umask allows). Unlike a plain overwrite,
// the file is a new one: hard links to the old file keep the old contents, and the
// directory must be writable. On failure nothing at `path` changes, no temporary file is
// left, `error` is "<path>: <the system's reason>" and the result is false. A path that
// names a character device (/dev/null, a terminal) or a named pipe is written into, never
// replaced; a directory or another kind of node is refused.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error);
