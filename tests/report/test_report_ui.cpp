// The "Raport" flow against the fake host, the location dialog, the help window and the
// trace window form, all offscreen.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextLayout>
#include <QTextList>
#include <QTextTable>
#include <QTimer>
#include <csignal>
#include <functional>

#include "example_cfg.h"
#include "report.h"
#include "tests/common/fakehost.h"
#include "tracewin.h"

namespace {

std::string ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return "<missing>";
  return f.readAll().toStdString();
}

void WriteFile(const QString& path, const std::string& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes.data(), qint64(bytes.size()));
}

std::string Today() {
  return QDate::currentDate().toString("yyyy-MM-dd").toStdString();
}

void SendKey(QWidget* to, int key, const QString& text = QString()) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(to, &release);
}

class ReportFlow : public ::testing::Test {
 protected:
  GuiWorld w;
  QTemporaryDir dir;
  int depthInDialog = -1;
  QString textAtOpen;

  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    w.Start();
    ASSERT_EQ(w.win->Devs().count, 0);  // no device on the in-memory net
    UdpDevSet& set = w.win->Devs();
    set.dev[0] = UdpDev(MakeId(301, 123), 0x0A000002, 2);
    set.count = 1;
    w.win->SetSelected(set.dev[0].id);
    ExampleCfg(w.win->Cfg);
    w.win->RebuildDoorTabs();  // shown as a load shows it
  }

  // The user types text into the location dialog and closes it with the given result.
  void Answer(const QString& text, int result) {
    w.host.onDialog = [this, text, result](QDialog* d) {
      EXPECT_EQ(d, static_cast<QDialog*>(LokalizDlg));
      depthInDialog = w.win->modalDepth;
      textAtOpen = LokalizDlg->LokEdit->text();
      LokalizDlg->LokEdit->setText(text);
      return result;
    };
  }

  QString Path(const QString& name) const { return dir.filePath(name); }
  QStringList Files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }
};

TEST_F(ReportFlow, WritesTheLoadedControllerWithTodaysDate) {
  Answer("Budynek B, parter", QDialog::Accepted);
  w.host.savePath = Path("raport.txt");
  w.win->RapCfgBtnClick();
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.host.saveCalls, 1);
  EXPECT_EQ(w.host.lastFilter, "Konfiguracja kontrolera (*.txt)");
  EXPECT_EQ(w.host.lastSuffix, "txt");
  EXPECT_EQ(depthInDialog, 1);  // the dialog counts as a modal window of the tool
  EXPECT_EQ(w.win->modalDepth, 0);
  EXPECT_EQ(ReadAll(Path("raport.txt")), ExampleReport("Budynek B, parter", Today()));
  EXPECT_EQ(Files(), QStringList{"raport.txt"});  // no temporary left behind
}

TEST_F(ReportFlow, FirstReportOfTheRunHasAnEmptyLocation) {
  w.host.onDialog = [this](QDialog*) {
    textAtOpen = LokalizDlg->LokEdit->text();
    return int(QDialog::Accepted);
  };
  w.host.savePath = Path("pusty.txt");
  w.win->RapCfgBtnClick();
  EXPECT_EQ(textAtOpen, "");
  EXPECT_EQ(ReadAll(Path("pusty.txt")), ExampleReport("", Today()));
}

TEST_F(ReportFlow, LocationIsWrittenInTheCodePage) {
  Answer("Zażółć €漢", QDialog::Accepted);
  w.host.savePath = Path("cp.txt");
  w.win->RapCfgBtnClick();
  EXPECT_EQ(ReadAll(Path("cp.txt")), ExampleReport("Za\xBF\xF3\xB3\xE6 \x80?", Today()));
}

