// feldaro-cli commands: each finds its device by the window's search, reads it as the
// window's selection does and works on the same model.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocale>
#include <QString>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "config/archive.h"
#include "config/atomicfile.h"
#include "config/devname.h"
#include "config/report.h"

std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void CheckInterrupted() {
  if (gInterrupted) throw CliError{"przerwano; sesje z kontrolerami zostają zamknięte."};
}

// ------------------------------------------------------------------ the link

LinkCtx::LinkCtx() {
  if (!ep_.ok()) {
    if (ep_.error() == std::strerror(EADDRINUSE))
      throw CliError{
          "port UDP 45389 jest zajęty. Czy Feldaro jest otwarte? Okno Feldaro i "
          "feldaro-cli nie mogą działać jednocześnie na jednym komputerze; zamknij "
          "okno i spróbuj ponownie."};
    throw CliError{"nie można otworzyć portu UDP 45389: " + ep_.error()};
  }
  LinkSetEndpoint(&ep_);
  LinkSetClock(&clock_);
  set_ = std::make_unique<UdpDevSet>();
}

LinkCtx::~LinkCtx() {
  set_.reset();  // ends every session, last record first, while the socket is still open
  LinkSetEndpoint(nullptr);
  LinkSetClock(nullptr);
}

void LinkCtx::Search(bool late) {
  set_->Search();
  // Devices that answer after the search's own waits, as the window's next ticks take them.
  if (late) set_->Collect(700);
  searched_ = true;
  CheckInterrupted();
}

namespace {

bool IsIp(const std::string& s) {
  in_addr a{};
  return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool IsName(const std::string& s) {
  if (s.size() != 9 || s[3] != '_') return false;
  for (int i : {1, 2, 4, 5, 6, 7, 8})
    if (s[size_t(i)] < '0' || s[size_t(i)] > '9') return false;
  return true;
}

}  // namespace

UdpDev& LinkCtx::Find(const std::string& dev) {
  if (!IsIp(dev) && !IsName(dev))
    throw CliError{"\"" + dev + "\" nie jest nazwą urządzenia (np. K27_00005) ani adresem IPv4", 2};
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 0 && !searched_) Search(false);
    if (pass == 1) set_->Collect(700);
    for (int i = 0; i < set_->count; ++i) {
      UdpDev& d = set_->dev[i];
      if (DevName(d.id) == dev || d.IpText() == dev) return d;
    }
  }
  throw CliError{"nie znaleziono urządzenia " + dev + " w sieci."};
}

LinkCtx& OpenLink(LinkSlot& slot) {
  if (!slot) slot.emplace();
  return *slot;
}

void ReadController(UdpDev& dev, ReadCfg& out) {
  if (!IsController(dev.id)) throw CliError{DevName(dev.id) + " nie jest kontrolerem."};
  if (!dev.ReadStatus()) throw UErr(&dev, 1, 0);
  if (dev.Mode() < 2) throw UErr(&dev, 9, 0);
  CheckInterrupted();
  dev.EnsureSession();
  // Both answers first, as the window's read does; then the decoders.
  uint8_t d[kDevListSize], c[kCfgBufSize];
  const int nd = dev.Exchange('D', 0, nullptr, kDevListSize, d);
  CheckInterrupted();
  const int nc = dev.Exchange('C', 0, nullptr, kCfgBufSize, c);
  CtrlCfg& cfg = *out.cfg;
  std::memset(&cfg, 0, sizeof cfg);
  ClearCfg(cfg);
  if (!DecodeDevList(cfg, d, size_t(nd)) || !DecodeDoors(cfg, c, size_t(nc)))
    throw CliError{DevName(dev.id) +
                   " przysłał niepoprawną listę urządzeń lub konfigurację "
                   "przejść."};
  MarkUsedIo(cfg);
  out.rawDevList.assign(d, d + nd);
  out.rawDoors.assign(c, c + nc);
}

// ------------------------------------------------------------------ helpers

std::string UtcNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool IsDevName(const std::string& s) {
  return IsName(s);
}

bool IsIpv4(const std::string& s) {
  return IsIp(s);
}

bool ConfirmOnTerminal(const std::string& question) {
  if (!isatty(STDIN_FILENO)) return false;
  std::cerr << question << " [t/N] " << std::flush;
  std::string line;
  if (!std::getline(std::cin, line)) {
    CheckInterrupted();
    return false;
  }
  CheckInterrupted();
  return line == "t" || line == "T" || line == "tak" || line == "TAK";
}

