// The main window's menu "Plik": a new site plan from the network, opening a plan, the
// archive of the selected controller and its comparison with an archive. The network work
// runs as operations of the window's runner, like every other action.
#include <QAction>
#include <QDate>
#include <QFile>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>

#include "config/atomicfile.h"
#include "config/devname.h"
#include "mainwin.h"
#include "planwin.h"
#include "platform.h"
#include "report.h"
#include "ui_mainwin.h"

namespace {

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

}  // namespace

void TMainWin::SetupMenu() {
  MenuBar = new QMenuBar(this);
  MenuBar->setObjectName(QStringLiteral("MenuBar"));
  QMenu* file = MenuBar->addMenu(QStringLiteral("&Plik"));
  file->setObjectName(QStringLiteral("FileMenu"));
  auto item = [&](const char* name, const QString& text, void (TMainWin::*handler)()) {
    QAction* a = file->addAction(text);
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
  };
  item("NewPlanMn", QStringLiteral("Nowy plan z sieci"), &TMainWin::NewPlanMnClick);
  item("OpenPlanMn", QStringLiteral("Otwórz plan obiektu…"), &TMainWin::OpenPlanMnClick);
  file->addSeparator();
  item("SaveArchiveMn", QStringLiteral("Zapisz archiwum kontrolera…"),
       &TMainWin::SaveArchiveMnClick);
  item("CompareArchiveMn", QStringLiteral("Porównaj z archiwum…"),
       &TMainWin::CompareArchiveMnClick);
  item("DocPdfMn", QStringLiteral("Dokumentacja PDF…"), &TMainWin::DocPdfMnClick);
  // The controls keep their places below the bar: the window grows by its height.
  ui->MainLayout->setMenuBar(MenuBar);
  setFixedSize(847, 590 + MenuBar->sizeHint().height());
}

TPlanWin* TMainWin::OpenPlanWindow(const QString& path) {
  auto* win = new TPlanWin(host, this, this);
  std::string why;
  if (!win->Open(path, why)) {
    delete win;
    ShowError(QStringLiteral("Plan obiektu %1 odrzucony: %2").arg(path, Text(why)));
    return nullptr;
  }
  win->show();
  win->raise();
  win->activateWindow();
  return win;
}

void TMainWin::OpenPlanMnClick() {
  if (Quitting()) return;
  QString path;
  {
    ModalScope modal(*this);
    path = host.OpenFileName(this, QStringLiteral("Plan obiektu lub archiwum (*.json)"));
  }
  if (!path.isEmpty()) OpenPlanWindow(path);
}

void TMainWin::NewPlanMnClick() {
  ops_.Submit(OpRunner::kUser, [this] { return NewPlan(); });
}

OpTask TMainWin::NewPlan() {
  if (Closing()) co_return;
  SitePlan plan;
  plan.site.name = "Nowy plan";
  plan.created = plan.modified = UtcNowText();
  plan.tool = kToolName;
  int controllers = 0;
  std::string missed;
  // Every controller of the segment, one after the other on the link's thread.
  for (int i = 0; i < Devs().count; ++i) {
    UdpDev* d = &Devs().dev[i];
    if (!IsController(d->id)) continue;
    // A signal ends the program: the controllers not read yet are not asked, so it ends
    // within the waits of the read under way.
    if (Quitting()) co_return;
    ++controllers;
    const uint32_t id = d->id;
    CtrlSnap r;
    std::exception_ptr err;
    co_await Net(ReadCtrlStep(d, r, err));
    d = nullptr;
    for (int k = 0; k < Devs().count; ++k)
      if (Devs().dev[k].id == id) d = &Devs().dev[k];
    if (err || !d) {
      // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict on a chain of
      // string additions that starts with a literal.
      missed += '\n';
      missed += DevName(id);
      missed += ": ";
      missed += err ? ErrText(err) : std::string("zniknął z sieci");
      continue;
    }
    plan.ctrls.push_back(PlanCtrl{std::string(), ReadArchive(r, *d, "")});
  }
  if (plan.ctrls.empty()) {
    ShowError(controllers == 0
                  ? QStringLiteral("Nowy plan z sieci: w sieci nie znaleziono żadnego kontrolera.")
                  : Text("Nowy plan z sieci: żadnego kontrolera nie udało się odczytać." + missed));
    co_return;
  }
  // A signal came during the last read: the program ends, no window opens.
  if (Quitting()) co_return;
  auto* win = new TPlanWin(host, this, this);
  win->SetPlan(std::move(plan), QString());
  win->show();
  win->raise();
  if (!missed.empty())
    ShowInfo(win, QStringLiteral("Plan obiektu"),
             Text("Odczytano " + std::to_string(win->Plan().ctrls.size()) + " z " +
                  std::to_string(controllers) + " kontrolerów; pominięte:" + missed));
}

