// feldaro-cli's texts: what restore says before its question, decided on the plan alone.
#include <gtest/gtest.h>

#include <cerrno>

#include "config/devname.h"
#include "restore.h"

namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

}  // namespace

// "Brak zmian" never while a write is planned: a write whose list of changes is empty (only
// the encoding of the assignments differs) says so; with changes and no write, that nothing
// changes; the notes always follow.
TEST(CliText, RestorePlanNeverSaysNoChangeWhileAWriteIsPlanned) {
  Archive arc;
  arc.ctrlId = MakeId(327, 5);
  arc.created = "2026-12-09T12:00:00Z";
  for (const bool write : {false, true})
    for (const bool changed : {false, true}) {
      RestorePlan plan;
      plan.ctrl = MakeId(327, 9);
      plan.write = write;
      plan.notes = {"Uwaga: notatka."};
      if (changed) plan.changes.push_back(CfgChange{2, "Impuls otwarcia rygla", "0 s", "3 s"});
      const std::string text = Joined(PlanText(plan, arc));
      const bool noChange = text.find("Brak zmian") != std::string::npos;
      EXPECT_EQ(noChange, !write && !changed) << text;
      EXPECT_EQ(text.find("Przejścia się nie zmienią: zapis zmieni w K27_00009 tylko sposób "
                          "zakodowania przypisań.") != std::string::npos,
                write && !changed)
          << text;
      EXPECT_EQ(text.find("Zapis nic nie zmieni") != std::string::npos, changed && !write) << text;
      EXPECT_EQ(text.find("Impuls otwarcia rygla: 0 s -> 3 s") != std::string::npos, changed)
          << text;
      EXPECT_EQ(text.substr(text.size() - 16), "Uwaga: notatka.\n") << text;
    }
}

// A file's reason in Polish, the path not repeated.
TEST(CliText, FileReasonNamesThePathOnce) {
  EXPECT_EQ(FileReason("/x/p.json", "/x/p.json: No such file or directory", ENOENT),
            "nie ma takiego pliku ani katalogu");
  EXPECT_EQ(FileReason("/x/p.json", "/x/p.json: to katalog; nic nie zastąpiono", 0),
            "to katalog; nic nie zastąpiono");
  EXPECT_EQ(FileReason("p.json", "nieobsługiwana wersja", 0), "nieobsługiwana wersja");
}
