// The document's fonts and the allocator's setting on Linux.
#include <malloc.h>

#include "doc/asbuiltpdf.h"

std::string DocFontFile() {
  return "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
}

std::string DocBoldFontFile() {
  return "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
}

std::string DocFontSource() {
  return "pakiet fonts-dejavu-core";
}

void KeepLargeBuffers() {
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
}
