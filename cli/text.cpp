// feldaro-cli: texts shared by the commands: system reasons and link errors in Polish, each
// on one line with what to do next.
#include <cerrno>
#include <cstring>

#include "cli.h"
#include "config/devname.h"
#include "restore.h"

const char* const kListHint = "(feldaro-cli list pokaże urządzenia w sieci)";

std::string SystemReason(int errnum) {
  switch (errnum) {
    case EACCES:
    case EPERM:
      return "brak uprawnień";
    case ENOENT:
      return "nie ma takiego pliku ani katalogu";
    case ENOTDIR:
      return "część ścieżki nie jest katalogiem";
    case EISDIR:
      return "to katalog, nie plik";
    case ENOSPC:
      return "brak miejsca na dysku";
#ifdef EDQUOT  // no disk quotas on Windows
    case EDQUOT:
      return "przekroczony przydział miejsca na dysku";
#endif
    case EROFS:
      return "system plików tylko do odczytu";
    case EFBIG:
      return "plik za duży";
    case ENAMETOOLONG:
      return "za długa nazwa pliku";
    case ELOOP:
      return "pętla dowiązań symbolicznych";
    case EIO:
      return "błąd wejścia-wyjścia";
    case EEXIST:
      return "plik już istnieje";
    default:
      return std::strerror(errnum);
  }
}

std::string FileReason(const std::string& path, const std::string& error, int errnum) {
  if (errnum) return SystemReason(errnum);
  const std::string prefix = path + ": ";
  return error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
}

std::string LinkErrorLine(const UErr& e) {
  std::string who = e.dev ? DevName(e.dev->id) + " (" + e.dev->ModeText() + "): " : "";
  std::string cmd;
  if (e.cmd != 0) cmd = std::string(" (rozkaz '") + e.cmd + "')";
  std::string text;
  switch (e.code) {
    case 1:
      text = "urządzenie nie odpowiada. Sprawdź zasilanie i połączenie " + std::string(kListHint);
      break;
    case 2:
      text =
          "kontroler ma obcą sesję (inna kopia programu, np. okno Feldaro na innym komputerze, "
          "albo sesja z poprzedniego uruchomienia). Zamknij tamten program albo poczekaj około "
          "30 s i spróbuj ponownie";
      break;
    case 3:
      text = "odmowa nawiązania sesji. Spróbuj ponownie za chwilę";
      break;
    case 4:
      text =
          "błąd podpisu ramki. Spróbuj ponownie; gdy się powtarza, sprawdź, czy nikt inny "
          "nie łączy się z kontrolerem";
      break;
    case 5:
      text = "odpowiedź dłuższa od oczekiwanej. Spróbuj ponownie";
      break;
    case 6:
      text = "brak odpowiedzi na rozkaz" + cmd + ". Sprawdź połączenie i spróbuj ponownie";
      cmd.clear();
      break;
    case 7:
      text = "brak potwierdzenia rozkazu" + cmd +
             "; nie wiadomo, czy kontroler go wykonał. Sprawdź stan poleceniem "
             "feldaro-cli show";
      cmd.clear();
      break;
    case 8:
      text = "błąd rozmiaru bufora w programie";
      break;
    case 9:
      text =
          "kontroler nie pozwala odczytać ustawień przejść. Ustaw go w tryb „Serwis” albo "
          "„Instalacja”";
      break;
    default:
      text = "błąd nr " + std::to_string(e.code);
      break;
  }
  return who + "błąd nr " + std::to_string(e.code) + cmd + ": " + text + ".";
}

std::string EncodingOnlyLine(const std::string& ctrlName) {
  return "Przejścia się nie zmienią: zapis zmieni w " + ctrlName +
         " tylko sposób zakodowania przypisań.";
}

std::vector<std::string> PlanText(const RestorePlan& plan, const Archive& arc) {
  const std::string name = DevName(plan.ctrl);
  std::vector<std::string> out;
  if (plan.changes.empty()) {
    // The list compares the meaning; the write decision compares the bytes.
    out.push_back(plan.write ? EncodingOnlyLine(name)
                             : "Brak zmian: " + name + " ma już konfigurację przejść z archiwum.");
  } else {
    out.push_back("Zmiany (kontroler " + name + " teraz -> po zapisie, archiwum " +
                  DevName(arc.ctrlId) + " z " + arc.created + "):");
    for (const std::string& l : ChangeLines(plan.changes)) out.push_back(l);
    if (!plan.write) out.push_back("Zapis nic nie zmieni w konfiguracji kontrolera.");
  }
  for (const std::string& n : plan.notes) out.push_back(n);
  return out;
}
