// Configuration report: the text layout, the suggested file name and the Windows-1250
// conversion. Plain C++: the window and feldaro-cli share it.
#pragma once
#include <ostream>
#include <string>

#include "config/ctrlcfg.h"

struct ReportDate {
  int year;
  int month;  // 1..12
  int day;    // 1..31
};

// UTF-8 to Windows-1250; characters the code page lacks become '?'.
std::string ToCp1250(const std::string& utf8);
// Windows-1250 to UTF-8 (for a terminal); bytes the code page leaves undefined become '?'.
std::string FromCp1250(const std::string& bytes);
// "yyyy/mm/dd NAME" with separator (UTF-8) for '/'; '/', '\' and nothing become '-'.
std::string SuggestedReportName(const ReportDate& date, std::string separator,
                                const std::string& devName);
// The whole report for the controller named ctrlName; location already in Windows-1250.
void WriteReportTo(std::ostream& os, const std::string& ctrlName, const CtrlCfg& cfg,
                   const std::string& location8bit, const ReportDate& date);
// The passage blocks of the report (every passage, in blocks of four), Windows-1250, CR LF.
std::string PassageTable(const CtrlCfg& cfg);

// The texts of a passage's functions and settings (UTF-8), as the report and the passage
// editor name them; the as-built documentation uses the same ones.
const char* OutputLabel(int slot);  // 0-3: "Rygiel", "Przypomnienie", "Alarm", "CCTV"
// 0-3: "Przycisk wyjścia", "Czujnik otwarcia", "Czujka alarmowa", "Sabotaż"; the inputs the
// editor does not show (4-9) are "Wejście 5" to "Wejście 10".
std::string InputLabel(int slot);
std::string ReaderLabel(int reader);           // 0-3: "Czytnik 1" to "Czytnik 4"
std::string DoorTypeText(int type);            // "Otwarte" ... "Zablokowane", else the number
std::string HalfSecondsText(int halfSeconds);  // 7 -> "3,5 s"
std::string AirlockText(const CtrlCfg& cfg, int door);  // "Śluza 1" ... "Śluza 4", "---"
const char* WorkModeText(int mode);  // 0-3: "Blokada", "Konfiguracja", "Serwis", "Instalacja"
// Passage flags by name: "Otwieranie klamką", "Pełny impuls rygla".
inline constexpr const char* kHandleOpeningText = "Otwieranie klamką";
inline constexpr const char* kFullBoltPulseText = "Pełny impuls rygla";