bool TMainWin::ShownAndSavePath(UserAction action, const QString& item, const QString& filter,
                                const QString& ext, Intent& in, QString& path) {
  if (Quitting()) return false;
  // The controller on screen now; the file is of that controller or of none.
  in = shown_;
  in.action = action;
  if (in.devId == 0 || !IsController(in.devId)) {
    ShowError(item + QStringLiteral(": wybierz kontroler na liście Ethernet."));
    return false;
  }
  const QString suggested = SuggestedReportName(
      QDate::currentDate(), DateSeparator(QLocale().dateFormat(QLocale::ShortFormat)),
      DevName(in.devId));
  {
    ModalScope modal(*this);
    path = host.SaveFileName(this, suggested, filter, ext);
  }
  if (path.isEmpty()) return false;
  ShowStatus({});
  return true;
}

void TMainWin::SaveArchiveMnClick() {
  Intent in;
  QString path;
  if (!ShownAndSavePath(UserAction::Archive, QStringLiteral("Zapisz archiwum kontrolera"),
                        QStringLiteral("Archiwum kontrolera (*.json)"), QStringLiteral("json"), in,
                        path))
    return;
  ops_.Submit(OpRunner::kUser, [this, in, path] { return SaveArchive(in, path); });
}

OpTask TMainWin::ReadShown(Intent in, CtrlSnap& r, std::exception_ptr& err, ShownRead& st) {
  st = ShownRead::NotRun;
  if (!Still(in)) co_return;
  UdpDev* d = SelectedDev();
  if (!d) co_return;
  co_await Net(ReadCtrlStep(d, r, err));
  d = SelectedDev();
  st = err ? ShownRead::Failed : (!d || d->id != in.devId) ? ShownRead::Gone : ShownRead::Done;
}

OpTask TMainWin::SaveArchive(Intent in, QString path) {
  const uint32_t id = in.devId;
  // A read of its own, as backup does: the archive holds what the controller holds.
  CtrlSnap r;
  std::exception_ptr err;
  ShownRead st;
  co_await ReadShown(in, r, err, st);
  if (st == ShownRead::NotRun) co_return;
  if (st != ShownRead::Done) {
    ShowError(Text("Nie zapisano archiwum: " + (err ? ErrText(err) : DevName(id) + " zniknął.")));
    co_return;
  }
  UdpDev* d = SelectedDev();
  const std::string json = ArchiveToJson(ReadArchive(r, *d, ""));
  std::string why;
  if (!WriteFileAtomically(FileNameBytes(path), json, why)) {
    ShowError(QStringLiteral("Nie zapisano archiwum: ") + FileMessage(why));
    co_return;
  }
  ShowInfo(this, QStringLiteral("Archiwum kontrolera"),
           Text("Zapisano archiwum " + DevName(id) + ": ") + path);
}

void TMainWin::CompareArchiveMnClick() {
  if (Quitting()) return;
  Intent in = shown_;
  in.action = UserAction::Compare;
  if (in.devId == 0 || !IsController(in.devId)) {
    ShowError(QStringLiteral("Porównaj z archiwum: wybierz kontroler na liście Ethernet."));
    return;
  }
  QString path;
  {
    ModalScope modal(*this);
    path = host.OpenFileName(this, QStringLiteral("Archiwum kontrolera (*.json)"));
  }
  if (path.isEmpty()) return;
  QFile f(path);
  auto arc = std::make_shared<Archive>();
  std::string why;
  if (!f.open(QIODevice::ReadOnly)) {
    ShowError(QStringLiteral("Archiwum %1 odrzucone: %2").arg(path, f.errorString()));
    return;
  }
  const QByteArray bytes = f.read(qint64(kArchiveMaxBytes) + 1);
  if (size_t(bytes.size()) > kArchiveMaxBytes) {
    ShowError(QStringLiteral("Archiwum %1 odrzucone: plik jest za duży.").arg(path));
    return;
  }
  if (!ParseArchive(std::string_view(bytes.constData(), size_t(bytes.size())), *arc, why)) {
    ShowError(QStringLiteral("Archiwum %1 odrzucone: %2").arg(path, Text(why)));
    return;
  }
  ShowStatus({});
  ops_.Submit(OpRunner::kUser, [this, in, arc] { return CompareArchive(in, arc); });
}

OpTask TMainWin::CompareArchive(Intent in, std::shared_ptr<Archive> arc) {
  const uint32_t id = in.devId;
  CtrlSnap r;
  std::exception_ptr err;
  ShownRead st;
  co_await ReadShown(in, r, err, st);
  if (st == ShownRead::NotRun) co_return;
  if (st == ShownRead::Failed) {
    ShowError(Text("Nie porównano: " + ErrText(err)));
    co_return;
  }
  const std::vector<std::string> lines = CompareWithArchive(*arc, *r.cfg, id);
  std::string text;
  if (lines.empty()) {
    text = "Brak różnic: " + DevName(id) + " ma konfigurację przejść z archiwum.";
  } else {
    text = "Różnice (kontroler " + DevName(id) + " teraz -> archiwum " + DevName(arc->ctrlId) +
           " z " + arc->created + "):";
    for (const std::string& l : lines) text += "\n" + l;
  }
  ShowInfo(this, QStringLiteral("Porównanie z archiwum"), Text(text));
}
