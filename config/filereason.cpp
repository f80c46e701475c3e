// The system's reasons in Polish.
#include "filereason.h"

#include <cerrno>

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
    case ENETUNREACH:
      return "sieć jest nieosiągalna (komputer nie ma połączenia z siecią)";
    case ENETDOWN:
      return "sieć jest wyłączona";
    case EHOSTUNREACH:
      return "adres jest nieosiągalny";
    case EADDRINUSE:
      return "port jest już zajęty";
    case EADDRNOTAVAIL:
      return "adres nie jest dostępny na tym komputerze";
    case ENOBUFS:
    case ENOMEM:
      return "brak pamięci systemu";
    default:
      return "błąd systemu nr " + std::to_string(errnum);
  }
}

std::string FileReason(const std::string& path, const std::string& error, int errnum) {
  if (errnum) return SystemReason(errnum);
  const std::string prefix = path + ": ";
  return error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
}
