// "Dokumentacja PDF…" of the plan window: the as-built documentation of the whole plan as
// the window holds it (edits not yet saved included), from the plan alone, no network.
#include <QDate>
#include <QFile>
#include <QFileInfo>

#include "config/asbuilt.h"
#include "config/filereason.h"
#include "doc/asbuiltpdf.h"
#include "mainwin.h"
#include "plansteps.h"
#include "planwin.h"
#include "platform.h"

void TPlanWin::DocPdfBtnClick() {
  SyncCurrent();
  QString path;
  {
    std::unique_ptr<ModalScope> modal;
    if (main_) modal = std::make_unique<ModalScope>(*main_);
    path = host_.SaveFileName(this, QStringLiteral("dokumentacja.pdf"),
                              QStringLiteral("Dokumentacja PDF (*.pdf)"), QStringLiteral("pdf"));
    if (path.isEmpty()) return;
    // An existing file is replaced only after the toolkit's own question.
    if (QFileInfo::exists(path) && !host_.ConfirmReplace(this, path)) return;
  }
  AsBuiltDoc doc;
  doc.site.name = plan_.site.name;
  doc.site.address = plan_.site.address;
  doc.site.installer = plan_.site.installer;
  doc.site.date = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toStdString();
  doc.site.tool = kToolName;
  // The plan's controllers in the list's order; controllers "Spoza planu" are not the plan's.
  for (int i = 0; i < RowCount(); ++i) {
    const Row& r = rows_[size_t(i)];
    if (r.entry < 0) continue;
    doc.controllers.push_back(
        ArchiveControllerDoc(PlannedOf(i), plan_.ctrls[size_t(r.entry)].label));
  }
  std::string why;
  int errnum = 0;
  if (!WriteAsBuiltPdf(doc, Local(path), why, &errnum)) {
    Error(QStringLiteral("Nie zapisano dokumentacji %1: %2")
              .arg(path, QString::fromStdString(FileReason(Local(path), why, errnum))));
    return;
  }
  Info(QStringLiteral("Zapisano dokumentację planu: ") + path);
}
