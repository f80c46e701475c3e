// feldaro-cli: discovery, reading, reports, configuration archives, comparison and restore
// from the command line. Exit status: 0 success, 1 failure (or, for diff, a difference),
// 2 usage error.
#include <cstring>
#include <iostream>

#include "cli.h"

namespace {

const char* const kProgram =
    "Użycie: feldaro-cli POLECENIE [opcje]\n"
    "\n"
    "Polecenia:\n"
    "  list [--json]                         wyszukuje urządzenia w sieci\n"
    "  show URZ [--json]                     odczytuje i pokazuje konfigurację kontrolera\n"
    "  report URZ -o PLIK [--location TEKST] raport konfiguracji (jak przycisk \"Raport\")\n"
    "  report --all -o KATALOG               raport każdego czytelnego kontrolera\n"
    "  backup URZ -o PLIK.json               archiwum konfiguracji\n"
    "  backup --all -o KATALOG               archiwum każdego czytelnego kontrolera\n"
    "  diff PLIK.json URZ                    różnice między archiwum a kontrolerem\n"
    "  restore PLIK.json URZ [--map STARE=NOWE ...] [--dry-run] [--yes]\n"
    "                                        zapisuje przejścia z archiwum do kontrolera\n"
    "  site capture -o PLAN.json [--name TEKST] [--location TEKST]\n"
    "                                        plan obiektu z każdego czytelnego kontrolera\n"
    "  site check PLAN.json [--json]         porównuje sieć z planem obiektu\n"
    "  site apply PLAN.json [URZ ...] [--map STARE=NOWE ...] [--dry-run] [--yes]\n"
    "                                        doprowadza kontrolery do zgodności z planem\n"
    "  doc (URZ | --all | --plan PLAN.json) -o PLIK.pdf [--installer TEKST] [--location TEKST]\n"
    "                                        dokumentacja powykonawcza (PDF)\n"
    "\n"
    "URZ to nazwa urządzenia (np. K27_00005) albo jego adres IPv4.\n"
    "feldaro-cli POLECENIE --help opisuje polecenie.\n"
    "Kod wyjścia: 0 sukces, 1 błąd (dla diff i site check: są różnice), 2 błędne użycie\n"
    "(dla site check także: kontroler nie do odczytu).\n"
    "Program używa portu UDP 45389, tak jak okno Feldaro: oba nie mogą działać naraz\n"
    "na jednym komputerze.\n";

struct Help {
  const char* command;
  const char* text;
};

const Help kHelp[] = {
    {"list",
     "Użycie: feldaro-cli list [--json]\n"
     "Wyszukuje urządzenia w sieci (rozgłoszenie, jak \"Przeszukaj sieć\") i wypisuje po jednym\n"
     "wierszu na urządzenie: nazwa, adres IP, stan.\n"
     "  --json   lista jako tablica JSON\n"},
    {"show",
     "Użycie: feldaro-cli show URZ [--json]\n"
     "Odczytuje kontroler (stan, sesja, lista urządzeń, przejścia) i wypisuje listę urządzeń\n"
     "magistrali oraz przypisania każdego przejścia w układzie raportu.\n"
     "  --json   ta sama treść co archiwum (backup)\n"},
    {"report",
     "Użycie: feldaro-cli report URZ -o PLIK [--location TEKST]\n"
     "       feldaro-cli report --all -o KATALOG [--location TEKST]\n"
     "Zapisuje raport konfiguracji, bajt w bajt taki jak zapisuje przycisk \"Raport\" okna.\n"
     "  -o, --output    plik raportu albo (z --all) katalog\n"
     "  --location      tekst lokalizacji w nagłówku raportu\n"
     "  --all           raport każdego kontrolera w trybie Serwis lub Instalacja, nazwany jak\n"
     "                  proponuje okno (data i nazwa kontrolera, rozszerzenie .txt)\n"},
    {"backup",
     "Użycie: feldaro-cli backup URZ -o PLIK.json [--location TEKST]\n"
     "       feldaro-cli backup --all -o KATALOG [--location TEKST]\n"
     "Zapisuje archiwum konfiguracji (JSON): kontroler, urządzenia magistrali, przejścia z\n"
     "przypisaniami wskazującymi urządzenia po identyfikatorze oraz surowe odpowiedzi 'D' i 'C'.\n"
     "  -o, --output    plik archiwum albo (z --all) katalog\n"
     "  --location      opis miejsca instalacji zapisany w archiwum\n"
     "  --all           archiwum każdego kontrolera w trybie Serwis lub Instalacja\n"},
    {"diff",
     "Użycie: feldaro-cli diff PLIK.json URZ\n"
     "Odczytuje kontroler i wypisuje, przejście po przejściu i funkcja po funkcji, co różni go\n"
     "od archiwum (archiwum -> kontroler). Kontroler z archiwum odpowiada kontrolerowi URZ.\n"
     "Kod wyjścia 0, gdy nie ma różnic, 1, gdy są.\n"},
    {"restore",
     "Użycie: feldaro-cli restore PLIK.json URZ [--map STARE=NOWE ...] [--dry-run] [--yes]\n"
     "Zapisuje przejścia z archiwum do kontrolera URZ (tego samego albo zastępczego).\n"
     "Każde urządzenie z archiwum musi być na kontrolerze (po identyfikatorze); kontroler z\n"
     "archiwum odpowiada kontrolerowi URZ. Przed zapisem konfiguracja jest budowana regułami\n"
     "edytora przejść; archiwum, które je łamie, jest odrzucane i nic nie jest wysyłane.\n"
     "Najpierw wypisuje zmiany, potem pyta o potwierdzenie, zapisuje i odczytuje kontrolnie.\n"
     "  --map STARE=NOWE  urządzenie z archiwum zastąpione nowym tego samego modelu\n"
     "  --dry-run         tylko sprawdza i wypisuje zmiany\n"
     "  --yes             bez pytania (wymagane, gdy wejście nie jest terminalem)\n"},
    {"site",
     "Użycie: feldaro-cli site capture -o PLAN.json [--name TEKST] [--location TEKST]\n"
     "       feldaro-cli site check PLAN.json [--json]\n"
     "       feldaro-cli site apply PLAN.json [URZ ...] [--map STARE=NOWE ...] [--dry-run] "
     "[--yes]\n"
     "Plan obiektu (JSON, \"format\": \"feldaro-site\") to zamierzona konfiguracja każdego\n"
     "kontrolera obiektu: dla każdego rekord archiwum (jak backup) i etykieta.\n"
     "capture  odczytuje każdy kontroler w trybie Serwis lub Instalacja do nowego planu;\n"
     "         podsumowanie \"N z M\", kod 1, gdy któregoś nie odczytano\n"
     "  -o, --output  plik planu\n"
     "  --name        nazwa obiektu\n"
     "  --location    adres obiektu (zapisany też w rekordzie każdego kontrolera)\n"
     "check    dla każdego kontrolera planu: \"zgodny\", \"różni się\" (z różnicami plan ->\n"
     "         kontroler, jak diff), \"brak w sieci\", \"nie do odczytu (tryb ...)\"; potem\n"
     "         kontrolery z sieci, których plan nie ma: \"spoza planu\"\n"
     "         kod 0: wszystkie zgodne, 1: różnice, 2: kontroler nie do odczytu lub błąd\n"
     "  --json        wynik jako dokument JSON\n"
     "apply    każdy kontroler planu, który się różni (albo tylko URZ ...), zapisuje jak\n"
     "         restore: zmiany, jedno potwierdzenie, świeży odczyt tuż przed zapisem (gdy\n"
     "         stan się zmienił, nic nie jest wysyłane), odczyt kontrolny; podsumowanie;\n"
     "         kod 1, gdy któregoś kontrolera nie doprowadzono do zgodności\n"
     "  --map STARE=NOWE  kontroler planu zastąpiony nowym tego samego modelu albo urządzenie\n"
     "                    magistrali zastąpione nowym tego samego modelu\n"
     "  --dry-run         tylko sprawdza i wypisuje zmiany\n"
     "  --yes             bez pytania (wymagane, gdy wejście nie jest terminalem)\n"},
    {"doc",
     "Użycie: feldaro-cli doc URZ -o PLIK.pdf [--installer TEKST] [--location TEKST]\n"
     "       feldaro-cli doc --all -o PLIK.pdf [...]\n"
     "       feldaro-cli doc --plan PLAN.json -o PLIK.pdf [...]\n"
     "Dokumentacja powykonawcza w PDF: strona tytułowa, spis treści, a dla każdego kontrolera\n"
     "dane, urządzenia magistrali, przejścia i lista połączeń (każde wyjście, wejście i czytnik\n"
     "każdego urządzenia z przejściem i funkcją, którym służy, oraz wolne).\n"
     "Kontroler, którego nie da się odczytać, jest wymieniony na stronie tytułowej z powodem;\n"
     "dokument powstaje mimo to, a kod wyjścia to 1.\n"
     "  -o, --output    plik PDF (zastępowany w całości); \"-\" to standardowe wyjście\n"
     "  --all           każdy kontroler w sieci\n"
     "  --plan PLAN     kontrolery planu obiektu, bez sieci (nazwa, adres i instalator z planu)\n"
     "  --installer     instalator na stronie tytułowej\n"
     "  --location      adres obiektu na stronie tytułowej\n"},
};

const char* HelpOf(const std::string& command) {
  for (const Help& h : kHelp)
    if (command == h.command) return h.text;
  return nullptr;
}

[[noreturn]] void Usage(const std::string& command, const std::string& why) {
  throw CliError{why + "\n" + (HelpOf(command) ? HelpOf(command) : kProgram), 2};
}

void CheckMaps(const Args& a) {
  for (const std::string& m : a.maps)
    if (m.find('=') == std::string::npos || m.front() == '=' || m.back() == '=')
      Usage(a.command, "--map oczekuje STARE=NOWE, np. R05_00101=R05_00109");
}

// site capture | check | apply: the options each takes and its operands.
Args ParseSite(Args& a) {
  const std::string sub = a.positional.empty() ? "" : a.positional[0];
  auto only = [&](bool ok, const char* opt) {
    if (!ok) Usage("site", "polecenie site " + sub + " nie przyjmuje opcji " + opt);
  };
  if (sub != "capture" && sub != "check" && sub != "apply")
    Usage("site", sub.empty() ? "brak polecenia site (capture, check, apply)"
                              : "nieznane polecenie site: " + sub);
  only(!a.all, "--all");
  only(!a.json || sub == "check", "--json");
  only(a.output.empty() || sub == "capture", "-o");
  only(a.location.empty() || sub == "capture", "--location");
  only(!a.hasName || sub == "capture", "--name");
  only(a.maps.empty() || sub == "apply", "--map");
  only((!a.dryRun && !a.yes) || sub == "apply", a.dryRun ? "--dry-run" : "--yes");
  const size_t n = a.positional.size();
  if (sub == "capture") {
    if (a.output.empty()) Usage("site", "brak opcji -o");
    if (n != 1) Usage("site", "za dużo argumentów");
  } else if (sub == "check" && n != 2) {
    Usage("site", n < 2 ? "za mało argumentów" : "za dużo argumentów");
  } else if (sub == "apply" && n < 2) {
    Usage("site", "za mało argumentów");
  }
  CheckMaps(a);
  return a;
}

Args Parse(int argc, char** argv) {
  Args a;
  if (argc < 2) Usage("", "brak polecenia");
  a.command = argv[1];
  if (a.command == "-h" || a.command == "--help" || a.command == "help") {
    a.help = true;
    if (argc > 2) a.command = argv[2];
    return a;
  }
  if (a.command == "--version") return a;
  if (!HelpOf(a.command)) Usage("", "nieznane polecenie: " + a.command);
  for (int i = 2; i < argc; ++i) {
    const std::string o = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a.command, "opcja " + o + " wymaga wartości");
      return argv[++i];
    };
    if (o == "-h" || o == "--help") {
      a.help = true;
    } else if (o == "--json") {
      a.json = true;
    } else if (o == "--all") {
      a.all = true;
    } else if (o == "--dry-run") {
      a.dryRun = true;
    } else if (o == "--yes" || o == "-y") {
      a.yes = true;
    } else if (o == "-o" || o == "--output") {
      a.output = value();
    } else if (o == "--location") {
      a.location = value();
    } else if (o == "--name") {
      a.name = value();
      a.hasName = true;
    } else if (o == "--installer") {
      a.installer = value();
    } else if (o == "--plan") {
      a.plan = value();
    } else if (o == "--map") {
      a.maps.push_back(value());
    } else if (o.size() > 1 && o[0] == '-') {
      Usage(a.command, "nieznana opcja: " + o);
    } else {
      a.positional.push_back(o);
    }
  }
  if (a.help) return a;
  // Which options each command takes, and how many operands.
  const std::string& c = a.command;
  auto only = [&](bool ok, const char* opt) {
    if (!ok) Usage(c, std::string("polecenie ") + c + " nie przyjmuje opcji " + opt);
  };
  if (c == "site") return ParseSite(a);
  only(!a.json || c == "list" || c == "show", "--json");
  const bool doc = c == "doc";
  only(!a.all || c == "report" || c == "backup" || doc, "--all");
  only(a.output.empty() || c == "report" || c == "backup" || doc, "-o");
  only(a.location.empty() || c == "report" || c == "backup" || doc, "--location");
  only(a.installer.empty() || doc, "--installer");
  only(a.plan.empty() || doc, "--plan");
  only(!a.hasName, "--name");
  only(a.maps.empty() || c == "restore", "--map");
  only((!a.dryRun && !a.yes) || c == "restore", a.dryRun ? "--dry-run" : "--yes");
  size_t want = 0;
  if (c == "show") want = 1;
  if (c == "report" || c == "backup") {
    want = a.all ? 0 : 1;
    if (a.output.empty()) Usage(c, "brak opcji -o");
  }
  if (c == "diff" || c == "restore") want = 2;
  if (doc) {
    if (a.all && !a.plan.empty()) Usage(c, "--all i --plan wykluczają się");
    want = a.all || !a.plan.empty() ? 0 : 1;
    if (a.output.empty()) Usage(c, "brak opcji -o");
  }
  if (a.positional.size() != want)
    Usage(c, a.positional.size() < want ? "za mało argumentów" : "za dużo argumentów");
  CheckMaps(a);
  return a;
}