TEST_F(ReportFlow, SuggestedNameFollowsTheLocale) {
  const QLocale old;
  Answer("", QDialog::Rejected);
  struct Case {
    QLocale locale;
    QString sep;
  };
  const Case cases[] = {{QLocale(QLocale::Polish, QLocale::Poland), "."},
                        {QLocale(QLocale::English, QLocale::UnitedStates), "-"},  // "/"
                        {QLocale(QLocale::Swedish, QLocale::Sweden), "-"}};
  for (const Case& c : cases) {
    QLocale::setDefault(c.locale);
    w.host.lastSuggested.clear();
    Answer("", QDialog::Accepted);
    w.host.savePath.clear();
    w.win->RapCfgBtnClick();
    EXPECT_EQ(
        w.host.lastSuggested,
        QDate::currentDate().toString("yyyy'" + c.sep + "'MM'" + c.sep + "'dd") + " K01_00123")
        << c.locale.name().toStdString();
  }
  QLocale::setDefault(old);
}

TEST_F(ReportFlow, SuggestedNameIsTheSelectedController) {
  UdpDevSet& set = w.win->Devs();
  set.dev[1] = UdpDev(MakeId(327, 1234), 0x0A000003, 3);
  set.count = 2;
  w.win->SetSelected(set.dev[1].id);
  w.win->RebuildDoorTabs();
  Answer("", QDialog::Accepted);
  w.host.savePath = Path("k27.txt");
  w.win->RapCfgBtnClick();
  EXPECT_TRUE(w.host.lastSuggested.endsWith(" K27_01234"));
  const std::string text = ReadAll(Path("k27.txt"));
  EXPECT_NE(text.find("   Kontroler: K27_01234\r\n"), std::string::npos);
}

TEST_F(ReportFlow, CancelledLocationWritesNothingAndKeepsTheText) {
  Answer("Hala 3", QDialog::Rejected);
  w.host.savePath = Path("nie.txt");
  w.win->RapCfgBtnClick();
  EXPECT_EQ(w.host.saveCalls, 0);
  EXPECT_TRUE(Files().isEmpty());
  EXPECT_EQ(LokalizDlg->LokEdit->text(), "Hala 3");
  EXPECT_EQ(w.win->modalDepth, 0);
  // The next report offers the cancelled text again.
  Answer("Hala 4", QDialog::Accepted);
  w.win->RapCfgBtnClick();
  EXPECT_EQ(textAtOpen, "Hala 3");
  EXPECT_EQ(ReadAll(Path("nie.txt")), ExampleReport("Hala 4", Today()));
}

TEST_F(ReportFlow, CancelledSaveWritesNothingAndKeepsTheText) {
  Answer("Portiernia", QDialog::Accepted);
  w.host.savePath.clear();
  w.win->RapCfgBtnClick();
  EXPECT_EQ(w.host.saveCalls, 1);
  EXPECT_TRUE(Files().isEmpty());
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(LokalizDlg->LokEdit->text(), "Portiernia");
}

TEST_F(ReportFlow, NoDeviceDoesNothing) {
  w.win->Devs().count = 0;
  w.win->SetSelected(0);
  Answer("x", QDialog::Accepted);
  w.host.savePath = Path("x.txt");
  w.win->RapCfgBtnClick();
  EXPECT_TRUE(w.host.dialogs.empty());
  EXPECT_EQ(w.host.saveCalls, 0);
  EXPECT_TRUE(Files().isEmpty());
}

TEST_F(ReportFlow, ReplacesAnEarlierReportWithoutAsking) {
  WriteFile(Path("r.txt"), "stary raport, dłuższy niż nowy? nie, ale inny\r\n");
  Answer("Budynek B, parter", QDialog::Accepted);
  w.host.savePath = Path("r.txt");
  w.win->RapCfgBtnClick();
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(ReadAll(Path("r.txt")), ExampleReport("Budynek B, parter", Today()));
}

