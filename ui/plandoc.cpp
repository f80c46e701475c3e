// "Dokumentacja PDF…" of the plan window: the as-built documentation of the whole plan as
// the window holds it (edits not yet saved included), from the plan alone, no network.
#include <QDate>

#include "config/asbuilt.h"
#include "doc/asbuiltpdf.h"
#include "plansteps.h"
#include "planwin.h"
#include "platform.h"

void TPlanWin::DocPdfBtnClick() {
  SyncCurrent();
  const QString path =
      host_.SaveFileName(this, QStringLiteral("dokumentacja.pdf"),
                         QStringLiteral("Dokumentacja PDF (*.pdf)"), QStringLiteral("pdf"));
  if (path.isEmpty()) return;
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
  if (!WriteAsBuiltPdf(doc, FileNameBytes(path), why)) {
    Error(QStringLiteral("Nie zapisano dokumentacji: ") + FileMessage(why));
    return;
  }
  Info(QStringLiteral("Zapisano dokumentację planu: ") + path);
}
