// Report text: exact bytes of the layout, the Windows-1250 conversion, suggested names.
#include <gtest/gtest.h>
#include <iconv.h>

#include <sstream>
#include <vector>

#include "example_cfg.h"
#include "report.h"

namespace {

std::string Report(const CtrlCfg& cfg, const std::string& location = "Budynek B, parter",
                   QDate date = QDate(2024, 3, 5), const std::string& name = "K01_00123") {
  std::ostringstream os;
  WriteReportTo(os, name, cfg, location, date);
  return os.str();
}

// Splits at CR LF; fails the test when a line feed comes without its carriage return.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    EXPECT_TRUE(i > start && text[i - 1] == '\r') << "bare LF at byte " << i;
    if (i == start) return out;
    out.push_back(text.substr(start, i - 1 - start));
    start = i + 1;
  }
  EXPECT_EQ(start, text.size()) << "the last line lacks its CR LF";
  return out;
}

size_t Find(const std::vector<std::string>& lines, const std::string& prefix, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i].compare(0, prefix.size(), prefix) == 0) return i;
  return std::string::npos;
}

TEST(ReportLayout, WorkedExampleByteForByte) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  const std::string got = Report(cfg);
  const std::string want = ExampleReport();
  EXPECT_EQ(got.size(), want.size());
  EXPECT_EQ(got, want);
}

TEST(ReportLayout, EmptyLocationEndsAfterTheLabelsBlank) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  const auto lines = Lines(Report(cfg, ""));
  ASSERT_GT(lines.size(), 5u);
  EXPECT_EQ(lines[4], " Lokalizacja: ");
  EXPECT_EQ(Report(cfg, ""), ExampleReport(""));
}

TEST(ReportLayout, LocationBytesArePassedThrough) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  const auto lines = Lines(Report(cfg, "Pi\xEAtro 2, \xBF\xF3\xB3ty pok\xF3j"));
  EXPECT_EQ(lines[4], " Lokalizacja: Pi\xEAtro 2, \xBF\xF3\xB3ty pok\xF3j");
}

TEST(ReportLayout, HeaderFieldsAreRightAlignedInFourteen) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  const auto lines = Lines(Report(cfg, "x", QDate(2024, 3, 5), "R05_00042"));
  EXPECT_EQ(lines[0], "Raport konfiguracji przej\x9C\xE6 kontrolera");
  EXPECT_EQ(lines[0].size(), 38u);
  EXPECT_EQ(lines[1], std::string(38, '='));
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "   Kontroler: R05_00042");
  EXPECT_EQ(lines[5].substr(0, 14), "        Data: ");
}

TEST(ReportLayout, SixLabelsPerDeviceLine) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  for (int i = 0; i < 7; ++i) AddDev(cfg, MakeId(1, 10 + i), i);
  const auto lines = Lines(Report(cfg));
  const size_t at = Find(lines,
                         "  Urz\xB9"
                         "dzenia: ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(lines[at],
            "  Urz\xB9"
            "dzenia: R01_00010/A0, R01_00011/A1, R01_00012/A2, R01_00013/A3, R01_00014/A4, "
            "R01_00015/A5, ");
  EXPECT_EQ(lines[at + 1], std::string(14, ' ') + "R01_00016/A6.");
  EXPECT_EQ(lines[at + 2], "");
}

TEST(ReportLayout, ExactlySixLabelsStayOnOneLine) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  for (int i = 0; i < 6; ++i) AddDev(cfg, MakeId(1, 10 + i), 1);
  const auto lines = Lines(Report(cfg));
  const size_t at = Find(lines, "  Urz\xB9");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(lines[at].substr(lines[at].size() - 13), "R01_00015/A1.");
  EXPECT_EQ(lines[at + 1], "");
}

TEST(ReportLayout, ThirteenLabelsMakeThreeLines) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  for (int i = 0; i < 13; ++i) AddDev(cfg, MakeId(201, 100 + i), 2);
  const auto lines = Lines(Report(cfg));
  const size_t at = Find(lines, "  Urz\xB9");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(lines[at + 1],
            std::string(14, ' ') +
                "Z01_00106/A2, Z01_00107/A2, Z01_00108/A2, Z01_00109/A2, Z01_00110/A2, "
                "Z01_00111/A2, ");
  EXPECT_EQ(lines[at + 2], std::string(14, ' ') + "Z01_00112/A2.");
}