TEST_F(ReportFlow, MissingDirectoryShowsTheErrorWithThePath) {
  Answer("x", QDialog::Accepted);
  const QString path = Path("brak/katalogu/r.txt");
  w.host.savePath = path;
  w.win->RapCfgBtnClick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_EQ(w.host.errors[0].caption, "Błąd");
  EXPECT_TRUE(w.host.errors[0].text.contains(path)) << w.host.errors[0].text.toStdString();
  EXPECT_FALSE(QFile::exists(path));
  EXPECT_EQ(LokalizDlg->LokEdit->text(), "x");
}

// Runs f with the effective user "nobody" when the tests run as root, whom directory
// permissions would not stop.
template <class F>
void AsUnprivileged(F f) {
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(seteuid(65534), 0);
  }
  f();
  if (root) {
    ASSERT_EQ(seteuid(0), 0);
  }
}

TEST_F(ReportFlow, ReadOnlyDirectoryShowsTheErrorAndKeepsTheEarlierFile) {
  const QString ro = Path("ro");
  ASSERT_TRUE(QDir().mkdir(ro));
  const QString path = ro + "/r.txt";
  WriteFile(path, "poprzedni raport\r\n");
  ASSERT_TRUE(QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                            QFileDevice::ReadOther | QFileDevice::ExeOther |
                                            QFileDevice::ReadGroup | QFileDevice::ExeGroup));
  Answer("x", QDialog::Accepted);
  w.host.savePath = path;
  AsUnprivileged([&] { w.win->RapCfgBtnClick(); });
  QFile::setPermissions(ro,
                        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains(path)) << w.host.errors[0].text.toStdString();
  EXPECT_EQ(ReadAll(path), "poprzedni raport\r\n");
  EXPECT_EQ(QDir(ro).entryList(QDir::Files | QDir::Hidden), QStringList{"r.txt"});
}

// A write that fails half-way (here: the file size limit, as a full disk would) must not
// leave a truncated report where the earlier one was.
TEST_F(ReportFlow, WriteFailingHalfWayKeepsTheEarlierFile) {
  const QString path = Path("r.txt");
  WriteFile(path, "poprzedni raport\r\n");
  Answer("x", QDialog::Accepted);
  w.host.savePath = path;
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 200;  // the report is well over a kilobyte
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  w.win->RapCfgBtnClick();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_TRUE(w.host.errors[0].text.contains(path)) << w.host.errors[0].text.toStdString();
  EXPECT_EQ(ReadAll(path), "poprzedni raport\r\n");
  EXPECT_EQ(Files(), QStringList{"r.txt"});
}

TEST_F(ReportFlow, WriteReportReportsAFailure) {
  EXPECT_THROW(w.win->WriteReport(Path("nie/ma/r.txt"), ""), std::runtime_error);
  EXPECT_NO_THROW(w.win->WriteReport(Path("jest.txt"), "Hala"));
  EXPECT_EQ(ReadAll(Path("jest.txt")), ExampleReport("Hala", Today()));
}

// ---- Save dialog ----

// QtUiHost::SaveFileName with the toolkit's own dialog (no native one offscreen): the name in
// the dialog is replaced by `typed` unless that is null, then Enter accepts it.
QString SaveThroughTheDialog(const QString& start, const QString& typed) {
  QtUiHost host;
  int tries = 0;
  std::function<void()> answer = [&] {
    auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dlg) {
      if (++tries < 500) QTimer::singleShot(10, answer);
      return;
    }
    auto* edit = dlg->findChild<QLineEdit*>("fileNameEdit");
    if (!edit) {
      dlg->reject();
      return;
    }
    if (!typed.isNull()) edit->setText(typed);
    QTest::keyClick(edit, Qt::Key_Return);
  };
  QTimer::singleShot(0, answer);
  return host.SaveFileName(nullptr, start, "Konfiguracja kontrolera (*.txt)", "txt");
}

