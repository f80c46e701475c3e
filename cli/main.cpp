// feldaro-cli: discovery, reading, reports, configuration archives, comparison, restore and
// the site plan from the command line. Exit status: 0 success, 1 failure (for diff: a difference),
// 2 usage error (for diff: any trouble), 130 interrupted.
#include <cctype>
#include <cstring>
#include <iostream>

#include "cli.h"
#include "console.h"

namespace {

const char* const kExitTable =
    "Kod wyjścia:\n"
    "  0    sukces; diff: brak różnic\n"
    "  1    błąd (nic nie zapisano albo zapis się nie powiódł); diff: są różnice\n"
    "  2    błędne użycie; diff: kłopot (archiwum odrzucone, kontroler nie odpowiada)\n"
    "       site check: 0 wszystkie zgodne, 1 różnice, 2 kontroler nie do odczytu albo kłopot\n"
    "       site capture: 1, gdy któregoś kontrolera nie odczytano; site apply: 1, gdy\n"
    "       któregoś nie doprowadzono do zgodności z planem\n"
    "  130  przerwano (Ctrl-C, SIGTERM); ostatni wiersz mówi, co zostało zrobione\n";

const char* const kProgram =
    "Użycie: feldaro-cli POLECENIE [opcje] [--] [argumenty]\n"
    "\n"
    "Polecenia:\n"
    "  list [--json]                         wyszukuje urządzenia w sieci\n"
    "  show URZ [--json]                     odczytuje i pokazuje konfigurację kontrolera\n"
    "  report URZ -o PLIK [--location TEKST] raport konfiguracji (jak przycisk \"Raport\")\n"
    "  report --all -o KATALOG [--force]     raport każdego kontrolera\n"
    "  backup URZ -o PLIK.json               archiwum konfiguracji\n"
    "  backup --all -o KATALOG [--force]     archiwum każdego kontrolera\n"
    "  diff PLIK.json URZ [--json]           różnice: kontroler -> archiwum\n"
    "  restore PLIK.json URZ [--map STARE=NOWE ...] [--other-model] [--dry-run [--json]] [--yes]\n"
    "                                        zapisuje przejścia z archiwum do kontrolera\n"
    "  site capture -o PLAN.json [--name TEKST] [--location TEKST]\n"
    "                                        plan obiektu z każdego czytelnego kontrolera\n"
    "  site check PLAN.json [--json]         porównuje sieć z planem obiektu\n"
    "  site apply PLAN.json [URZ ...] [--map STARE=NOWE ...] [--dry-run] [--yes]\n"
    "                                        doprowadza kontrolery do zgodności z planem\n"
    "  doc (URZ | --all | --plan PLAN.json) -o PLIK.pdf [--installer TEKST] [--location TEKST]\n"
    "                                        dokumentacja powykonawcza (PDF)\n"
    "  help [POLECENIE]                      opis programu albo polecenia\n"
    "\n"
    "URZ to nazwa urządzenia (np. K27_00005, wielkość liter dowolna) albo jego adres IPv4.\n"
    "PLIK \"-\" to standardowe wyjście (-o) albo standardowe wejście (archiwum).\n"
    "Opcje z wartością przyjmują też postać --output=PLIK; \"--\" kończy opcje.\n"
    "-V, --version podaje wersję; feldaro-cli help POLECENIE opisuje polecenie.\n"
    "Każde wyszukiwanie wysyła ramkę czasu, która ustawia zegary wszystkich urządzeń\n"
    "w segmencie sieci, tak jak okno Feldaro.\n"
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
     "       feldaro-cli report --all -o KATALOG [--location TEKST] [--force]\n"
     "Zapisuje raport konfiguracji, bajt w bajt taki jak zapisuje przycisk \"Raport\" okna.\n"
     "  -o, --output    plik raportu (\"-\": standardowe wyjście) albo (z --all) katalog\n"
     "  --location      tekst lokalizacji w nagłówku raportu\n"
     "  --all           raport każdego kontrolera w sieci, plik RRRR-MM-DD_NAZWA.txt; kończy\n"
     "                  wierszem \"zapisano N z M; pominięto: ...\" (kod 1, gdy coś pominięto)\n"
     "  --force         z --all: zastępuje wcześniejsze pliki o tej samej nazwie\n"},
    {"backup",
     "Użycie: feldaro-cli backup URZ -o PLIK.json [--location TEKST]\n"
     "       feldaro-cli backup --all -o KATALOG [--location TEKST] [--force]\n"
     "Zapisuje archiwum konfiguracji (JSON): kontroler, urządzenia magistrali, przejścia z\n"
     "przypisaniami wskazującymi urządzenia po identyfikatorze oraz surowe odpowiedzi 'D' i 'C'.\n"
     "  -o, --output    plik archiwum (\"-\": standardowe wyjście) albo (z --all) katalog\n"
     "  --location      opis miejsca instalacji zapisany w archiwum\n"
     "  --all           archiwum każdego kontrolera w sieci, plik RRRR-MM-DD_NAZWA.json;\n"
     "                  kończy wierszem \"zapisano N z M; pominięto: ...\"\n"
     "  --force         z --all: zastępuje wcześniejsze pliki o tej samej nazwie\n"},
    {"diff",
     "Użycie: feldaro-cli diff PLIK.json URZ [--json]\n"
     "Odczytuje kontroler i wypisuje, przejście po przejściu i funkcja po funkcji, co różni go\n"
     "od archiwum: to, co ma kontroler -> to, co miałby po restore. Kontroler z archiwum\n"
     "odpowiada kontrolerowi URZ.\n"
     "  --json   różnice jako obiekt JSON (opis w feldaro-cli(1))\n"
     "Kod wyjścia 0, gdy nie ma różnic, 1, gdy są, 2 przy kłopocie.\n"},
    {"restore",
     "Użycie: feldaro-cli restore PLIK.json URZ [--map STARE=NOWE ...] [--other-model]\n"
     "                            [--dry-run [--json]] [--yes]\n"
     "Zapisuje przejścia z archiwum do kontrolera URZ (tego samego albo zastępczego).\n"
     "Każde urządzenie z archiwum musi być na kontrolerze (po identyfikatorze); kontroler z\n"
     "archiwum odpowiada kontrolerowi URZ. Przed zapisem konfiguracja jest budowana regułami\n"
     "edytora przejść; archiwum, które je łamie, jest odrzucane i nic nie jest wysyłane.\n"
     "Najpierw wypisuje zmiany (kontroler teraz -> po zapisie), potem pyta o potwierdzenie,\n"
     "przed zapisem odczytuje kontroler ponownie (gdy coś się zmieniło, pokazuje nową listę\n"
     "zmian i pyta znowu), zapisuje i odczytuje kontrolnie. Gdy nie ma zmian, nic nie zapisuje.\n"
     "  --map STARE=NOWE  urządzenie z archiwum zastąpione nowym tego samego modelu (jedno za\n"
     "                    jedno; nie na urządzenie, które archiwum samo przypisuje)\n"
     "  --other-model     zgoda na archiwum kontrolera innego modelu\n"
     "  --dry-run         tylko sprawdza i wypisuje zmiany\n"
     "  --json            z --dry-run: zmiany jako obiekt JSON (opis w feldaro-cli(1))\n"
     "  --yes             bez pytania (wymagane, gdy wejście nie jest terminalem); gdy\n"
     "                    kontroler zmienił się między odczytami, nic nie zapisuje (kod 1)\n"},
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
     "         kod 0: wszystkie zgodne, 1: różnice, 2: kontroler nie do odczytu\n"
     "         albo sprawdzenie się nie odbyło (plan odrzucony, port zajęty)\n"
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