TEST(ReportLayout, DevicesFollowTheDisplayOrderNotTheSlots) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  AddDev(cfg, MakeId(327, 5), 1);
  AddDev(cfg, MakeId(1, 9), 1);
  AddDev(cfg, MakeId(1, 2), 1);
  std::swap(cfg.order[1], cfg.order[2]);
  const auto lines = Lines(Report(cfg));
  EXPECT_NE(Find(lines,
                 "  Urz\xB9"
                 "dzenia: K27_00005/A1, R01_00002/A1, R01_00009/A1."),
            std::string::npos);
}

TEST(ReportLayout, NoDeviceAndNoPassage) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  const std::string text = Report(cfg);
  const auto lines = Lines(text);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[7],
            "  Urz\xB9"
            "dzenia: .");
  EXPECT_EQ(lines[8], "");
  EXPECT_EQ(text.substr(text.size() - 5), ".\r\n\r\n");
}

// Lengths every line of a block of n passages must have.
void ExpectBlock(const std::vector<std::string>& lines, size_t head, int firstDoor, int n) {
  const size_t rule = 22 * n + 16;
  ASSERT_LT(head + 20, lines.size());
  EXPECT_EQ(lines[head - 1], "");
  EXPECT_EQ(lines[head].size(), size_t(22 * n + 10));
  std::string heading;
  for (int k = 0; k < n; ++k) {
    const std::string t =
        "Przej\x9C"
        "cie " +
        std::to_string(firstDoor + k + 1);
    heading += std::string((k == 0 ? 32 : 22) - t.size(), ' ') + t;
  }
  EXPECT_EQ(lines[head], heading);
  EXPECT_EQ(lines[head + 1], std::string(rule, '-'));
  // Rows of the block, with empty separator lines at fixed places.
  const int kinds[] = {0, 0, -1, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, -1, 1};
  for (int i = 0; i < 17; ++i) {
    const std::string& l = lines[head + 2 + i];
    if (kinds[i] < 0)
      EXPECT_EQ(l, "") << "line " << head + 2 + i;
    else
      EXPECT_EQ(l.size(), size_t(22 * n + (kinds[i] ? 11 : 15))) << "line " << head + 2 + i;
  }
  EXPECT_EQ(lines[head + 19], std::string(rule, '-'));
  EXPECT_EQ(lines[head + 20], "");
}

TEST(ReportLayout, FivePassagesMakeTwoBlocks) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 5;
  cfg.doors[4].outputs[0] = Ref(1, 1);
  const auto lines = Lines(Report(cfg));
  const size_t first = Find(lines, std::string(21, ' ') + "Przej\x9C");
  ASSERT_EQ(first, 10u);
  ExpectBlock(lines, first, 0, 4);
  EXPECT_EQ(lines[first + 1].size(), 104u);
  const size_t second = first + 22;
  ExpectBlock(lines, second, 4, 1);
  EXPECT_EQ(lines[second].size(), 32u);
  EXPECT_EQ(lines[second + 1].size(), 38u);
  // Two empty lines between the first block's closing rule and the second heading.
  EXPECT_EQ(lines[second - 3], std::string(104, '-'));
  EXPECT_EQ(lines[second - 2], "");
  EXPECT_EQ(lines[second - 1], "");
  EXPECT_EQ(lines[second + 2], "          Rygiel:  R01_00456:Out2    ");
  EXPECT_EQ(lines.size(), second + 21);
}

TEST(ReportLayout, SixteenPassagesMakeFourFullBlocks) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 16;
  const auto lines = Lines(Report(cfg));
  ASSERT_EQ(lines.size(), 9u + 4 * 22);
  for (int b = 0; b < 4; ++b) ExpectBlock(lines, 10 + 22 * b, 4 * b, 4);
}

TEST(ReportLayout, PassageWithNothingAssignedHasEveryCell) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 3;  // passage 3 is all unassigned
  const auto lines = Lines(Report(cfg));
  const size_t head = Find(lines, std::string(21, ' ') + "Przej\x9C");
  ASSERT_NE(head, std::string::npos);
  ExpectBlock(lines, head, 0, 3);
  const std::string outEmpty = std::string(4, ' ') + "     ---      " + "    ";
  const std::string inEmpty = std::string(4, ' ') + "     ---     " + "     ";
  for (int i = 2; i <= 18; ++i) {
    const std::string& l = lines[head + i];
    if (l.empty()) continue;
    const std::string tail = l.substr(l.size() - 22);
    if (i == 18) {
      EXPECT_EQ(tail, std::string(13, ' ') + "---" + std::string(6, ' ')) << l;
    } else if (i == 2 || (i >= 14 && i <= 16)) {
      EXPECT_EQ(tail, outEmpty) << l;
    } else {
      EXPECT_EQ(tail, inEmpty) << l;
    }
  }
}