TEST(SaveDialog, ReportNameEndsInTxtWhateverTheLocalesDateSeparator) {
  EnsureQtApp();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  auto s = [](const QString& q) { return q.toStdString(); };
  for (QChar sep : {QChar('.'), QChar('-'), QChar('/')}) {
    const QString start = dir.filePath(SuggestedReportName(QDate(2024, 3, 5), sep, "K01_00123"));
    EXPECT_EQ(s(SaveThroughTheDialog(start, QString())), s(start + ".txt")) << s(sep);
    EXPECT_EQ(s(WithDefaultSuffix(start + ".txt", "txt")), s(start + ".txt"));
  }
  // Typed names: the user's own extension stays, a bare or dotted name gets ".txt".
  const QString start = dir.filePath("2024.03.05 K01_00123");
  EXPECT_EQ(s(SaveThroughTheDialog(start, "raport.")), s(dir.filePath("raport.txt")));
  EXPECT_EQ(s(SaveThroughTheDialog(start, "raport")), s(dir.filePath("raport.txt")));
  EXPECT_EQ(s(SaveThroughTheDialog(start, "raport.log")), s(dir.filePath("raport.log")));
  EXPECT_EQ(s(WithDefaultSuffix("/x/hala 3.TXT", "txt")), "/x/hala 3.TXT");
  EXPECT_EQ(s(WithDefaultSuffix("/x/v1.2", "txt")), "/x/v1.2.txt");
  EXPECT_EQ(s(WithDefaultSuffix("", "txt")), "");
}

// ---- Location dialog ----

class LocationDialog : public ::testing::Test {
 protected:
  struct App {
    App() { EnsureQtApp(); }
  } app;  // before the dialog: widgets need the application object
  TLokalizDlg dlg;
};

TEST_F(LocationDialog, Form) {
  EXPECT_EQ(dlg.windowTitle(), "Lokalizacja");
  EXPECT_EQ(dlg.size(), QSize(486, 118));
  EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(dlg.Label2->text(), "Opis lokalizacji kontrolera:");
  EXPECT_EQ(dlg.Label2->pos(), QPoint(16, 28));
  // At the usual font the edit sits at 152; a wider label only moves its left edge.
  EXPECT_GE(dlg.LokEdit->x(), 152);
  EXPECT_EQ(dlg.LokEdit->y(), 24);
  EXPECT_EQ(dlg.LokEdit->height(), 21);
  EXPECT_EQ(dlg.LokEdit->geometry().right(), 152 + 297 - 1);
  EXPECT_LT(dlg.Label2->geometry().right(), dlg.LokEdit->x());
  EXPECT_EQ(dlg.CancelBtn->geometry(), QRect(116, 72, 75, 25));
  EXPECT_EQ(dlg.OKBtn->geometry(), QRect(284, 72, 75, 25));
  EXPECT_EQ(dlg.OKBtn->text(), "Zapisz");
  EXPECT_EQ(dlg.CancelBtn->text(), "Anuluj");
  EXPECT_TRUE(dlg.OKBtn->isDefault());
  EXPECT_LT(dlg.CancelBtn->x(), dlg.OKBtn->x());
  EXPECT_EQ(dlg.LokEdit->maxLength(), 80);
  EXPECT_EQ(dlg.LokEdit->text(), "");
}

TEST_F(LocationDialog, TabOrderStartsAtTheEdit) {
  std::vector<QWidget*> order;
  QWidget* w = dlg.LokEdit;
  do {
    if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
    w = w->nextInFocusChain();
  } while (w != dlg.LokEdit && order.size() < 10);
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order[0], dlg.LokEdit);
  EXPECT_EQ(order[1], dlg.OKBtn);
  EXPECT_EQ(order[2], dlg.CancelBtn);
  dlg.show();
  EXPECT_EQ(dlg.focusWidget(), dlg.LokEdit);
  dlg.hide();
}

