// "Dokumentacja PDF…" of the menu "Plik": the as-built documentation of the selected
// controller. Like the archive, it documents what the controller holds: a read of its own,
// of the controller that was selected when the item was chosen.
#include <QDate>

#include "config/asbuilt.h"
#include "config/devname.h"
#include "doc/asbuiltpdf.h"
#include "mainwin.h"
#include "plansteps.h"
#include "platform.h"

void TMainWin::DocPdfMnClick() {
  Intent in;
  QString path;
  if (!ShownAndSavePath(UserAction::Doc, QStringLiteral("Dokumentacja PDF"),
                        QStringLiteral("Dokumentacja PDF (*.pdf)"), QStringLiteral("pdf"), in,
                        path))
    return;
  ops_.Submit(OpRunner::kUser, [this, in, path] { return DocPdf(in, path); });
}

OpTask TMainWin::DocPdf(Intent in, QString path) {
  const uint32_t id = in.devId;
  CtrlSnap r;
  std::exception_ptr err;
  ShownRead st;
  co_await ReadShown(in, r, err, st);
  if (st == ShownRead::NotRun) co_return;
  if (st == ShownRead::Failed) {
    ShowCaught(err);
    co_return;
  }
  UdpDev* d = SelectedDev();
  if (st == ShownRead::Gone) {
    ShowError(QString::fromStdString("Nie zapisano dokumentacji: " + DevName(id) + " zniknął."));
    co_return;
  }
  AsBuiltDoc doc;
  doc.site.date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
  doc.site.tool = kToolName;
  doc.controllers.push_back(
      BuildControllerDoc(*r.cfg, DocIdentity{id, d->IpText(), d->status & 3, ""}));
  std::string why;
  if (!WriteAsBuiltPdf(doc, FileNameBytes(path), why)) {
    ShowError(QStringLiteral("Nie zapisano dokumentacji: ") + FileMessage(why));
    co_return;
  }
  ShowInfo(this, QStringLiteral("Dokumentacja PDF"),
           QString::fromStdString("Zapisano dokumentację " + DevName(id) + ": ") + path);
}
