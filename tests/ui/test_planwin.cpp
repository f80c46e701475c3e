// The plan window against the in-memory network in virtual time: a plan made from the
// network, edited offline and saved, uploaded to the right controller only, and nothing
// sent when the controller moved after the user saw the list of changes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTemporaryDir>

#include "config/archive.h"
#include "config/devname.h"
#include "config/plan.h"
#include "plansteps.h"
#include "planwin.h"
#include "tests/common/fakehost.h"
#include "tests/common/stepped.h"

namespace {

constexpr uint32_t kIpA = 0xC0A8010Au;
constexpr uint32_t kIpB = 0xC0A8010Bu;

uint32_t K27(uint32_t serial) {
  return MakeId(327, serial);
}

// Two controllers on the network, the main window started, and a plan of both saved.
struct PlanWorld {
  GuiWorld w;
  QTemporaryDir dir;
  SimDevice* a = nullptr;
  SimDevice* b = nullptr;
  QString path;

  PlanWorld() {
    a = &w.AddController(K27(5), kIpA, 3, 2);
    b = &w.AddController(K27(6), kIpB, 3, 2);
    w.Start();
    path = dir.filePath("plan.json");
    w.win->NewPlanMnClick();
    TPlanWin* made = PlanWindow();
    EXPECT_NE(made, nullptr);
    if (!made) return;
    EXPECT_EQ(made->RowCount(), 2);
    w.host.savePath = path;
    made->SavePlanBtnClick();
    EXPECT_TRUE(QFile::exists(path));
    made->close();
    delete made;
  }

  TPlanWin* PlanWindow() const {
    // The plan windows are the main window's children named by their form.
    TPlanWin* last = nullptr;
    for (QWidget* c : w.win->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      if (c->objectName() == "TPlanWin") last = static_cast<TPlanWin*>(c);
    return last;
  }

  SitePlan Load() const {
    SitePlan plan;
    std::string why;
    EXPECT_TRUE(LoadPlan(path.toStdString(), plan, why)) << why;
    return plan;
  }
};

QComboBox* Bolt(TPlanWin& pw) {
  return pw.DoorEd->findChild<QComboBox*>("RygielCb");
}

QListWidget* List(TPlanWin& pw) {
  return pw.findChild<QListWidget*>("CtrlLstBox");
}

// Picks item `item` of a drop-down of the passage editor as the user does.
void Pick(TPlanWin& pw, QComboBox* box, int item) {
  ASSERT_LT(item, box->count());
  box->setCurrentIndex(item);
  emit box->activated(item);
  (void)pw;
}

// The signed reads and writes a device received, in order.
std::string Commands(const GuiWorld& w, const SimDevice& dev, size_t from) {
  std::string out;
  for (char c : w.Received(dev, from))
    if (c == 'D' || c == 'C' || c == 'c') out += c;
  return out;
}

int RowOfId(const TPlanWin& pw, uint32_t id) {
  for (int i = 0; i < pw.RowCount(); ++i)
    if (pw.RowAt(i).id == id) return i;
  return -1;
}

// Three controllers on the network, a plan file of the first one only, and from then on
// the network steps taken one at a time by the test.
struct SteppedPlanWorld {
  SteppedWorld w{true};
  QTemporaryDir dir;
  SimDevice* c[3] = {};
  QString path;
  TPlanWin* pw = nullptr;

