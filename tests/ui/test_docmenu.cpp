// "Dokumentacja PDF…" in the menu "Plik" against the in-memory network: the selected
// controller read afresh into a PDF; a controller that cannot be read gets an error and no file.
// In the plan window: the whole plan as the window holds it, with no network.
#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "config/devname.h"
#include "planwin.h"
#include "tests/common/fakehost.h"

namespace {

std::string PdfText(const QString& path) {
  std::string out;
  FILE* f = popen(("pdftotext -layout -enc UTF-8 '" + path.toStdString() + "' -").c_str(), "r");
  if (!f) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  pclose(f);
  std::string flat;  // runs of blanks and line ends as one blank
  for (char c : out) {
    const bool blank = c == ' ' || c == '\n' || c == '\f';
    if (!blank || (!flat.empty() && flat.back() != ' ')) flat += blank ? ' ' : c;
  }
  return flat;
}

}  // namespace

TEST(DocMenu, SelectedControllerIsReadAfreshIntoThePdf) {
  GuiWorld w;
  SimDevice& k5 = w.AddController(MakeId(327, 5), 0xC0A8010Au, 3, 2);
  w.Start();
  ASSERT_EQ(w.win->Selected().id, k5.id);
  // The controller changes after the window read it: the document shows what it holds now.
  k5.doors[1].refs[0] = 3;  // passage 2's bolt: the controller's Out4 instead of Out2
  QTemporaryDir dir;
  w.host.savePath = dir.filePath("k5.pdf");
  w.win->DocPdfMnClick();
  EXPECT_TRUE(w.host.errors.empty()) << w.host.errors.front().text.toStdString();
  EXPECT_EQ(w.host.lastFilter, "Dokumentacja PDF (*.pdf)");
  // Named as feldaro-cli names its files.
  EXPECT_EQ(w.host.lastSuggested,
            QDate::currentDate().toString("yyyy-MM-dd") + QStringLiteral("_K27_00005.pdf"));
  ASSERT_EQ(w.host.infos.size(), 1u);
  EXPECT_TRUE(w.host.infos[0].text.startsWith("Zapisano dokumentację K27_00005"));
  const std::string text = PdfText(w.host.savePath);
  EXPECT_NE(text.find("Kontroler K27_00005"), std::string::npos) << text;
  EXPECT_NE(text.find("K27_00005 Out1 → Przejście 1, Rygiel"), std::string::npos) << text;
  EXPECT_NE(text.find("K27_00005 Out4 → Przejście 2, Rygiel"), std::string::npos) << text;
  EXPECT_NE(text.find("K27_00005 Out2 – wolne"), std::string::npos) << text;
  EXPECT_NE(text.find("R01_00105 Rd1 → Przejście 1, Czytnik 1"), std::string::npos) << text;

  // The same file again: replaced only after the toolkit's question; "Nie" writes nothing.
  const QByteArray before = [&] {
    QFile f(w.host.savePath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();
  k5.doors[1].refs[0] = 2;
  w.win->DocPdfMnClick();
  ASSERT_EQ(w.host.replaces.size(), 1u);
  EXPECT_EQ(w.host.replaces[0], w.host.savePath);
  EXPECT_EQ(w.host.infos.size(), 1u);
  QFile f(w.host.savePath);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), before);
}

TEST(DocMenu, ControllerThatCannotBeReadGetsAnErrorAndNoFile) {
  GuiWorld w;
  w.AddController(MakeId(327, 5), 0xC0A8010Au, 3, 1);
  w.AddController(MakeId(327, 6), 0xC0A8010Bu, 1, 1);  // Konfiguracja: no read allowed
  w.Start();
  w.ClickEthLine(1);
  ASSERT_EQ(w.win->Selected().id, MakeId(327, 6));
  QTemporaryDir dir;
  w.host.savePath = dir.filePath("k6.pdf");
  const size_t before = w.host.errors.size();
  w.win->DocPdfMnClick();
  ASSERT_EQ(w.host.errors.size(), before + 1);
  EXPECT_TRUE(w.host.errors.back().text.contains("K27_00006"))
      << w.host.errors.back().text.toStdString();
  EXPECT_FALSE(QFile::exists(w.host.savePath));
  EXPECT_TRUE(w.host.infos.empty());
}

TEST(DocMenu, PlanWindowDocumentsTheWholePlanAsEdited) {
  GuiWorld w;
  w.AddController(MakeId(327, 5), 0xC0A8010Au, 3, 2);
  w.AddController(MakeId(327, 6), 0xC0A8010Bu, 2, 1);
  w.Start();
  w.win->NewPlanMnClick();
  TPlanWin* pw = nullptr;
  for (QWidget* c : w.win->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (c->objectName() == "TPlanWin") pw = static_cast<TPlanWin*>(c);
  ASSERT_NE(pw, nullptr);
  ASSERT_EQ(pw->RowCount(), 2);
  QTemporaryDir dir;
  w.host.savePath = dir.filePath("plan.pdf");
  const size_t sent = w.host.infos.size();
  pw->DocPdfBtnClick();
  EXPECT_TRUE(w.host.errors.empty());
  ASSERT_EQ(w.host.infos.size(), sent + 1);
  // Again over the same file: a question, and "Nie" keeps it.
  pw->DocPdfBtnClick();
  EXPECT_EQ(w.host.replaces.size(), 1u);
  EXPECT_EQ(w.host.infos.size(), sent + 1);
  const std::string text = PdfText(w.host.savePath);
  EXPECT_NE(text.find("Kontrolery: 2"), std::string::npos) << text;
  EXPECT_NE(text.find("Kontroler K27_00005"), std::string::npos);
  EXPECT_NE(text.find("Kontroler K27_00006"), std::string::npos);
  EXPECT_NE(text.find("K27_00006 Out1 → Przejście 1, Rygiel"), std::string::npos) << text;
  pw->close();
  delete pw;
}