TEST_F(LocationDialog, NeverHoldsMoreThanEightyCharacters) {
  dlg.LokEdit->setText(QString(100, 'a'));
  EXPECT_EQ(dlg.LokEdit->text().size(), 80);
  dlg.LokEdit->clear();
  dlg.LokEdit->insert(QString(79, 'b'));
  SendKey(dlg.LokEdit, Qt::Key_C, "c");
  SendKey(dlg.LokEdit, Qt::Key_D, "d");
  EXPECT_EQ(dlg.LokEdit->text(), QString(79, 'b') + "c");
  dlg.LokEdit->insert(QString(10, 'e'));  // a paste is cut to what fits
  EXPECT_EQ(dlg.LokEdit->text().size(), 80);
}

TEST_F(LocationDialog, EnterConfirms) {
  dlg.show();
  dlg.LokEdit->setText("Hala");
  SendKey(dlg.LokEdit, Qt::Key_Return);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.LokEdit->text(), "Hala");
}

TEST_F(LocationDialog, EnterOnAnulujCancelsAndElsewhereSaves) {
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), dlg.CancelBtn);
  QTest::keyClick(dlg.CancelBtn, Qt::Key_Return);
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_FALSE(dlg.isVisible());
  // Back on the edit, Enter saves again; so does Enter on "Zapisz".
  for (QWidget* at : {static_cast<QWidget*>(dlg.LokEdit), static_cast<QWidget*>(dlg.OKBtn)}) {
    dlg.setResult(QDialog::Rejected);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    at->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), at);
    QTest::keyClick(at, Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted) << at->objectName().toStdString();
    EXPECT_TRUE(dlg.OKBtn->isDefault());
  }
}

TEST_F(LocationDialog, EscapeCancelAndCloseBoxReject) {
  dlg.show();
  SendKey(dlg.LokEdit, Qt::Key_Escape);
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_FALSE(dlg.isVisible());

  dlg.setResult(QDialog::Accepted);
  dlg.show();
  dlg.CancelBtn->click();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);

  dlg.setResult(QDialog::Accepted);
  dlg.show();
  dlg.close();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);

  dlg.show();
  dlg.OKBtn->click();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(LocationDialog, FocusSelectsTheWholeTextEvenWhenAMouseClickGaveIt) {
  dlg.show();
  dlg.LokEdit->setText("Budynek A, piętro 1");
  dlg.LokEdit->deselect();
  QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
  QApplication::sendEvent(dlg.LokEdit, &focus);
  // The press that gave the focus places the cursor and would clear a selection made now.
  const QPointF at(20, 10);
  QMouseEvent press(QEvent::MouseButtonPress, at, dlg.LokEdit->mapToGlobal(at), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(dlg.LokEdit, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, dlg.LokEdit->mapToGlobal(at), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(dlg.LokEdit, &release);
  EXPECT_FALSE(dlg.LokEdit->hasSelectedText());
  QApplication::processEvents();
  EXPECT_EQ(dlg.LokEdit->selectedText(), "Budynek A, piętro 1");
  dlg.hide();
}

// ---- Help window ----

const QStringList kPage0 = {"1 Tryby serwisowe kontrolera", "2 Instalacja", "2 Serwis",
                            "2 Konfiguracja", "1 Inne urządzenia"};
const QStringList kPage1 = {"1 Okno wybranego kontrolera", "1 Lista urządzeń magistrali QuorinBUS",
                            "2 Usuwanie urządzeń trwale odłączonych",
                            "2 Wymiana uszkodzonego urządzenia"};
const QStringList kPage2 = {"1 Koncepcja konfigurowalnych połączeń",
                            "1 Konfiguracja połączeń",
                            "2 Wyjścia",
                            "2 Wejścia",
                            "2 Czytniki",
                            "2 Śluzy",
                            "2 Zapis konfiguracji",
                            "2 Raport",
                            "1 Testowanie instalacji",
                            "2 Flagi",
                            "2 Rodzaj przejścia",
                            "2 Czasy",
                            "2 Wyjścia CCTV"};
const QStringList* const kPages[3] = {&kPage0, &kPage1, &kPage2};
const char* const kResources[3] = {":/help/ethernet.html", ":/help/kontroler.html",
                                   ":/help/przejscia.html"};

class HelpWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    LoadedPage = -1;
    help = std::make_unique<THelpWin>();
  }
  void TearDown() override { LoadedPage = -1; }
  std::unique_ptr<THelpWin> help;

  QScrollBar* Bar() { return help->HelpEdit->verticalScrollBar(); }
  // Headings as the view holds them: level and text of every heading block.
  QStringList ShownHeadings() {
    QStringList out;
    for (QTextBlock b = help->HelpEdit->document()->begin(); b.isValid(); b = b.next()) {
      const int level = b.blockFormat().headingLevel();
      if (level > 0) out << QString::number(level) + " " + b.text();
    }
    return out;
  }
};