  SteppedPlanWorld() {
    for (uint32_t i = 0; i < 3; ++i) c[i] = &w.AddController(K27(5 + i), kIpA + i, 3, 2);
    w.Start();
    CtrlSnap r;
    ReadCtrl(w.win->Devs().dev[0], r);
    SitePlan plan;
    plan.site.name = "Hala";
    plan.ctrls.push_back(PlanCtrl{"Brama", ReadArchive(r, w.win->Devs().dev[0], "Brama")});
    path = dir.filePath("hala.json");
    std::string why;
    EXPECT_TRUE(SavePlan(path.toStdString(), plan, why)) << why;
    auto exec = std::make_unique<SteppedExecutor>();
    w.steps = exec.get();
    w.win->UseLinkExecutor(std::move(exec));
    pw = w.win->OpenPlanWindow(path);
    EXPECT_NE(pw, nullptr);
  }
};

}  // namespace

TEST(PlanWin, OfflineEditIsSavedAndOnlyThatChanges) {
  PlanWorld p;
  const SitePlan before = p.Load();
  ASSERT_EQ(before.ctrls.size(), 2u);

  // No network at all: a window with no main window behind it.
  TPlanWin pw(p.w.host, nullptr);
  std::string why;
  ASSERT_TRUE(pw.Open(p.path, why)) << why;
  EXPECT_EQ(pw.windowTitle(), QString("Plan obiektu – Nowy plan"));
  const int row = RowOfId(pw, K27(6));
  ASSERT_GE(row, 0);
  pw.Select(row);
  EXPECT_EQ(pw.RowAt(row).state, DriftState::Unchecked);

  // The bolt of passage 1 onto a free output of the plan's own device list.
  QComboBox* bolt = Bolt(pw);
  ASSERT_TRUE(bolt->isEnabled());
  const IoRef was = pw.DoorEd->Cfg().doors[0].outputs[0];
  Pick(pw, bolt, 2);
  const IoRef now = pw.DoorEd->Cfg().doors[0].outputs[0];
  EXPECT_NE(now, was);
  EXPECT_TRUE(pw.Edited(row));
  EXPECT_TRUE(List(pw)->item(row)->text().contains('*'));

  // Network actions say why they cannot run, and send nothing.
  const size_t boxes = p.w.host.errors.size();
  pw.UploadBtnClick();
  pw.CheckNetBtnClick();
  ASSERT_EQ(p.w.host.errors.size(), boxes + 2);
  EXPECT_TRUE(p.w.host.errors.back().text.contains("bez połączenia z siecią"));

  pw.SavePlanBtnClick();
  EXPECT_FALSE(pw.Edited(row));
  const SitePlan after = p.Load();
  ASSERT_EQ(after.ctrls.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::vector<std::string> diff = DiffCfg(before.ctrls[i].arc.cfg, after.ctrls[i].arc.cfg);
    if (after.ctrls[i].arc.ctrlId == K27(6)) {
      ASSERT_EQ(diff.size(), 2u);  // "Przejście 1:" and the bolt line
      EXPECT_NE(diff[1].find("Rygiel"), std::string::npos) << diff[1];
    } else {
      EXPECT_TRUE(diff.empty());
    }
  }
}

// An archive opened as a plan stays the user's backup: "Zapisz plan" asks for a new file.
TEST(PlanWin, SavingAPlanOpenedFromAnArchiveNeverOverwritesTheArchive) {
  PlanWorld p;
  const QString arcPath = p.dir.filePath("k27-6.json");
  const std::string arcText = ArchiveToJson(p.Load().ctrls[1].arc);
  {
    QFile f(arcPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray::fromStdString(arcText));
  }
  TPlanWin pw(p.w.host, nullptr);
  std::string why;
  ASSERT_TRUE(pw.Open(arcPath, why)) << why;
  ASSERT_EQ(pw.RowCount(), 1);
  pw.Select(0);
  EXPECT_FALSE(pw.Edited(0));
  Pick(pw, Bolt(pw), 2);
  const IoRef bolt = pw.DoorEd->Cfg().doors[0].outputs[0];
  ASSERT_TRUE(pw.Edited(0));
  if (qEnvironmentVariableIsSet("FELDARO_GRAB_DIR")) {
    pw.show();
    QApplication::processEvents();
    pw.grab().save(qEnvironmentVariable("FELDARO_GRAB_DIR") + "/planwin-archive.png");
  }

  // The user cancels the save dialog: nothing is written anywhere.
  p.w.host.savePath.clear();
  const int asked = p.w.host.saveCalls;
  pw.SavePlanBtnClick();
  EXPECT_EQ(p.w.host.saveCalls, asked + 1) << "no save dialog for a plan opened from an archive";
  EXPECT_TRUE(pw.Edited(0));
  // Then names a new plan file.
  const QString planPath = p.dir.filePath("nowy-plan.json");
  p.w.host.savePath = planPath;
  pw.SavePlanBtnClick();
  EXPECT_EQ(p.w.host.saveCalls, asked + 2);
  EXPECT_FALSE(pw.Edited(0));
  EXPECT_EQ(pw.Path(), planPath);

  QFile f(arcPath);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const std::string now = f.readAll().toStdString();
  EXPECT_EQ(now, arcText) << "the archive was overwritten";
  Archive arc;
  EXPECT_TRUE(ParseArchive(now, arc, why)) << why;
  SitePlan saved;
  ASSERT_TRUE(LoadPlan(planPath.toStdString(), saved, why)) << why;
  EXPECT_FALSE(saved.fromArchive);
  ASSERT_EQ(saved.ctrls.size(), 1u);
  ASSERT_FALSE(saved.ctrls[0].arc.cfg.doors.empty());
  auto model = std::make_unique<CtrlCfg>();
  ASSERT_TRUE(PlanEntryModel(saved.ctrls[0].arc, *model, why)) << why;
  EXPECT_EQ(model->doors[0].outputs[0], bolt);

  // From now on it is that plan file: the next save goes there without asking.
  pw.SavePlanBtnClick();
  EXPECT_EQ(p.w.host.saveCalls, asked + 2);

  // "Zapisz plan jako…" onto the archive, or onto any other archive, is refused in a box.
  const QString other = p.dir.filePath("inne-archiwum.json");
  ASSERT_TRUE(QFile::copy(arcPath, other));
  p.w.host.onReplace = [](const QString&) { return true; };
  for (const QString& target : {arcPath, other}) {
    const size_t errors = p.w.host.errors.size();
    p.w.host.savePath = target;
    pw.findChild<QPushButton*>("SavePlanAsBtn")->click();
    ASSERT_EQ(p.w.host.errors.size(), errors + 1) << target.toStdString();
    EXPECT_TRUE(p.w.host.errors.back().text.contains("jest archiwum kontrolera"))
        << p.w.host.errors.back().text.toStdString();
    QFile back(target);
    ASSERT_TRUE(back.open(QIODevice::ReadOnly));
    EXPECT_EQ(back.readAll().toStdString(), arcText) << target.toStdString();
  }
  EXPECT_EQ(pw.Path(), planPath);
}

// "Zapisz plan" and "Zapisz plan jako…" replace a file only after a question: another plan
// picked in the dialog, or the plan's own file changed on disk since it was read.
TEST(PlanWin, SavingAsksBeforeReplacingAFileAndKeepsAChangeMadeOnDisk) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  // The same file again: its window, not a second one.
  EXPECT_EQ(p.w.win->OpenPlanWindow(p.path), pw);
  EXPECT_EQ(p.w.win->PlanWindows().size(), 1u);
  pw->Select(0);
  Pick(*pw, Bolt(*pw), 2);