namespace {

ReportDate Today() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return ReportDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

// The window's suggestion: the locale's short date format gives the separator.
std::string SuggestedName(const std::string& devName) {
  const QString fmt = QLocale().dateFormat(QLocale::ShortFormat);
  std::string sep = "-";
  for (QChar ch : fmt)
    if (!ch.isLetter()) {
      sep = QString(ch).toStdString();
      break;
    }
  return SuggestedReportName(Today(), sep, devName);
}

void WriteOut(const std::string& path, const std::string& bytes) {
  std::string err;
  if (!WriteFileAtomically(path, bytes, err))
    throw CliError{"nie można zapisać pliku " + path + ": " + err};
}

std::string ReadArchiveFile(const std::string& path, Archive& arc) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw CliError{"nie można otworzyć pliku " + path + ": " + std::strerror(errno)};
  std::string text;
  char buf[65536];
  while (f.read(buf, sizeof buf) || f.gcount() > 0) {
    text.append(buf, size_t(f.gcount()));
    if (text.size() > kArchiveMaxBytes) break;
  }
  std::string err;
  if (!ParseArchive(text, arc, err))
    throw CliError{"archiwum " + path + " odrzucone: " + err + ". Nic nie wysłano do kontrolera."};
  return text;
}

std::string ArchiveText(const UdpDev& dev, const ReadCfg& r, const std::string& location) {
  const Archive arc =
      MakeArchive(*r.cfg, dev.id, dev.IpText(), dev.Mode(), "Feldaro " FELDARO_VERSION, UtcNow(),
                  location, r.rawDevList, r.rawDoors);
  return ArchiveToJson(arc);
}

std::string ReportText(const UdpDev& dev, const ReadCfg& r, const std::string& location) {
  std::ostringstream os;
  WriteReportTo(os, DevName(dev.id), *r.cfg, ToCp1250(location), Today());
  return os.str();
}

void EnsureDir(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw CliError{dir + " nie jest katalogiem."};
    return;
  }
  if (::mkdir(dir.c_str(), 0777) != 0)
    throw CliError{"nie można utworzyć katalogu " + dir + ": " + std::strerror(errno)};
}

// report --all and backup --all: every controller that may be read, one file each. The
// controllers are read at once (each with its own session), the files written in order.
int ForAll(LinkSlot& slot, const Args& a, const char* ext,
           std::string (*text)(const UdpDev&, const ReadCfg&, const std::string&)) {
  EnsureDir(a.output);
  LinkCtx& link = OpenLink(slot);
  link.Search(true);
  std::vector<CtrlRead> reads;
  UdpDevSet& set = link.Set();
  for (int i = 0; i < set.count; ++i) {
    UdpDev& d = set.dev[i];
    if (!IsController(d.id)) continue;
    if ((d.status & 3) < 2) {
      std::cerr << "pominięto " << DevName(d.id) << " (tryb " << d.ModeText() << ")\n";
      continue;
    }
    reads.emplace_back(&d);
  }
  ReadControllers(reads, a.location, true);
  int written = 0, failed = 0;
  for (CtrlRead& r : reads) {
    CheckInterrupted();
    if (!r.ok) {
      std::cerr << "feldaro-cli: " << DevName(r.dev->id) << ": "
                << (r.unreadable ? "nie do odczytu (tryb " + r.modeText + ")" : r.error) << "\n";
      ++failed;
      continue;
    }
    try {
      const std::string path = a.output + "/" + SuggestedName(DevName(r.dev->id)) + ext;
      WriteOut(path, text(*r.dev, r.read, a.location));
      std::cout << "zapisano " << path << "\n";
      ++written;
    } catch (const CliError& e) {
      std::cerr << "feldaro-cli: " << e.text << "\n";
      ++failed;
    }
  }
  if (written == 0 && failed == 0) std::cerr << "nie znaleziono kontrolera do odczytu.\n";
  return failed == 0 && written > 0 ? 0 : 1;
}

void PrintLines(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) std::cout << l << "\n";
}

