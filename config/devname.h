// Device identifier of the Quorinnet system and the names derived from it.
#pragma once
#include <cstdint>
#include <string>

// Identifier layout: bits 0-15 serial, 16-25 type code (type * 100 + variant),
// 26-27 suffix letter (A-D), 28-31 device class (2 for this system).
constexpr uint32_t IdSerial(uint32_t id) {
  return id & 0xFFFFu;
}
constexpr uint32_t IdTypeCode(uint32_t id) {
  return (id >> 16) & 0x3FFu;
}
constexpr uint32_t IdType(uint32_t id) {
  return IdTypeCode(id) / 100;
}
constexpr uint32_t IdSuffixLetter(uint32_t id) {
  return (id >> 26) & 3u;
}
constexpr uint32_t IdClass(uint32_t id) {
  return id >> 28;
}
constexpr bool IsController(uint32_t id) {
  return IdType(id) == 3;
}
constexpr uint32_t MakeId(uint32_t typeCode, uint32_t serial, uint32_t suffix = 0,
                          uint32_t cls = 2) {
  return (cls << 28) | ((suffix & 3u) << 26) | ((typeCode & 0x3FFu) << 16) | (serial & 0xFFFFu);
}

// "%c%02d_%05u": type letter, variant, serial. Always 9 characters.
std::string DevName(uint32_t id);
// Type name of the bus device list ("    Czytnik", ..., "Nieznany typ"), UTF-8.
const char* TypeName(uint32_t id);