  // Someone else changes the file meanwhile: a label.
  SitePlan theirs = p.Load();
  theirs.ctrls[0].label = "Brama od ulicy";
  std::string why;
  ASSERT_TRUE(SavePlan(p.path.toStdString(), theirs, why)) << why;
  pw->SavePlanBtnClick();  // the question's safe answer: "Anuluj"
  ASSERT_EQ(p.w.host.chooses.size(), 1u);
  EXPECT_TRUE(p.w.host.chooses[0].text.contains("zmienił się na dysku"));
  EXPECT_EQ(p.Load().ctrls[0].label, "Brama od ulicy");
  EXPECT_TRUE(pw->Edited(0));

  // "Zapisz jako…" onto another plan: the toolkit's question; "Nie" writes nothing.
  const QString second = p.dir.filePath("drugi.json");
  ASSERT_TRUE(SavePlan(second.toStdString(), theirs, why)) << why;
  const SitePlan secondBefore = theirs;
  p.w.host.onChoose = [](const QString&, const QStringList& b) {
    return int(b.indexOf("Zapisz jako…"));
  };
  p.w.host.savePath = second;
  pw->SavePlanBtnClick();
  ASSERT_EQ(p.w.host.replaces.size(), 1u);
  EXPECT_EQ(p.w.host.replaces[0], second);
  SitePlan now;
  ASSERT_TRUE(LoadPlan(second.toStdString(), now, why));
  EXPECT_EQ(PlanToJson(now), PlanToJson(secondBefore));
  // A new name: written at once, and the changed file stays as they left it.
  const QString third = p.dir.filePath("trzeci.json");
  p.w.host.savePath = third;
  pw->SavePlanBtnClick();
  EXPECT_EQ(pw->Path(), third);
  EXPECT_FALSE(pw->Edited(0));
  EXPECT_EQ(p.Load().ctrls[0].label, "Brama od ulicy");

  // A save that fails says why in Polish.
  p.w.host.savePath = p.dir.filePath("brak/plan.json");
  pw->SavePlanAsBtnClick();
  ASSERT_FALSE(p.w.host.errors.empty());
  EXPECT_TRUE(p.w.host.errors.back().text.endsWith(": nie ma takiego pliku ani katalogu"))
      << p.w.host.errors.back().text.toStdString();
}

// An entry edited since the check no longer shows the check's result.
TEST(PlanWin, AnEntryEditedSinceTheCheckIsNotShownAsAgreeing) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  pw->CheckNetBtnClick();
  const int row = RowOfId(*pw, K27(5));
  ASSERT_EQ(pw->StateOf(row), DriftState::Agree);
  pw->Select(row);
  Pick(*pw, Bolt(*pw), 2);
  EXPECT_EQ(pw->StateOf(row), DriftState::Unchecked);
  EXPECT_EQ(List(*pw)->item(row)->text(), "Nie sprawdzono: K27_00005 *");
  pw->CheckNetBtnClick();
  EXPECT_EQ(pw->StateOf(row), DriftState::Differs);
}