// Archived identifier -> target identifier: the archived controller becomes the target
// controller; --map OLD=NEW names replacements of the same model.
std::map<uint32_t, uint32_t> DeviceMap(const Archive& arc, const UdpDev& target, const CtrlCfg& cfg,
                                       const std::vector<std::string>& maps) {
  std::map<uint32_t, uint32_t> m;
  m[arc.ctrlId] = target.id;
  for (const std::string& s : maps) {
    const std::string from = s.substr(0, s.find('=')), to = s.substr(s.find('=') + 1);
    const ArcDevice* old = nullptr;
    for (const ArcDevice& d : arc.devices)
      if (DevName(d.id) == from) old = &d;
    if (!old) throw CliError{"--map: w archiwum nie ma urządzenia " + from};
    const BusDev* repl = nullptr;
    for (int k = 0; k < cfg.listedCount; ++k)
      if (DevName(cfg.devs[cfg.order[k]].id) == to) repl = &cfg.devs[cfg.order[k]];
    if (!repl) throw CliError{"--map: na kontrolerze " + DevName(target.id) + " nie ma " + to};
    if (IdTypeCode(repl->id) != IdTypeCode(old->id))
      throw CliError{"--map: " + to + " nie jest tym samym modelem co " + from};
    m[old->id] = repl->id;
  }
  return m;
}

bool Confirm(const std::string& devName) {
  return ConfirmOnTerminal("Zapisać tę konfigurację do kontrolera " + devName + "?");
}

}  // namespace

// ------------------------------------------------------------------ commands

int CmdList(LinkSlot& slot, const Args& a) {
  LinkCtx& link = OpenLink(slot);
  link.Search(true);
  UdpDevSet& set = link.Set();
  if (a.json) {
    // Names, addresses and mode names are plain ASCII or fixed texts: nothing to escape.
    std::cout << "[";
    for (int i = 0; i < set.count; ++i) {
      const UdpDev& d = set.dev[i];
      std::cout << (i ? ",\n  " : "\n  ") << "{\"name\": \"" << DevName(d.id)
                << "\", \"id\": " << d.id << ", \"address\": \"" << d.IpText()
                << "\", \"mode\": " << (d.status & 3) << ", \"modeText\": \"" << d.ModeText()
                << "\", \"controller\": " << (IsController(d.id) ? "true" : "false") << "}";
    }
    std::cout << (set.count ? "\n]\n" : "]\n");
  } else {
    for (int i = 0; i < set.count; ++i) std::cout << set.dev[i].ListText() << "\n";
  }
  return 0;
}

int CmdShow(LinkSlot& slot, const Args& a) {
  UdpDev& dev = OpenLink(slot).Find(a.positional[0]);
  ReadCfg r;
  ReadController(dev, r);
  if (a.json) {
    std::cout << ArchiveText(dev, r, "");
    return 0;
  }
  const CtrlCfg& cfg = *r.cfg;
  std::cout << "Kontroler: " << DevName(dev.id) << ", " << dev.IpText() << ", " << dev.ModeText()
            << "\n";
  if (HasTrainNumber(cfg.devs[0].id)) std::cout << "Nr pociągu: " << cfg.trainNumber << "\n";
  std::cout << "\nUrządzenia:\n";
  for (int k = 0; k < cfg.listedCount; ++k)
    std::cout << "  " << DevListText(cfg.devs[cfg.order[k]]) << "\n";
  std::string table = FromCp1250(PassageTable(cfg));
  for (size_t p; (p = table.find('\r')) != std::string::npos;) table.erase(p, 1);
  std::cout << table;
  return 0;
}

int CmdReport(LinkSlot& slot, const Args& a) {
  if (a.all) return ForAll(slot, a, ".txt", ReportText);
  UdpDev& dev = OpenLink(slot).Find(a.positional[0]);
  ReadCfg r;
  ReadController(dev, r);
  WriteOut(a.output, ReportText(dev, r, a.location));
  std::cout << "zapisano " << a.output << "\n";
  return 0;
}

int CmdBackup(LinkSlot& slot, const Args& a) {
  if (a.all) return ForAll(slot, a, ".json", ArchiveText);
  UdpDev& dev = OpenLink(slot).Find(a.positional[0]);
  ReadCfg r;
  ReadController(dev, r);
  WriteOut(a.output, ArchiveText(dev, r, a.location));
  std::cout << "zapisano " << a.output << ": " << DevName(dev.id) << ", " << r.cfg->listedCount
            << " urządzeń, " << r.cfg->doorCount << " przejść\n";
  return 0;
}

