// The system's reasons for a failed file or socket operation, in Polish: the window and
// feldaro-cli say them in the user's language, never the C library's English.
#pragma once
#include <string>

// The system's reason for error number errnum, in Polish (an unknown number is given as
// "błąd systemu nr N").
std::string SystemReason(int errnum);
// The reason of a failed file operation for a message that names the path itself: the
// system's reason in Polish when errnum is set, else the file module's text without its
// leading "<path>: ".
std::string FileReason(const std::string& path, const std::string& error, int errnum);