TEST(PlanWin, UploadWritesTheChangeToThatControllerOnly) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  const int row = RowOfId(*pw, K27(6));
  pw->Select(row);
  Pick(*pw, Bolt(*pw), 2);
  const IoRef bolt = pw->DoorEd->Cfg().doors[0].outputs[0];

  const size_t fromA = p.a->received.size(), fromB = p.b->received.size();
  const size_t writtenA = p.a->written.size(), writtenB = p.b->written.size();
  QString asked;
  p.w.host.onConfirm = [&](const QString& text) {
    asked = text;
    return true;
  };
  pw->UploadBtnClick();
  EXPECT_TRUE(asked.contains("Rygiel")) << asked.toStdString();
  // Read, read again just before the write, write, read back: to B only.
  EXPECT_EQ(p.w.Received(*p.a, fromA).find('c'), std::string::npos);
  EXPECT_EQ(p.a->written.size(), writtenA);
  ASSERT_EQ(p.b->written.size(), writtenB + 1);
  EXPECT_EQ(p.b->doors[0].refs[0], bolt);
  EXPECT_EQ(p.b->doors[1].refs[0], pw->RowAt(row).model->doors[1].outputs[0]);
  EXPECT_EQ(Commands(p.w, *p.b, fromB), "DCDCcC");
  EXPECT_EQ(pw->RowAt(row).state, DriftState::Agree);
  EXPECT_TRUE(p.w.host.infos.back().text.contains("odczyt kontrolny zgodny"));

  // A second upload finds nothing to change and sends no write.
  asked.clear();
  pw->UploadBtnClick();
  EXPECT_TRUE(asked.isEmpty());
  EXPECT_EQ(p.b->written.size(), writtenB + 1);

  // The check sees both controllers agree with the plan (B as uploaded, A untouched).
  pw->CheckNetBtnClick();
  EXPECT_EQ(pw->RowAt(RowOfId(*pw, K27(5))).state, DriftState::Agree);
  EXPECT_EQ(pw->RowAt(row).state, DriftState::Agree);
  // A controller that is not in the plan shows as such.
  p.w.AddController(K27(7), 0xC0A8010Cu, 3, 1);
  pw->CheckNetBtnClick();
  const int extra = RowOfId(*pw, K27(7));
  ASSERT_GE(extra, 0);
  EXPECT_EQ(pw->RowAt(extra).state, DriftState::NotInPlan);
  EXPECT_TRUE(List(*pw)->item(extra)->text().startsWith("Spoza planu"));
  if (qEnvironmentVariableIsSet("FELDARO_GRAB_DIR")) {
    pw->Select(row);
    pw->show();
    QApplication::processEvents();
    pw->grab().save(qEnvironmentVariable("FELDARO_GRAB_DIR") + "/planwin.png");
  }
}

// The plan records K27_00006 at another address than it answers from now: the upload shows
// the address among the changes and in the question. K27_00005, whose session the main
// window holds, is heard from a second host too: its upload sends nothing and says why.
TEST(PlanWin, UploadShowsTheAddressOnRecordAndRefusesTwoAddresses) {
  PlanWorld p;
  SitePlan plan = p.Load();
  ASSERT_EQ(plan.ctrls[1].arc.ctrlId, K27(6));
  plan.ctrls[1].arc.ctrlAddress = "192.168.1.99";
  std::string why;
  ASSERT_TRUE(SavePlan(p.path.toStdString(), plan, why)) << why;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  QString asked;
  p.w.host.onConfirm = [&](const QString& text) {
    asked = text;
    return false;
  };
  pw->Select(RowOfId(*pw, K27(6)));
  Pick(*pw, Bolt(*pw), 2);
  pw->UploadBtnClick();
  EXPECT_TRUE(asked.contains("\n  adres: 192.168.1.99 -> 192.168.1.11\n")) << asked.toStdString();
  EXPECT_TRUE(asked.endsWith("Zapisać je w kontrolerze (adres: 192.168.1.99 -> 192.168.1.11)?"))
      << asked.toStdString();

  SimDevice& other = p.w.net.AddDevice(K27(5), 0xC0A80142u, 3);  // 192.168.1.66
  p.w.win->SearchEthBtnClick();
  ASSERT_TRUE(p.w.win->Devs().dev[0].session);
  const size_t fromA = p.a->received.size(), writtenA = p.a->written.size();
  asked.clear();
  p.w.host.errors.clear();
  pw->Select(RowOfId(*pw, K27(5)));
  Pick(*pw, Bolt(*pw), 2);
  pw->UploadBtnClick();
  const QString refused = QStringLiteral(
      "Nie zapisano: K27_00005 odpowiada z dwóch adresów: 192.168.1.10, 192.168.1.66");
  ASSERT_EQ(p.w.host.errors.size(), 1u);
  EXPECT_EQ(p.w.host.errors[0].text, refused);
  EXPECT_EQ(p.w.Find<QLabel>("StatusLbl")->text(), refused);
  EXPECT_TRUE(asked.isEmpty());
  EXPECT_EQ(p.w.Received(*p.a, fromA).find('c'), std::string::npos);
  EXPECT_EQ(p.a->written.size(), writtenA);
  EXPECT_TRUE(other.written.empty());
}

