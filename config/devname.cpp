// Device names and type names derived from the 32-bit device identifier.
#include "devname.h"

#include <cstdio>

namespace {

// Letter of each device type; types 3 and 5 share 'K', 8-10 are unknown.
constexpr char kTypeLetters[] = "RTZKCKFD???";

constexpr const char* kTypeNames[] = {
    "    Czytnik",   // 0 card reader
    "  Terminal",    // 1 terminal
    "      Zamek",   // 2 lock
    " Kontroler",    // 3 controller
    "Ctr",           // 4
    " Klawiatura",   // 5 keypad
    " Interfejs",    // 6 interface
    "      Moduł",   // 7 module
    "Nieznany typ",  // 8
    "Nieznany typ",  // 9
    "Nieznany typ",  // 10
};

}  // namespace

std::string DevName(uint32_t id) {
  const uint32_t code = IdTypeCode(id);  // 0..1023, so the type is 0..10
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%02d_%05u", kTypeLetters[code / 100],
                static_cast<int>(code % 100), static_cast<unsigned>(IdSerial(id)));
  return buf;
}

const char* TypeName(uint32_t id) {
  return kTypeNames[IdType(id)];
}
