// Configuration report: plain data in, Windows-1250 bytes with CR LF out. No toolkit: the
// window and feldaro-cli write the same bytes for the same configuration, location and date.
#include "config/report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

// Unicode code points of Windows-1250 bytes 0x80..0xFF; 0 marks a byte the code page leaves
// undefined.
constexpr uint16_t kCp1250High[128] = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0,      0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0,      0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

char Cp1250Byte(uint32_t cp) {
  if (cp < 0x80) return char(cp);
  for (int i = 0; i < 128; ++i)
    if (kCp1250High[i] == cp) return char(0x80 + i);
  return '?';
}

// Reads one UTF-8 sequence at s[i]; a malformed one yields U+FFFD and consumes one byte.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
  const auto b0 = uint8_t(s[i++]);
  if (b0 < 0x80) return b0;
  int extra;
  uint32_t cp, minCp;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, minCp = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, minCp = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, minCp = 0x10000;
  } else {
    return 0xFFFD;
  }
  if (i + extra > s.size()) return 0xFFFD;
  for (int k = 0; k < extra; ++k) {
    const auto b = uint8_t(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (b & 0x3F);
  }
  i += extra;
  if (cp < minCp || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

// All fixed texts below are UTF-8 in the source and go to the file in Windows-1250.
std::string T(const char* utf8) {
  return ToCp1250(utf8);
}

// Right-aligns an 8-bit text in w characters; a longer text stays whole.
std::string R(const std::string& s, size_t w) {
  return s.size() >= w ? s : std::string(w - s.size(), ' ') + s;
}

constexpr const char* kEol = "\r\n";

const char* const kOutLabels[4] = {"Rygiel", "Przypomnienie", "Alarm", "CCTV"};
const char* const kInLabels[4] = {"Przycisk wyjścia", "Czujnik otwarcia", "Czujka alarmowa",
                                  "Sabotaż"};

bool IsNc(IoRef ref) {
  return ref != kNoRef && (ref & 0x80);
}

void OutputRow(std::string& out, const CtrlCfg& cfg, int first, int n, int slot) {
  out += R(T(kOutLabels[slot]), 16) + ":";
  for (int k = 0; k < n; ++k) {
    const IoRef ref = cfg.doors[first + k].outputs[slot];
    out += R(IoRefText(cfg, ref, "Out"), k == 0 ? 16 : 18);
    out += IsNc(ref) ? "[NC]" : "    ";
  }
  out += kEol;
}

void InputRow(std::string& out, const CtrlCfg& cfg, int first, int n, int slot) {
  out += R(T(kInLabels[slot]), 16) + ":";
  for (int k = 0; k < n; ++k) {
    const IoRef ref = cfg.doors[first + k].inputs[slot];
    out += R(IoRefText(cfg, ref, "In"), k == 0 ? 15 : 17);
    out += IsNc(ref) ? " [NC]" : "     ";
  }
  out += kEol;
}

void ReaderRow(std::string& out, const CtrlCfg& cfg, int first, int n, int r) {
  out += R(ReaderLabel(r), 16) + ":";
  for (int k = 0; k < n; ++k) {
    out += R(IoRefText(cfg, cfg.doors[first + k].readers[r], "Rd"), k == 0 ? 15 : 17);
    out += "     ";
  }
  out += kEol;
}

void AirlockRow(std::string& out, const CtrlCfg& cfg, int first, int n) {
  out += R(T("Śluzy:"), 17);
  for (int k = 0; k < n; ++k) {
    const size_t w = k == 0 ? 11 : 17;
    const int a = GetAirlock(cfg, first + k);
    if (a >= 0)
      out += R(T("Śluza "), w) + std::to_string(a + 1);
    else
      out += R("--- ", w) + " ";
    out += "    ";
  }
  out += kEol;
}

void PassageBlock(std::string& out, const CtrlCfg& cfg, int first, int n) {
  const std::string rule(22 * n + 16, '-');
  out += kEol;
  for (int k = 0; k < n; ++k)
    out += R(T("Przejście ") + std::to_string(first + k + 1), k == 0 ? 32 : 22);
  out += kEol;
  out += rule + kEol;
  OutputRow(out, cfg, first, n, 0);
  InputRow(out, cfg, first, n, 1);
  out += kEol;
  for (int slot : {0, 2, 3}) InputRow(out, cfg, first, n, slot);
  out += kEol;
  for (int r = 0; r < 4; ++r) ReaderRow(out, cfg, first, n, r);
  out += kEol;
  for (int slot : {1, 2, 3}) OutputRow(out, cfg, first, n, slot);
  out += kEol;
  AirlockRow(out, cfg, first, n);
  out += rule + kEol;
  out += kEol;
}

}  // namespace

const char* OutputLabel(int slot) {
  return slot >= 0 && slot < 4 ? kOutLabels[slot] : "";
}

std::string InputLabel(int slot) {
  if (slot >= 0 && slot < 4) return kInLabels[slot];
  return "Wejście " + std::to_string(slot + 1);
}

std::string ReaderLabel(int reader) {
  return "Czytnik " + std::to_string(reader + 1);
}

std::string DoorTypeText(int type) {
  static const char* const names[5] = {"Otwarte", "Normalne", "Bistabilne", "Astabilne",
                                       "Zablokowane"};
  return type >= 0 && type < 5 ? names[type] : std::to_string(type);
}

std::string HalfSecondsText(int v) {
  return std::to_string(v / 2) + (v % 2 ? ",5" : "") + " s";
}

std::string AirlockText(const CtrlCfg& cfg, int door) {
  const int a = GetAirlock(cfg, door);
  return a >= 0 ? "Śluza " + std::to_string(a + 1) : "---";
}

const char* WorkModeText(int mode) {
  static const char* const names[4] = {"Blokada", "Konfiguracja", "Serwis", "Instalacja"};
  return names[mode & 3];
}

std::string ToCp1250(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out += Cp1250Byte(NextCodePoint(utf8, i));
  return out;
}

std::string FromCp1250(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto b = uint8_t(ch);
    uint32_t cp = b < 0x80 ? b : kCp1250High[b - 0x80];
    if (cp == 0) cp = '?';
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::string SuggestedReportName(const ReportDate& date, std::string separator,
                                const std::string& devName) {
  // The name must stay a file name: a path separator would point into a directory.
  const bool unsafe = separator.empty() || separator == "/" || separator == "\\";
  const std::string_view sep = unsafe ? std::string_view("-") : std::string_view(separator);
  char y[16], m[8], d[8];
  std::snprintf(y, sizeof y, "%04d", date.year);
  std::snprintf(m, sizeof m, "%02d", date.month);
  std::snprintf(d, sizeof d, "%02d", date.day);
  std::string name(y);
  name.append(sep).append(m).append(sep).append(d).append(1, ' ').append(devName);
  return name;
}

std::string PassageTable(const CtrlCfg& cfg) {
  std::string out;
  const int doors = std::clamp<int>(cfg.doorCount, 0, kMaxDoors);
  for (int first = 0; first < doors; first += 4)
    PassageBlock(out, cfg, first, std::min(4, doors - first));
  return out;
}

void WriteReportTo(std::ostream& os, const std::string& ctrlName, const CtrlCfg& cfg,
                   const std::string& location8bit, const ReportDate& date) {
  std::string out;
  out += T("Raport konfiguracji przejść kontrolera") + kEol;
  out += std::string(38, '=') + kEol;
  out += kEol;
  out += R("Kontroler: ", 14) + ctrlName + kEol;
  out += R("Lokalizacja: ", 14) + location8bit + kEol;
  char day[32];
  std::snprintf(day, sizeof day, "%d-%02d-%02d", date.year, date.month, date.day);
  out += R("Data: ", 14) + day + kEol;
  out += kEol;

  // The counts come from the controller; never read past the fixed tables.
  const int listed = std::clamp<int>(cfg.listedCount, 0, kMaxDevs);
  out += R(T("Urządzenia: "), 14);
  for (int k = 0; k < listed; ++k) {
    if (k > 0) {
      out += ", ";
      if (k % 6 == 0) out += std::string(kEol) + std::string(14, ' ');
    }
    const int slot = cfg.order[k];
    if (slot >= 0 && slot < kMaxDevs) out += DevLabel(cfg.devs[slot]);
  }
  out += std::string(".") + kEol;
  out += kEol;

  out += PassageTable(cfg);

  os.write(out.data(), std::streamsize(out.size()));
}