// The main window shows the controller the plan window writes to: it loads it again, so its
// "Zapisz" can never send the passages from before the upload back.
TEST(PlanWin, TheMainWindowShowingTheControllerLoadsItAgainAfterAnUpload) {
  PlanWorld p;
  p.w.ClickEthLine(1);
  ASSERT_TRUE(p.w.win->SelectedDev() && p.w.win->SelectedDev()->id == K27(6));
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  pw->Select(RowOfId(*pw, K27(6)));
  Pick(*pw, Bolt(*pw), 2);
  const IoRef bolt = pw->DoorEd->Cfg().doors[0].outputs[0];
  ASSERT_NE(p.w.win->Cfg.doors[0].outputs[0], bolt);
  // The main window holds an edit of its own: the upload's question says it is dropped.
  QComboBox* mainBolt = p.w.win->findChild<QComboBox*>("RygielCb");
  ASSERT_NE(mainBolt, nullptr);
  mainBolt->setCurrentIndex(1);
  emit mainBolt->activated(1);
  const QString drop = "Niezapisane zmiany w oknie głównym dla K27_00006 zostaną odrzucone";
  QString asked;
  p.w.host.onConfirm = [&](const QString& text) {
    asked = text;
    return true;
  };
  pw->UploadBtnClick();
  EXPECT_TRUE(asked.contains(drop)) << asked.toStdString();
  ASSERT_EQ(p.b->doors[0].refs[0], bolt);
  EXPECT_EQ(p.w.win->Cfg.doors[0].outputs[0], bolt) << "the main window shows the old passages";
  p.w.win->WrCfgBtnClick();
  EXPECT_EQ(p.b->doors[0].refs[0], bolt) << "the main window wrote the old passages back";
  // Without edits in the main window the question does not mention it.
  pw->Select(RowOfId(*pw, K27(6)));
  Pick(*pw, Bolt(*pw), 1);
  pw->UploadBtnClick();
  EXPECT_FALSE(asked.contains(drop)) << asked.toStdString();
}

TEST(PlanWin, NothingIsSentWhenTheControllerMovedAfterTheUserSawTheChanges) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  const int row = RowOfId(*pw, K27(6));
  pw->Select(row);
  Pick(*pw, Bolt(*pw), 2);

  const size_t fromB = p.b->received.size();
  const size_t writtenB = p.b->written.size();
  // While the list of changes is on the screen, someone changes the controller's open time.
  p.w.host.onConfirm = [&](const QString&) {
    p.b->doors[1].params[kParOpenTime] = 33;
    return true;
  };
  pw->UploadBtnClick();
  EXPECT_EQ(p.b->written.size(), writtenB);
  EXPECT_EQ(p.w.Received(*p.b, fromB).find('c'), std::string::npos);
  EXPECT_EQ(p.b->doors[1].params[kParOpenTime], 33);
  ASSERT_FALSE(p.w.host.errors.empty());
  EXPECT_TRUE(p.w.host.errors.back().text.contains("Nic nie wysłano"))
      << p.w.host.errors.back().text.toStdString();
  EXPECT_TRUE(p.w.host.errors.back().text.contains("zmieniła się"));

  // Saying "Nie" to the list sends nothing either.
  p.w.host.onConfirm = [](const QString&) { return false; };
  pw->UploadBtnClick();
  EXPECT_EQ(p.b->written.size(), writtenB);
}

// The question before an upload carries the notes restore prints with its list: here the
// new device on the controller's list that the write confirms.
TEST(PlanWin, TheUploadQuestionNamesTheNewDevicesTheWriteConfirms) {
  PlanWorld p;
  const uint32_t fresh = MakeId(1, 90);
  p.b->AddBusDevice(fresh, 0, 2, 1, false, kStNew);
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  pw->Select(RowOfId(*pw, K27(6)));
  Pick(*pw, Bolt(*pw), 2);
  QString asked;
  p.w.host.onConfirm = [&](const QString& text) {
    asked = text;
    return false;
  };
  const size_t writtenB = p.b->written.size();
  pw->UploadBtnClick();
  EXPECT_TRUE(asked.contains("Rygiel")) << asked.toStdString();
  EXPECT_TRUE(asked.contains(QString::fromStdString(
      "Zapis potwierdzi też nowe urządzenia na liście kontrolera: " + DevName(fresh) + ".")))
      << asked.toStdString();
  EXPECT_TRUE(asked.endsWith("Zapisać je w kontrolerze?")) << asked.toStdString();
  EXPECT_EQ(p.b->written.size(), writtenB);

  // The same notes as restore's, from the same function; no note when nothing is written.
  CtrlSnap seen;
  UdpDev* dev = nullptr;
  for (int i = 0; i < p.w.win->Devs().count; ++i)
    if (p.w.win->Devs().dev[i].id == K27(6)) dev = &p.w.win->Devs().dev[i];
  ASSERT_NE(dev, nullptr);
  ReadCtrl(*dev, seen);
  UploadPrep prep;
  const SitePlan plan = p.Load();
  ASSERT_TRUE(PrepareUpload(plan.ctrls[size_t(FindPlanCtrl(plan, K27(6)))].arc, seen, prep))
      << prep.why;
  EXPECT_TRUE(prep.lines.empty());
  EXPECT_TRUE(prep.notes.empty());
}

