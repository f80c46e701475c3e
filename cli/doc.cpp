// feldaro-cli doc: the as-built documentation (PDF) of one controller, of every controller
// on the segment, or of a site plan. A controller that cannot be read is documented as
// missing, with the reason, on the cover page; the document is still made and the exit
// status is 1.
#include <unistd.h>

#include <ctime>
#include <iostream>

#include "cli.h"
#include "config/asbuilt.h"
#include "config/atomicfile.h"
#include "config/devname.h"
#include "config/plan.h"
#include "doc/asbuiltpdf.h"

namespace {

std::string TodayText() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

// The error's text without the device line, which the document shows beside it.
std::string Reason(const UErr& e) {
  UErr bare = e;
  bare.dev = nullptr;
  std::string s = ErrorText(bare);
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

DocIdentity IdentOf(const UdpDev& d) {
  return DocIdentity{d.id, d.IpText(), d.status & 3, ""};
}

// Reads one controller into the document; a failure to read makes it a missing one.
DocController ReadForDoc(UdpDev& d) {
  if ((d.status & 3) < 2)
    return MissingControllerDoc(IdentOf(d), "tryb " + d.ModeText() +
                                                "; konfigurację można odczytać tylko w trybie "
                                                "Serwis lub Instalacja");
  try {
    ReadCfg r;
    ReadController(d, r);
    return BuildControllerDoc(*r.cfg, IdentOf(d));
  } catch (const UErr& e) {
    return MissingControllerDoc(IdentOf(d), Reason(e));
  } catch (const CliError& e) {
    if (gInterrupted) throw;
    return MissingControllerDoc(IdentOf(d), e.text);
  }
}

}  // namespace

int CmdDoc(LinkSlot& slot, const Args& a) {
  // A PDF on a terminal is noise that can upset it: standard output only when redirected.
  if (a.output == "-" && isatty(STDOUT_FILENO))
    throw CliError{
        "PDF nie trafi na terminal: przekieruj wyjście (-o - > PLIK.pdf) albo podaj "
        "-o PLIK.pdf",
        2};
  AsBuiltDoc doc;
  doc.site.date = TodayText();
  doc.site.tool = "Feldaro " FELDARO_VERSION;
  if (!a.plan.empty()) {
    // The plan documents what it holds: no network.
    SitePlan plan;
    std::string err;
    if (!LoadPlan(a.plan, plan, err)) throw CliError{"plan " + a.plan + " odrzucony: " + err};
    doc.site.name = plan.site.name;
    doc.site.address = plan.site.address;
    doc.site.installer = plan.site.installer;
    for (const PlanCtrl& c : plan.ctrls)
      doc.controllers.push_back(ArchiveControllerDoc(c.arc, c.label));
  } else if (a.all) {
    LinkCtx& link = OpenLink(slot);
    link.Search(true);
    UdpDevSet& set = link.Set();
    for (int i = 0; i < set.count; ++i) {
      CheckInterrupted();
      UdpDev& d = set.dev[i];
      if (!IsController(d.id)) continue;
      doc.controllers.push_back(ReadForDoc(d));
      // One controller at a time: its session ends before the next one is read.
      try {
        d.EndSession();
      } catch (const UErr&) {
      }
    }
    if (doc.controllers.empty())
      throw CliError{"nie znaleziono kontrolera; nie utworzono dokumentu."};
  } else {
    UdpDev& d = OpenLink(slot).Find(a.positional[0]);
    if (!IsController(d.id)) throw CliError{DevName(d.id) + " nie jest kontrolerem."};
    doc.controllers.push_back(ReadForDoc(d));
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
  } else if (!WriteFileAtomically(a.output, pdf, err)) {
    throw CliError{"nie można zapisać pliku " + a.output + ": " + err};
  }
  const DocCounts n = CountDoc(doc);
  info << "zapisano " << (a.output == "-" ? "dokument" : a.output)
       << " (kontrolery: " << n.controllers << ", przejścia: " << n.passages
       << ", urządzenia magistrali: " << n.devices << ")\n";
  for (const DocController& c : doc.controllers)
    if (c.missing) std::cerr << "feldaro-cli: nie odczytano " << c.name << ": " << c.reason << "\n";
  return n.missing ? 1 : 0;
}
