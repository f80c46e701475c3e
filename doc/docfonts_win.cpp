// The document's fonts on Windows: shipped in the fonts folder beside the program, so the
// PDF looks the same whatever fonts the computer has.
#include "config/wide_win.h"
#include "doc/asbuiltpdf.h"

std::string DocFontFile() {
  return ProgramDir() + "/fonts/DejaVuSans.ttf";
}

std::string DocBoldFontFile() {
  return ProgramDir() + "/fonts/DejaVuSans-Bold.ttf";
}

std::string DocFontSource() {
  return "folder fonts obok programu";
}

void KeepLargeBuffers() {
  // The Windows heap keeps freed blocks for reuse on its own.
}