// A check drops the rows of controllers outside the plan and finds them afresh: the
// selection stays on its controller, and an edit made while the check reads goes into that
// controller's entry.
TEST(PlanWin, ACheckKeepsTheSelectionAndTheEditsOnTheSelectedController) {
  SteppedPlanWorld p;
  ASSERT_NE(p.pw, nullptr);
  TPlanWin& pw = *p.pw;
  const uint32_t first = p.c[0]->id, third = p.c[2]->id;
  ASSERT_EQ(pw.RowCount(), 1);
  pw.CheckNetBtnClick();
  p.w.steps->RunAll();
  ASSERT_EQ(pw.RowCount(), 3);
  ASSERT_EQ(pw.RowAt(2).state, DriftState::NotInPlan);
  // The second "Spoza planu" row joins the plan and stays selected.
  pw.Select(RowOfId(pw, third));
  pw.DownloadBtnClick();
  p.w.steps->RunAll();
  ASSERT_GE(pw.RowAt(RowOfId(pw, third)).entry, 0);
  pw.Select(RowOfId(pw, third));
  const CtrlCfg firstBefore = *pw.RowAt(RowOfId(pw, first)).model;

  // The check starts: the row outside the plan goes, the others move up.
  pw.CheckNetBtnClick();
  while (pw.RowCount() == 3 && p.w.steps->Step()) {
  }
  ASSERT_EQ(pw.RowCount(), 2);
  ASSERT_GT(p.w.steps->Waiting(), 0u) << "the check's reads have not begun";
  ASSERT_GE(pw.Current(), 0);
  EXPECT_EQ(pw.RowAt(pw.Current()).id, third);
  // An edit while the check reads.
  Pick(pw, Bolt(pw), 2);
  const IoRef bolt = pw.DoorEd->Cfg().doors[0].outputs[0];
  p.w.steps->RunAll();

  ASSERT_EQ(pw.RowCount(), 3);
  ASSERT_GE(pw.Current(), 0);
  EXPECT_EQ(pw.RowAt(pw.Current()).id, third);
  ASSERT_TRUE(pw.RowAt(pw.Current()).model);
  EXPECT_EQ(pw.RowAt(pw.Current()).model->doors[0].outputs[0], bolt);
  EXPECT_EQ(pw.DoorEd->Cfg().doors[0].outputs[0], bolt) << "the editor lost the edit";
  EXPECT_TRUE(pw.Edited(pw.Current()));
  EXPECT_EQ(List(pw)->currentRow(), pw.Current());
  EXPECT_TRUE(SamePassages(*pw.RowAt(RowOfId(pw, first)).model, firstBefore))
      << "the edit went into another controller's entry";
}

// A signal ends the program while an upload runs (the plan windows close without their
// question, then the main window quits): the upload opens no box after that and writes nothing,
// whether the signal came during its first read or while its question was open.
TEST(PlanWin, AnUploadEndsSilentlyWithoutAWriteOnceTheProgramQuits) {
  for (bool duringQuestion : {false, true}) {
    SCOPED_TRACE(duringQuestion ? "while the question is open" : "while the first read runs");
    SteppedPlanWorld p;
    ASSERT_NE(p.pw, nullptr);
    TPlanWin& pw = *p.pw;
    pw.Select(0);
    Pick(pw, Bolt(pw), 2);
    auto quit = [&] {
      pw.ForceClose();  // as the signal handler does, in this order
      p.w.win->Quit();
    };
    p.w.host.onConfirm = [&](const QString&) {
      if (duringQuestion) quit();
      return true;
    };
    const size_t from = p.c[0]->received.size();
    pw.UploadBtnClick();
    ASSERT_GT(p.w.steps->Waiting(), 0u) << "the upload's first read is not in flight";
    if (!duringQuestion) quit();
    p.w.steps->RunAll();
    QApplication::processEvents();
    p.w.steps->RunAll();
    EXPECT_EQ(p.w.host.confirms.size(), duringQuestion ? 1u : 0u)
        << "a question opened after the quit";
    EXPECT_TRUE(p.w.host.errors.empty());
    EXPECT_TRUE(p.w.host.infos.empty());
    EXPECT_EQ(p.w.Received(*p.c[0], from).find('c'), std::string::npos) << "written after the quit";
    EXPECT_TRUE(p.c[0]->written.empty());
  }
  // "Pobierz z kontrolera" over unsaved edits: no question after the quit, the entry kept.
  SteppedPlanWorld p;
  ASSERT_NE(p.pw, nullptr);
  p.pw->Select(0);
  Pick(*p.pw, Bolt(*p.pw), 2);
  const IoRef edited = p.pw->DoorEd->Cfg().doors[0].outputs[0];
  p.w.host.onConfirm = [](const QString&) { return true; };
  p.pw->DownloadBtnClick();
  ASSERT_GT(p.w.steps->Waiting(), 0u);
  p.pw->ForceClose();
  p.w.win->Quit();
  p.w.steps->RunAll();
  EXPECT_TRUE(p.w.host.confirms.empty()) << "a question opened after the quit";
  EXPECT_EQ(p.pw->RowAt(0).model->doors[0].outputs[0], edited);
}