TEST(ReportLayout, FirstPassageUnassignedInTheFirstColumn) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  AddDev(cfg, MakeId(301, 1), 1);
  cfg.doorCount = 1;
  const auto lines = Lines(Report(cfg));
  const size_t head = Find(lines, std::string(21, ' ') + "Przej\x9C");
  ASSERT_NE(head, std::string::npos);
  EXPECT_EQ(lines[head + 2], "          Rygiel:       ---          ");
  EXPECT_EQ(lines[head + 3], "Czujnik otwarcia:       ---          ");
  EXPECT_EQ(lines[head + 10], "       Czytnik 2:       ---          ");
  EXPECT_EQ(lines[head + 18],
            "           \x8C"
            "luzy:       ---      ");
  EXPECT_EQ(lines.size(), head + 21);
}

TEST(ReportLayout, NcSuffixes) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 1;
  DoorCfg& d = cfg.doors[0];
  d.inputs[2] = Ref(0, 3, true);    // alarm sensor In4, NC
  d.inputs[3] = Ref(0, 2, false);   // tamper In3, no NC
  d.outputs[1] = Ref(0, 1, false);  // reminder Out2
  d.outputs[3] = Ref(1, 0, true);   // CCTV R01 Out1, NC
  d.readers[1] = Ref(1, 1) | 0x80;  // a reader never shows NC
  const auto lines = Lines(Report(cfg));
  EXPECT_NE(Find(lines, " Czujka alarmowa:  K01_00123:In4 [NC]"), std::string::npos);
  EXPECT_NE(Find(lines, "         Sabota\xBF:  K01_00123:In3     "), std::string::npos);
  EXPECT_NE(Find(lines, "   Przypomnienie:  K01_00123:Out2    "), std::string::npos);
  EXPECT_NE(Find(lines, "            CCTV:  R01_00456:Out1[NC]"), std::string::npos);
  EXPECT_NE(Find(lines, "       Czytnik 2:  R01_00456:Rd2     "), std::string::npos);
}

TEST(ReportLayout, UnassignedReferenceNeverShowsNc) {
  // 0xFFFF has bit 7 set; it still means "nothing" and gets the plain blanks.
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 2;
  const std::string text = Report(cfg);
  const auto lines = Lines(text);
  const size_t sab = Find(lines, "         Sabota\xBF:");
  ASSERT_NE(sab, std::string::npos);
  EXPECT_EQ(lines[sab], "         Sabota\xBF:       ---                   ---          ");
  size_t nc = 0;
  for (size_t p = text.find("[NC]"); p != std::string::npos; p = text.find("[NC]", p + 1)) ++nc;
  EXPECT_EQ(nc, 3u);  // In2 of passage 1 and the shared alarm output in both passages
}

TEST(ReportLayout, TwelfthOutputFitsTheFirstColumn) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.devs[0].outputCount = 15;
  cfg.doors[0].outputs[0] = Ref(0, 11);
  cfg.doors[1].outputs[0] = Ref(0, 14, true);
  const auto lines = Lines(Report(cfg));
  EXPECT_NE(Find(lines, "          Rygiel: K01_00123:Out12       K01_00123:Out15[NC]"),
            std::string::npos);
  const size_t at = Find(lines, "          Rygiel:");
  EXPECT_EQ(lines[at].size(), 22u * 2 + 15);
}

TEST(ReportLayout, AirlockNumbers) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 4;
  cfg.doors[0].params[kParFlags] = kFlagAirlock | 3;
  cfg.doors[1].params[kParFlags] = 2;  // number without the valid flag: no airlock
  cfg.doors[2].params[kParFlags] = kFlagAirlock | 1 | kFlagHandle;
  const auto lines = Lines(Report(cfg));
  const size_t at = Find(lines,
                         "           \x8C"
                         "luzy:");
  ASSERT_NE(at, std::string::npos);
  const std::string gap(17, ' ');
  EXPECT_EQ(lines[at],
            "           \x8C"
            "luzy:     \x8C"
            "luza 4" +
                gap + "---" + gap + "\x8C" + "luza 2" + gap + "---" + std::string(6, ' '));
}