// A command's help with the exit codes, which every command shares.
std::string HelpText(const std::string& command) {
  const char* h = HelpOf(command);
  return std::string(h ? h : kProgram) + (h ? "\n" : "\n") + kExitTable;
}

[[noreturn]] void Usage(const std::string& command, const std::string& why) {
  const std::string see = HelpOf(command) ? "feldaro-cli help " + command : "feldaro-cli --help";
  throw CliError{why + " (" + see + " opisuje użycie)", kExitUsage};
}

bool WantsVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string o = argv[i];
    if (o == "--") return false;
    if (o == "-V" || o == "--version") return true;
  }
  return false;
}

// Each --map as OLD=NEW of two device names, written in capitals from here on (r05_00101
// names the same device as R05_00101).
void CheckMaps(Args& a) {
  for (std::string& m : a.maps) {
    const size_t eq = m.find('=');
    if (eq == std::string::npos || m.find('=', eq + 1) != std::string::npos)
      Usage(a.command, "--map oczekuje STARE=NOWE, np. R05_00101=R05_00109");
    std::string from = m.substr(0, eq), to = m.substr(eq + 1);
    for (const std::string* half : {&from, &to})
      if (!IsDevName(*half))
        Usage(a.command, "--map oczekuje STARE=NOWE, np. R05_00101=R05_00109; \"" + *half +
                             "\" nie jest nazwą urządzenia");
    for (std::string* half : {&from, &to})
      for (char& ch : *half) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    m = from + "=" + to;
  }
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
  only(!a.force, "--force");
  only(!a.otherModel, "--other-model");
  only(!a.json || sub == "check", "--json");
  only(a.output.empty() || sub == "capture", "-o");
  only(a.location.empty() || sub == "capture", "--location");
  only(!a.hasName || sub == "capture", "--name");
  only(a.maps.empty() || sub == "apply", "--map");
  only((!a.dryRun && !a.yes) || sub == "apply", a.dryRun ? "--dry-run" : "--yes");
  const size_t n = a.positional.size();
  if (sub == "capture") {
    if (a.output.empty()) Usage("site", "brak opcji -o");
    if (a.output == "-") Usage("site", "plan zapisywany jest do pliku, nie \"-\"");
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
    a.command.clear();
    if (argc > 3) Usage("", "help przyjmuje najwyżej jedno polecenie");
    if (argc == 3) {
      a.command = argv[2];
      if (!HelpOf(a.command)) Usage("", "nieznane polecenie: " + a.command);
    }
    return a;
  }
  if (!HelpOf(a.command)) Usage("", "nieznane polecenie: " + a.command);
  std::set<std::string> given;  // options that take one value
  bool options = true;
  for (int i = 2; i < argc; ++i) {
    std::string o = argv[i];
    if (!options || o == "-" || o.empty() || o[0] != '-') {
      a.positional.push_back(o);
      continue;
    }
    if (o == "--") {
      options = false;
      continue;
    }
    // --output=FILE and the like.
    std::optional<std::string> inline_;
    if (o.rfind("--", 0) == 0 && o.find('=') != std::string::npos) {
      inline_ = o.substr(o.find('=') + 1);
      o = o.substr(0, o.find('='));
    }
    auto value = [&]() -> std::string {
      if (inline_) return *inline_;
      if (i + 1 >= argc) Usage(a.command, "opcja " + o + " wymaga wartości");
      return argv[++i];
    };
    auto once = [&](const std::string& name, std::string& into) {
      if (!given.insert(name).second) Usage(a.command, "opcja " + name + " podana dwa razy");
      into = value();
      if (into.empty()) Usage(a.command, "opcja " + name + " wymaga wartości");
    };
    auto flag = [&](bool& into) {
      if (inline_) Usage(a.command, "opcja " + o + " nie przyjmuje wartości");
      into = true;
    };
    if (o == "-h" || o == "--help") {
      flag(a.help);
    } else if (o == "--json") {
      flag(a.json);
    } else if (o == "--all") {
      flag(a.all);
    } else if (o == "--dry-run") {
      flag(a.dryRun);
    } else if (o == "--yes" || o == "-y") {
      flag(a.yes);
    } else if (o == "--force") {
      flag(a.force);
    } else if (o == "--other-model") {
      flag(a.otherModel);
    } else if (o == "-o" || o == "--output") {
      once("-o", a.output);
    } else if (o == "--location") {
      once("--location", a.location);
    } else if (o == "--name") {
      once("--name", a.name);
      a.hasName = true;
    } else if (o == "--installer") {
      once("--installer", a.installer);
    } else if (o == "--plan") {
      once("--plan", a.plan);
    } else if (o == "--map") {
      a.maps.push_back(value());
    } else {
      Usage(a.command, "nieznana opcja: " + o);
    }
  }
  if (a.help) return a;
  // Which options each command takes, and how many operands.
  const std::string& c = a.command;
  if (c == "site") return ParseSite(a);
  auto only = [&](bool ok, const char* opt) {
    if (!ok) Usage(c, std::string("polecenie ") + c + " nie przyjmuje opcji " + opt);
  };
  only(!a.hasName, "--name");
  only(!a.json || c == "list" || c == "show" || c == "diff" || c == "restore", "--json");
  const bool doc = c == "doc";
  only(!a.all || c == "report" || c == "backup" || doc, "--all");
  only(a.output.empty() || c == "report" || c == "backup" || doc, "-o");
  only(a.location.empty() || c == "report" || c == "backup" || doc, "--location");
  only(a.installer.empty() || doc, "--installer");
  only(a.plan.empty() || doc, "--plan");
  only(a.maps.empty() || c == "restore", "--map");
  only(!a.dryRun || c == "restore", "--dry-run");
  only(!a.yes || c == "restore", "--yes");
  only(!a.otherModel || c == "restore", "--other-model");
  only(!a.force || c == "report" || c == "backup", "--force");
  if (c == "restore" && a.json && !a.dryRun) Usage(c, "--json tylko z --dry-run");
  if (a.force && !a.all)
    Usage(c, "--force tylko z --all (plik podany w -o jest zastępowany zawsze)");
  size_t want = 0;
  if (c == "show") want = 1;
  if (c == "report" || c == "backup") {
    want = a.all ? 0 : 1;
    if (a.output.empty()) Usage(c, "brak opcji -o");
    if (a.all && a.output == "-") Usage(c, "z --all opcja -o wskazuje katalog, nie \"-\"");
  }
  if (c == "diff" || c == "restore") want = 2;
  if (doc) {
    if (a.all && !a.plan.empty()) Usage(c, "--all i --plan wykluczają się");
    want = a.all || !a.plan.empty() ? 0 : 1;
    if (a.output.empty()) Usage(c, "brak opcji -o");
  }
  if (a.positional.size() != want)
    Usage(c, a.positional.size() < want ? "za mało argumentów" : "za dużo argumentów");
  if ((c == "diff" || c == "restore") && a.positional[1] == "-")
    Usage(c, "\"-\" może zastąpić plik archiwum, nie urządzenie");
  CheckMaps(a);
  return a;
}