TEST(PlanWin, DownloadAsksBeforeReplacingUnsavedEdits) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  const int row = RowOfId(*pw, K27(5));
  pw->Select(row);
  Pick(*pw, Bolt(*pw), 2);
  const IoRef edited = pw->DoorEd->Cfg().doors[0].outputs[0];
  p.w.host.onConfirm = [](const QString&) { return false; };
  pw->DownloadBtnClick();
  ASSERT_EQ(p.w.host.confirms.size(), 1u);
  EXPECT_EQ(pw->DoorEd->Cfg().doors[0].outputs[0], edited);
  p.w.host.onConfirm = [](const QString&) { return true; };
  pw->DownloadBtnClick();
  EXPECT_EQ(pw->DoorEd->Cfg().doors[0].outputs[0], p.a->doors[0].refs[0]);
  EXPECT_EQ(pw->RowAt(row).state, DriftState::Agree);
}

// Closing the main window asks once about every plan window's unsaved edits; "Anuluj"
// keeps everything open; then the plan windows close and the main window after them.
// Closing the main window over an edited plan window asks first (the answers are tested
// over real UDP); a signal while that question is open ends everything all the same.
TEST(PlanWin, ASignalDuringTheCloseQuestionEndsEverything) {
  PlanWorld p;
  TPlanWin* pw = p.w.win->OpenPlanWindow(p.path);
  ASSERT_NE(pw, nullptr);
  pw->Select(0);
  Pick(*pw, Bolt(*pw), 2);
  p.w.Show();
  int closed = 0;
  p.w.win->onClosed = [&] { ++closed; };
  p.w.host.onChoose = [&](const QString&, const QStringList&) {
    p.w.win->Quit();
    return 1;
  };
  p.w.win->close();
  EXPECT_EQ(p.w.host.chooses.size(), 1u);
  EXPECT_FALSE(pw->isVisible());
  EXPECT_FALSE(p.w.win->isVisible());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(p.w.host.confirms.size(), 0u) << "the plan window asked on its own";
}

// Whatever the site's name and the file's path, nothing in the plan's column lies over
// anything else: the name wraps, the path is cut in the middle, the lists scroll.
TEST(PlanWin, LongTextsNeverLayWidgetsOverEachOther) {
  PlanWorld p;
  SitePlan plan = p.Load();
  plan.site.name = std::string(
      "Centrum Logistyczne Południe, hala magazynowa numer trzy z biurowcem i portiernią "
      "przy bramie wjazdowej od ul. Długiej 7");
  ASSERT_EQ(QString::fromStdString(plan.site.name).size(), 120);
  plan.site.address = "ul. Długa 123/45, 00-950 Warszawa, Mazowieckie, wejście od podwórza";
  plan.ctrls[0].label = "Budynek B, parter, korytarz przy klatce schodowej numer dwa i windzie";
  QString deep = p.dir.path();
  for (int i = 0; i < 12; ++i) deep += QStringLiteral("/katalog-projektu-%1").arg(i);
  ASSERT_TRUE(QDir().mkpath(deep));
  const QString path = deep + "/plan-obiektu-centrum-logistyczne.json";
  std::string why;
  ASSERT_TRUE(SavePlan(path.toStdString(), plan, why)) << why;
  TPlanWin* pw = p.w.win->OpenPlanWindow(path);
  ASSERT_NE(pw, nullptr);
  pw->Select(0);
  Pick(*pw, Bolt(*pw), 2);
  pw->CheckNetBtnClick();  // differences to show
  pw->show();
  QApplication::processEvents();

  QWidget* box = pw->findChild<QWidget*>("PlanBox");
  ASSERT_NE(box, nullptr);
  std::vector<QWidget*> parts;
  for (QWidget* c : box->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (c->isVisible()) parts.push_back(c);
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_TRUE(box->contentsRect().contains(parts[i]->geometry()))
        << parts[i]->objectName().toStdString();
    for (size_t j = i + 1; j < parts.size(); ++j)
      EXPECT_FALSE(parts[i]->geometry().intersects(parts[j]->geometry()))
          << parts[i]->objectName().toStdString() << " over "
          << parts[j]->objectName().toStdString();
  }
  // The texts fit their labels; the full ones are under the pointer.
  for (const char* name : {"SiteLb", "PathLb"}) {
    auto* lb = pw->findChild<QLabel*>(name);
    EXPECT_LE(lb->sizeHint().height(), lb->height()) << name;
    for (const QString& line : lb->text().split('\n'))
      EXPECT_LE(lb->fontMetrics().horizontalAdvance(line), lb->width()) << name;
  }
  EXPECT_TRUE(pw->findChild<QLabel*>("PathLb")->toolTip().endsWith(path));
  EXPECT_TRUE(pw->findChild<QLabel*>("SiteLb")->toolTip().startsWith(
      QString::fromStdString(plan.site.name)));
  EXPECT_EQ(List(*pw)->item(0)->toolTip(), List(*pw)->item(0)->text());
  if (qEnvironmentVariableIsSet("FELDARO_GRAB_DIR"))
    pw->grab().save(qEnvironmentVariable("FELDARO_GRAB_DIR") + "/planwin-long.png");
}