void OnSignal(int) {
  gInterrupted = 1;
}

int Run(const Args& a) {
  LinkSlot link;
  try {
    const std::string& c = a.command;
    if (c == "list") return CmdList(link, a);
    if (c == "show") return CmdShow(link, a);
    if (c == "report") return CmdReport(link, a);
    if (c == "backup") return CmdBackup(link, a);
    if (c == "diff") return CmdDiff(link, a);
    if (c == "site") return CmdSite(link, a);
    if (c == "doc") return CmdDoc(link, a);
    return CmdRestore(link, a);
  } catch (const UErr& e) {
    // The device record is still alive here: the link closes after the message.
    std::cerr << ErrorText(e);
  } catch (const CliError& e) {
    std::cerr << "feldaro-cli: " << e.text << "\n";
    return e.code;
  } catch (const std::exception& e) {
    std::cerr << "feldaro-cli: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  try {
    a = Parse(argc, argv);
  } catch (const CliError& e) {
    std::cerr << "feldaro-cli: " << e.text;
    return e.code;
  }
  if (a.command == "--version") {
    std::cout << "feldaro-cli (Feldaro " FELDARO_VERSION ")\n";
    return 0;
  }
  if (a.help) {
    const char* h = HelpOf(a.command);
    std::cout << (h ? h : kProgram);
    return 0;
  }
  // Ctrl-C and SIGTERM end the command at its next safe point; the sessions it opened are
  // ended on the way out. No SA_RESTART: a prompt waiting for input returns at once.
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int rc = Run(a);
  if (gInterrupted && rc == 0) return 1;
  return rc;
}