int Run(const Args& a) {
  LinkSlot link;
  const std::string& c = a.command;
  // diff and site check tell "different" by 1, so any trouble there is 2.
  const bool check = c == "site" && a.positional[0] == "check";
  const int fail = c == "diff" || check ? kExitUsage : kExitFail;
  try {
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
    if (!gInterrupted) std::cerr << "feldaro-cli: " << LinkErrorLine(e) << "\n";
  } catch (const CliError& e) {
    if (e.code == kExitInterrupted || gInterrupted) return kExitInterrupted;
    std::cerr << "feldaro-cli: " << e.text << "\n";
    return e.code == kExitUsage ? kExitUsage : fail;
  } catch (const std::exception& e) {
    if (!gInterrupted) std::cerr << "feldaro-cli: " << e.what() << "\n";
  }
  return fail;
}

}  // namespace

int main(int argc, char** argv) {
  ConsoleOpen();
  std::vector<std::string> line = CommandLineUtf8(argc, argv);
  std::vector<char*> args;
  for (std::string& s : line) args.push_back(s.data());
  args.push_back(nullptr);
  argc = int(line.size());
  argv = args.data();
  if (WantsVersion(argc, argv)) {
    std::cout << "feldaro-cli (Feldaro " FELDARO_VERSION ")\n";
    return kExitOk;
  }
  Args a;
  try {
    a = Parse(argc, argv);
  } catch (const CliError& e) {
    std::cerr << "feldaro-cli: " << e.text << "\n";
    return e.code;
  }
  if (a.help) {
    std::cout << HelpText(a.command);
    return kExitOk;
  }
  // Ctrl-C (and SIGTERM, Ctrl-Break) end the command at its next safe point; the sessions it
  // opened are ended on the way out.
  WatchInterrupts();
  const bool writes = a.command == "report" || a.command == "backup" || a.command == "restore" ||
                      (a.command == "site" && a.positional[0] != "check");
  SetProgress(writes ? "nic nie zapisano" : "nic nie zmieniono");
  const int rc = Run(a);
  if (gInterrupted) {
    // Sessions are ended by now; one line says where the command stood.
    std::cerr << "\nfeldaro-cli: przerwano; " << Progress() << ".\n";
    return kExitInterrupted;
  }
  return rc;
}