TEST(PlanWin, TheMainWindowKeepsItsControlsBelowTheMenuBar) {
  GuiWorld w;
  w.Start();
  ASSERT_NE(w.win->MenuBar, nullptr);
  const int bar = w.win->MenuBar->sizeHint().height();
  EXPECT_EQ(w.win->size(), QSize(847, 590 + bar));
  w.Show();
  QApplication::processEvents();
  EXPECT_EQ(w.Find<QWidget>("SelBox")->geometry().topLeft(), QPoint(16, 8 + bar));
  EXPECT_EQ(w.Find<QWidget>("DoorGrpBox")->geometry().topLeft(), QPoint(312, 8 + bar));
  QStringList items;
  for (QAction* a : w.win->MenuBar->actions().front()->menu()->actions())
    if (!a->isSeparator()) items << a->text();
  EXPECT_EQ(items,
            QStringList({"Nowy plan z sieci", "Otwórz plan obiektu…", "Zapisz archiwum kontrolera…",
                         "Porównaj z archiwum…", "Dokumentacja PDF…"}));
  if (qEnvironmentVariableIsSet("FELDARO_GRAB_DIR"))
    w.win->grab().save(qEnvironmentVariable("FELDARO_GRAB_DIR") + "/mainwin-menu.png");
}

TEST(PlanWin, UploadIsNeverPreparedForAnotherController) {
  PlanWorld p;
  const SitePlan plan = p.Load();
  const Archive& planned = plan.ctrls[0].arc;
  // A read of the other controller: the plan's record does not apply to it.
  UdpDev* other = nullptr;
  for (int i = 0; i < p.w.win->Devs().count; ++i)
    if (p.w.win->Devs().dev[i].id != planned.ctrlId) other = &p.w.win->Devs().dev[i];
  ASSERT_NE(other, nullptr);
  CtrlSnap seen;
  ReadCtrl(*other, seen);
  UploadPrep prep;
  EXPECT_FALSE(PrepareUpload(planned, seen, prep));
  EXPECT_TRUE(prep.lines.empty());
  EXPECT_NE(prep.why.find(DevName(other->id)), std::string::npos) << prep.why;

  // Its own controller: nothing to change; a read-back that differs is caught.
  UdpDev* own = nullptr;
  for (int i = 0; i < p.w.win->Devs().count; ++i)
    if (p.w.win->Devs().dev[i].id == planned.ctrlId) own = &p.w.win->Devs().dev[i];
  ASSERT_NE(own, nullptr);
  CtrlSnap mine;
  ReadCtrl(*own, mine);
  ASSERT_TRUE(PrepareUpload(planned, mine, prep)) << prep.why;
  EXPECT_TRUE(prep.lines.empty());
  std::string why;
  EXPECT_TRUE(VerifyReadBack(*prep.built, mine.rawDoors, why)) << why;
  // The controller answers with passage 1's open time changed.
  auto other1 = std::make_unique<CtrlCfg>(*prep.built);
  other1->doors[0].params[kParOpenTime] ^= 1;
  uint8_t buf[kCfgBufSize];
  const int n = EncodeDoors(*other1, buf);
  EXPECT_FALSE(VerifyReadBack(*prep.built, std::vector<uint8_t>(buf, buf + n), why));
  EXPECT_NE(why.find("Przejście 1"), std::string::npos) << why;
}

TEST(PlanWin, ArchiveOfTheSelectedControllerAndItsComparison) {
  GuiWorld w;
  QTemporaryDir dir;
  SimDevice& c = w.AddController(K27(5), kIpA, 2, 2);
  w.Start();
  ASSERT_EQ(w.win->Selected().id, K27(5));
  w.host.savePath = dir.filePath("k27.json");
  w.win->SaveArchiveMnClick();
  QFile f(w.host.savePath);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  Archive arc;
  std::string why;
  ASSERT_TRUE(ParseArchive(f.readAll().toStdString(), arc, why)) << why;
  EXPECT_EQ(arc.ctrlId, K27(5));
  ASSERT_EQ(arc.cfg.doors.size(), 2u);

  // The controller changes; the comparison names exactly that function.
  c.doors[1].params[kParOpenTime] = 7;
  w.host.openPath = w.host.savePath;
  w.win->CompareArchiveMnClick();
  ASSERT_FALSE(w.host.infos.empty());
  const QString text = w.host.infos.back().text;
  // One direction everywhere, as feldaro-cli diff: what the controller has -> the archive.
  EXPECT_TRUE(text.startsWith("Różnice (kontroler K27_00005 teraz -> archiwum K27_00005 z "))
      << text.toStdString();
  EXPECT_TRUE(text.contains("Dozw. czas otwarcia: 3,5 s -> 10 s")) << text.toStdString();
  EXPECT_TRUE(text.contains("Przejście 2:")) << text.toStdString();
  EXPECT_FALSE(text.contains("Przejście 1:")) << text.toStdString();
  EXPECT_EQ(text.count("\n"), 2) << text.toStdString();
}