TEST(ReportLayout, DatesArePaddedAndAlwaysUseHyphens) {
  CtrlCfg cfg;
  EmptyCfg(cfg);
  EXPECT_EQ(Lines(Report(cfg, "", QDate(2024, 1, 9)))[5], "        Data: 2024-01-09");
  EXPECT_EQ(Lines(Report(cfg, "", QDate(2031, 12, 31)))[5], "        Data: 2031-12-31");
  EXPECT_EQ(Lines(Report(cfg, "", QDate(2025, 10, 1)))[5], "        Data: 2025-10-01");
  EXPECT_EQ(Lines(Report(cfg, "", QDate(987, 7, 4)))[5], "        Data: 987-07-04");
}

TEST(ReportLayout, CountsBeyondTheTablesAreClamped) {
  CtrlCfg cfg;
  ExampleCfg(cfg);
  cfg.doorCount = 40;
  const auto lines = Lines(Report(cfg));
  EXPECT_EQ(lines.size(), 9u + 4 * 22);
}

TEST(SuggestedName, FollowsTheLocaleSeparator) {
  const QDate d(2024, 3, 5);
  EXPECT_EQ(SuggestedReportName(d, '-', "K01_00123"), "2024-03-05 K01_00123");
  EXPECT_EQ(SuggestedReportName(d, '.', "K01_00123"), "2024.03.05 K01_00123");
  EXPECT_EQ(SuggestedReportName(QDate(2023, 11, 28), '.', "K27_01234"), "2023.11.28 K27_01234");
}

TEST(SuggestedName, PathSeparatorsBecomeHyphens) {
  const QDate d(2024, 3, 5);
  EXPECT_EQ(SuggestedReportName(d, '/', "K01_00123"), "2024-03-05 K01_00123");
  EXPECT_EQ(SuggestedReportName(d, '\\', "K01_00123"), "2024-03-05 K01_00123");
  EXPECT_FALSE(SuggestedReportName(d, '/', "K01_00123").contains('/'));
}

TEST(SuggestedName, SeparatorOfAShortDateFormat) {
  EXPECT_EQ(DateSeparator("dd.MM.yyyy"), QChar('.'));
  EXPECT_EQ(DateSeparator("M/d/yy"), QChar('/'));
  EXPECT_EQ(DateSeparator("yyyy-MM-dd"), QChar('-'));
  EXPECT_EQ(DateSeparator("yyyyMMdd"), QChar('-'));
  EXPECT_EQ(
      DateSeparator(QLocale(QLocale::Polish, QLocale::Poland).dateFormat(QLocale::ShortFormat)),
      QChar('.'));
}

TEST(Cp1250, PolishLetters) {
  EXPECT_EQ(ToCp1250("ąćęłńóśźż"), "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF");
  EXPECT_EQ(ToCp1250("ĄĆĘŁŃÓŚŹŻ"), "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF");
  EXPECT_EQ(ToCp1250("Budynek B, parter"), "Budynek B, parter");
}

TEST(Cp1250, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(ToCp1250("€"), "\x80");
  EXPECT_EQ(ToCp1250("漢"), "?");
  EXPECT_EQ(ToCp1250("a漢b€"), "a?b\x80");
  EXPECT_EQ(ToCp1250("\xF0\x9F\x98\x80"), "?");  // an emoji: one character, one mark
  EXPECT_EQ(ToCp1250("ñ"), "?");                 // Latin-1 letter missing from the code page
}

TEST(Cp1250, MalformedUtf8DoesNotSwallowText) {
  EXPECT_EQ(ToCp1250("a\xC5"), "a?");
  EXPECT_EQ(ToCp1250("\xC5z"), "?z");
  EXPECT_EQ(ToCp1250("\xC0\xAF"), "?");        // overlong '/': one bad sequence, one mark
  EXPECT_EQ(ToCp1250("\xED\xA0\x80x"), "?x");  // a lone surrogate
}

// Every byte 0x80-0xFF that the C library's converter defines must come back from its
// UTF-8 form; the five undefined bytes have no character that could map to them.
TEST(Cp1250, AgreesWithTheSystemConverterOnTheWholeUpperHalf) {
  iconv_t cd = iconv_open("UTF-8", "CP1250");
  ASSERT_NE(cd, (iconv_t)-1) << "iconv without CP1250";
  int defined = 0;
  for (int b = 0x80; b <= 0xFF; ++b) {
    char in[1] = {char(b)};
    char out[8];
    char* ip = in;
    char* op = out;
    size_t il = 1, ol = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1)) continue;
    ++defined;
    EXPECT_EQ(ToCp1250(std::string(out, op)), std::string(1, char(b))) << "byte " << b;
  }
  iconv_close(cd);
  EXPECT_EQ(defined, 123);
}

}  // namespace