TEST_F(HelpWindow, Form) {
  EXPECT_EQ(help->size(), QSize(862, 639));
  EXPECT_NE(help->minimumSize(), help->maximumSize());  // resizable
  EXPECT_EQ(help->windowTitle(), "");
  EXPECT_EQ(LoadedPage, -1);
  QTextBrowser* v = help->HelpEdit;
  EXPECT_TRUE(v->isReadOnly());
  EXPECT_TRUE(v->textInteractionFlags() & Qt::TextSelectableByMouse);
  EXPECT_FALSE(v->textInteractionFlags() & Qt::TextEditable);
  EXPECT_EQ(v->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_NE(v->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(v->lineWrapMode(), QTextEdit::WidgetWidth);
  help->show();
  EXPECT_EQ(v->geometry(), help->rect().adjusted(3, 3, -3, -3));
  help->resize(500, 400);
  QApplication::processEvents();
  EXPECT_EQ(v->geometry(), QRect(3, 3, 494, 394));
}

TEST_F(HelpWindow, CaptionNamesThePage) {
  help->ShowPage(0);
  EXPECT_EQ(help->windowTitle(), "Okno Ethernet");
  EXPECT_EQ(LoadedPage, 0);
  help->ShowPage(1);
  EXPECT_EQ(help->windowTitle(), "Okno kontrolera");
  EXPECT_EQ(LoadedPage, 1);
  help->ShowPage(2);
  EXPECT_EQ(help->windowTitle(), "Okno Przejścia");
  EXPECT_EQ(LoadedPage, 2);
}

TEST_F(HelpWindow, SamePageTwiceKeepsTheViewAsLeft) {
  help->show();
  help->ShowPage(2);
  QApplication::processEvents();
  ASSERT_GT(Bar()->maximum(), 100) << "page 2 should be longer than the window";
  Bar()->setValue(Bar()->maximum() / 2);
  const int pos = Bar()->value();
  QTextCursor sel(help->HelpEdit->document());
  sel.setPosition(10);
  sel.setPosition(40, QTextCursor::KeepAnchor);
  help->HelpEdit->setTextCursor(sel);
  Bar()->setValue(pos);
  const QString selected = help->HelpEdit->textCursor().selectedText();
  ASSERT_FALSE(selected.isEmpty());
  const int revision = help->HelpEdit->document()->revision();

  help->ShowPage(2);
  QApplication::processEvents();
  EXPECT_EQ(Bar()->value(), pos);
  EXPECT_EQ(help->HelpEdit->textCursor().selectedText(), selected);
  EXPECT_EQ(help->HelpEdit->document()->revision(), revision);
  EXPECT_EQ(help->windowTitle(), "Okno Przejścia");
}

TEST_F(HelpWindow, AnotherPageInBetweenReloadsFromTheTop) {
  help->show();
  help->ShowPage(0);
  QApplication::processEvents();
  ASSERT_GT(Bar()->maximum(), 0);
  Bar()->setValue(Bar()->maximum());
  help->ShowPage(2);
  QApplication::processEvents();
  EXPECT_EQ(Bar()->value(), 0);
  EXPECT_EQ(help->windowTitle(), "Okno Przejścia");
  Bar()->setValue(Bar()->maximum());
  help->ShowPage(0);
  QApplication::processEvents();
  EXPECT_EQ(Bar()->value(), 0);
  EXPECT_EQ(help->windowTitle(), "Okno Ethernet");
  EXPECT_EQ(ShownHeadings(), kPage0);
}

TEST_F(HelpWindow, OtherPageNumbersChangeNothing) {
  help->ShowPage(1);
  help->ShowPage(3);
  help->ShowPage(-2);
  EXPECT_EQ(LoadedPage, 1);
  EXPECT_EQ(help->windowTitle(), "Okno kontrolera");
  EXPECT_EQ(ShownHeadings(), kPage1);
}

TEST_F(HelpWindow, PagesHaveTheirSectionsInOrder) {
  for (int page = 0; page < 3; ++page) {
    help->ShowPage(page);
    EXPECT_EQ(ShownHeadings(), *kPages[page]) << "page " << page;
  }
}

TEST_F(HelpWindow, PageSourcesHaveTheirHeadingsInOrder) {
  static const QRegularExpression heading("<h([12])>(.*?)</h\\1>",
                                          QRegularExpression::DotMatchesEverythingOption);
  for (int page = 0; page < 3; ++page) {
    QFile f(kResources[page]);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << kResources[page];
    const QString html = QString::fromUtf8(f.readAll());
    QStringList found;
    for (auto it = heading.globalMatch(html); it.hasNext();) {
      const auto m = it.next();
      found << m.captured(1) + " " + m.captured(2).trimmed();
    }
    EXPECT_EQ(found, *kPages[page]) << kResources[page];
    EXPECT_TRUE(html.contains("lang=\"pl\""));
  }
}

TEST_F(HelpWindow, PagesUseTheSystemsNames) {
  const char* names[] = {"Quorinnet", "QuorinBUS", "Feldaro"};
  QString all;
  for (int page = 0; page < 3; ++page) {
    help->ShowPage(page);
    all += help->HelpEdit->toPlainText();
  }
  for (const char* n : names) EXPECT_TRUE(all.contains(n)) << n;
  EXPECT_TRUE(all.contains(QRegularExpression("\\bQuorin\\b")));
}

TEST_F(HelpWindow, Styles) {
  help->ShowPage(0);
  QTextDocument* doc = help->HelpEdit->document();
  bool sawItalicName = false, sawBody = false, sawBullet = false, sawH2 = false;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    const QTextCharFormat cf = b.begin().fragment().charFormat();
    const int level = b.blockFormat().headingLevel();
    if (level == 1) {
      EXPECT_EQ(cf.fontWeight(), QFont::Bold) << b.text().toStdString();
      EXPECT_DOUBLE_EQ(cf.fontPointSize(), 16);
      EXPECT_GT(b.blockFormat().topMargin(), 0);
      EXPECT_GT(b.blockFormat().bottomMargin(), 0);
    } else if (level == 2) {
      sawH2 = true;
      EXPECT_EQ(cf.fontWeight(), QFont::Bold) << b.text().toStdString();
      EXPECT_DOUBLE_EQ(cf.fontPointSize(), 14);
      EXPECT_GT(b.blockFormat().leftMargin(), 0);
    } else if (!b.text().isEmpty() && !b.textList() && !QTextCursor(b).currentTable()) {
      sawBody = true;
      EXPECT_EQ(cf.fontFamilies().toStringList().value(0), "Times New Roman");
      EXPECT_DOUBLE_EQ(cf.fontPointSize(), 12);
      for (auto it = b.begin(); !it.atEnd(); ++it)
        if (it.fragment().text() == "Ethernet" && it.fragment().charFormat().fontItalic())
          sawItalicName = true;
    }
    if (b.textList() && b.textList()->format().style() == QTextListFormat::ListDisc)
      sawBullet = true;
  }
  EXPECT_TRUE(sawH2);
  // What the view lays out: level-1 lines taller than level-2 lines, those taller than body.
  help->show();
  QApplication::processEvents();
  double h1 = 0, h2 = 0, body = 0;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    if (!b.layout() || b.layout()->lineCount() == 0) continue;
    const double h = b.layout()->lineAt(0).height();
    const int level = b.blockFormat().headingLevel();
    if (level == 1 && h1 == 0) h1 = h;
    if (level == 2 && h2 == 0) h2 = h;
    if (level == 0 && body == 0 && !b.textList() && !QTextCursor(b).currentTable()) body = h;
  }
  EXPECT_GT(h2, body * 1.1);
  EXPECT_GT(h1, h2 * 1.08);
  EXPECT_TRUE(sawBody);
  EXPECT_TRUE(sawItalicName);
  EXPECT_TRUE(sawBullet);
}

