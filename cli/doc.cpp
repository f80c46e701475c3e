// feldaro-cli doc: the as-built documentation (PDF) of one controller, of every controller
// on the segment, or of a site plan. A controller that cannot be read is documented as
// missing, with the reason, on the cover page; the document is still made and the exit
// status is 1.
#include <ctime>
#include <iostream>

#include "cli.h"
#include "config/asbuilt.h"
#include "config/devname.h"
#include "config/plan.h"
#include "config/sysfile.h"
#include "console.h"
#include "doc/asbuiltpdf.h"

namespace {

std::string TodayText() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  LocalTm(t, tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

DocIdentity IdentOf(const UdpDev& d) {
  return DocIdentity{d.id, d.IpText(), d.status & 3, ""};
}

// What one read gives the document, and, when it failed, the line for standard error and
// the short reason for the closing line.
struct DocRead {
  DocController doc;
  std::string errLine, shortWhy;
};

DocRead FromRead(const CtrlRead& r) {
  const UdpDev& d = *r.dev;
  if (r.ok) return DocRead{BuildControllerDoc(*r.read.cfg, IdentOf(d)), "", ""};
  const std::string name = DevName(d.id);
  if (r.unreadable && r.errorCode == 0) {
    const std::string why =
        "tryb " + r.modeText + "; konfigurację można odczytać tylko w trybie Serwis lub Instalacja";
    return DocRead{MissingControllerDoc(IdentOf(d), why), "nie odczytano " + name + ": " + why,
                   "tryb " + r.modeText};
  }
  // The document keeps the link's full text; standard error gets one line.
  return DocRead{MissingControllerDoc(IdentOf(d), r.error),
                 r.errorLine.empty() ? "nie odczytano " + name + ": " + r.error : r.errorLine,
                 r.errorCode ? "błąd nr " + std::to_string(r.errorCode) : r.error};
}

}  // namespace

int CmdDoc(LinkSlot& slot, const Args& a) {
  // A PDF on a terminal is noise that can upset it: standard output only when redirected.
  if (a.output == "-" && StdoutIsTerminal())
    throw CliError{
        "PDF nie trafi na terminal: przekieruj wyjście (-o - > PLIK.pdf) albo podaj "
        "-o PLIK.pdf",
        2};
  AsBuiltDoc doc;
  std::vector<std::string> errLines, skipped;  // controllers not read
  doc.site.date = TodayText();
  doc.site.tool = "Feldaro " FELDARO_VERSION;
  if (!a.plan.empty()) {
    // The plan documents what it holds: no network.
    SitePlan plan;
    std::string err;
    int en = 0;
    if (!LoadPlan(a.plan, plan, err, &en))
      throw CliError{"plan " + a.plan + " odrzucony: " + FileReason(a.plan, err, en)};
    doc.site.name = plan.site.name;
    doc.site.address = plan.site.address;
    doc.site.installer = plan.site.installer;
    for (const PlanCtrl& c : plan.ctrls)
      doc.controllers.push_back(ArchiveControllerDoc(c.arc, c.label));
  } else if (a.all) {
    // Every controller that answered, as backup --all reaches them: each read in its own
    // session at once; one that is left out or cannot be read is documented as missing.
    LinkCtx& link = OpenLink(slot);
    const std::vector<SeenDevice> seen = link.SearchAll();
    UdpDevSet& set = link.Set();
    std::vector<CtrlRead> reads;
    for (int i = 0; i < set.count; ++i)
      if (IsController(set.dev[i].id)) reads.emplace_back(&set.dev[i]);
    const std::vector<LeftOutCtrl> leftOut = ControllersLeftOut(set, seen);
    ReadControllers(reads, a.location, true);
    for (const CtrlRead& r : reads) {
      DocRead one = FromRead(r);
      if (!one.errLine.empty()) {
        errLines.push_back(one.errLine);
        skipped.push_back(DevName(r.dev->id) + " (" + one.shortWhy + ")");
      }
      doc.controllers.push_back(std::move(one.doc));
    }
    for (const LeftOutCtrl& c : leftOut) {
      doc.controllers.push_back(
          MissingControllerDoc(DocIdentity{c.id, c.address, -1, ""}, c.reason));
      errLines.push_back("nie odczytano " + DevName(c.id) + " (" + c.address + "): " + c.reason);
      skipped.push_back(c.text);
    }
    if (doc.controllers.empty())
      throw CliError{"nie znaleziono kontrolera w sieci " + std::string(kListHint) +
                     "; nie utworzono dokumentu."};
  } else {
    UdpDev& d = OpenLink(slot).Find(a.positional[0]);
    if (!IsController(d.id)) throw CliError{DevName(d.id) + " nie jest kontrolerem."};
    CtrlRead r(&d);
    ReadOneController(r, a.location, false);
    DocRead one = FromRead(r);
    if (!one.errLine.empty()) errLines.push_back(one.errLine);
    doc.controllers.push_back(std::move(one.doc));
  }
  CheckInterrupted();
  if (!a.installer.empty()) doc.site.installer = a.installer;
  if (!a.location.empty()) doc.site.address = a.location;

  std::string pdf, err;
  if (!RenderAsBuiltPdf(doc, pdf, err)) throw CliError{"nie można utworzyć dokumentu: " + err};
  std::ostream& info = a.output == "-" ? std::cerr : std::cout;
  if (a.output == "-") {
    std::cout.write(pdf.data(), std::streamsize(pdf.size()));
    std::cout.flush();
    if (!std::cout) throw CliError{"nie można zapisać dokumentu na standardowe wyjście"};
  } else {
    WriteOut(a.output, pdf);
  }
  const DocCounts n = CountDoc(doc);
  info << "zapisano " << (a.output == "-" ? "dokument" : a.output)
       << " (kontrolery: " << n.controllers << ", przejścia: " << n.passages
       << ", urządzenia magistrali: " << n.devices << ")\n";
  for (const std::string& l : errLines) std::cerr << "feldaro-cli: " << l << "\n";
  if (a.all && !skipped.empty()) {
    std::string line = "odczytano " + std::to_string(n.controllers - n.missing) + " z " +
                       std::to_string(n.controllers) + "; pominięto: ";
    for (size_t i = 0; i < skipped.size(); ++i) line += (i ? ", " : "") + skipped[i];
    std::cerr << line << "\n";
  }
  return n.missing ? 1 : 0;
}