int CmdDiff(LinkSlot& slot, const Args& a) {
  Archive arc;
  ReadArchiveFile(a.positional[0], arc);
  UdpDev& dev = OpenLink(slot).Find(a.positional[1]);
  ReadCfg r;
  ReadController(dev, r);
  const std::map<uint32_t, uint32_t> m = {{arc.ctrlId, dev.id}};
  const std::vector<std::string> lines = DiffCfg(MapDevices(arc.cfg, m), ResolveCfg(*r.cfg));
  if (lines.empty()) {
    std::cout << "Brak różnic: " << DevName(dev.id) << " ma konfigurację przejść z archiwum.\n";
    return 0;
  }
  std::cout << "Różnice (archiwum " << DevName(arc.ctrlId) << " z " << arc.created
            << " -> kontroler " << DevName(dev.id) << "):\n";
  PrintLines(lines);
  return 1;
}

int CmdRestore(LinkSlot& slot, const Args& a) {
  Archive arc;
  ReadArchiveFile(a.positional[0], arc);
  const std::string& named = a.positional[1];
  UdpDev& dev = OpenLink(slot).Find(named);
  const uint32_t id = dev.id;
  ReadCfg r;
  ReadController(dev, r);
  const std::map<uint32_t, uint32_t> m = DeviceMap(arc, dev, *r.cfg, a.maps);
  auto built = std::make_unique<CtrlCfg>();
  std::string why;
  if (!BuildRestore(arc.cfg, *r.cfg, m, *built, why))
    throw CliError{"archiwum " + a.positional[0] + " odrzucone: " + why +
                   ". Nic nie wysłano do kontrolera."};

  const std::vector<std::string> lines = DiffCfg(ResolveCfg(*r.cfg), ResolveCfg(*built));
  if (lines.empty()) {
    std::cout << "Brak zmian: " << DevName(id) << " ma już konfigurację przejść z archiwum.\n";
  } else {
    std::cout << "Zmiany (kontroler " << DevName(id) << " -> archiwum " << DevName(arc.ctrlId)
              << " z " << arc.created << "):\n";
    PrintLines(lines);
  }
  if (a.dryRun) {
    std::cout << "--dry-run: nic nie zapisano.\n";
    return 0;
  }
  if (!a.yes && !Confirm(DevName(id))) {
    std::cerr << "feldaro-cli: nie zapisano: brak potwierdzenia (na wejściu, które nie jest "
                 "terminalem, potrzebne --yes).\n";
    return 1;
  }
  CheckInterrupted();
  // Just before the write: the device answering at that address still carries the
  // identifier found for DEV (the link accepts only answers with the record's identifier).
  if (!dev.ReadStatus()) throw UErr(&dev, 1, 0);
  if (dev.id != id || (IsName(named) && DevName(dev.id) != named))
    throw CliError{"urządzenie pod adresem " + dev.IpText() + " nie jest już " + named};
  dev.WriteConfig(*built);

  // Read back and compare with what was written.
  uint8_t back[kCfgBufSize];
  const int n = dev.Exchange('C', 0, nullptr, kCfgBufSize, back);
  auto check = std::make_unique<CtrlCfg>(*built);
  uint8_t wrote[kCfgBufSize], read[kCfgBufSize];
  const int lw = EncodeDoors(*built, wrote);
  const bool decoded = DecodeDoors(*check, back, size_t(n));
  const int lr = decoded ? EncodeDoors(*check, read) : 0;
  if (!decoded || lw != lr || std::memcmp(wrote, read, size_t(lw)) != 0) {
    std::cerr << "feldaro-cli: odczyt kontrolny z " << DevName(id)
              << " różni się od zapisanej konfiguracji";
    if (decoded) {
      std::cerr << ":\n";
      for (const std::string& l : DiffCfg(ResolveCfg(*built), ResolveCfg(*check)))
        std::cerr << l << "\n";
    } else {
      std::cerr << " (niepoprawna odpowiedź).\n";
    }
    return 1;
  }
  std::cout << "Zapisano konfigurację przejść do " << DevName(id) << " (" << lw
            << " bajtów); odczyt kontrolny zgodny z zapisem.\n";
  return 0;
}