TEST_F(HelpWindow, TermListsHaveABoldTermAndADashedExplanation) {
  help->ShowPage(2);
  QTextDocument* doc = help->HelpEdit->document();
  QSet<QTextTable*> tables;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
    if (QTextTable* t = QTextCursor(b).currentTable()) tables.insert(t);
  EXPECT_EQ(tables.size(), 5);  // outputs, inputs, flags, passage types, times
  QStringList terms;
  for (QTextTable* t : tables) {
    ASSERT_EQ(t->columns(), 2);
    for (int r = 0; r < t->rows(); ++r) {
      const QTextBlock term = t->cellAt(r, 0).firstCursorPosition().block();
      const QTextBlock expl = t->cellAt(r, 1).firstCursorPosition().block();
      EXPECT_EQ(term.begin().fragment().charFormat().fontWeight(), QFont::Bold);
      EXPECT_TRUE(expl.text().startsWith("– ")) << expl.text().toStdString();
      terms << term.text().replace(QChar::Nbsp, ' ');  // kept on one line
    }
  }
  for (const char* t : {"Rygiel", "Przypomnienie", "Alarm", "CCTV", "Czujnik otwarcia",
                        "Przycisk wyjścia", "Czujka alarmowa", "Sabotaż", "Otwieranie klamką",
                        "Pełny impuls rygla", "Otwarte", "Normalne", "Bistabilne", "Astabilne",
                        "Zablokowane", "Impuls otwarcia rygla", "Dozwolony czas otwarcia"})
    EXPECT_TRUE(terms.contains(t)) << t;
}

TEST_F(HelpWindow, RendersThePassagesPage) {
  help->show();
  help->ShowPage(2);
  QApplication::processEvents();
  const QImage img = help->grab().toImage();
  ASSERT_EQ(img.size(), QSize(862, 639));
  QSet<QRgb> colours;
  for (int y = 0; y < img.height(); y += 3)
    for (int x = 0; x < img.width(); x += 3) colours.insert(img.pixel(x, y));
  EXPECT_GT(colours.size(), 10) << "the page looks empty";
  const QString out = QDir::current().filePath("help_page2.png");
  EXPECT_TRUE(img.save(out));
  std::printf("help page rendered to %s\n", out.toUtf8().constData());
}

// ---- Trace window ----

TEST(TraceWindow, FormOnly) {
  EnsureQtApp();
  TTraceWin t;
  EXPECT_EQ(t.windowTitle(), "TraceWin");
  EXPECT_EQ(t.size(), QSize(242, 816));
  EXPECT_EQ(t.pos(), QPoint(0, 0));
  EXPECT_TRUE(t.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(t.RapWin->isReadOnly());
  EXPECT_EQ(t.RapWin->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_TRUE(t.RapWin->toPlainText().isEmpty());
  t.show();
  EXPECT_EQ(t.RapWin->geometry(), t.rect());
}

}  // namespace
