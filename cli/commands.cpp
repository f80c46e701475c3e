// feldaro-cli commands: each finds its device by the window's search, reads it as the
// window's selection does and works on the same model.
#include <cctype>
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
#include "config/plural.h"
#include "config/report.h"
#include "config/sysfile.h"
#include "restore.h"

std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

namespace {
std::string gProgress = "nic nie zapisano";
}  // namespace

void SetProgress(const std::string& text) {
  gProgress = text;
}
const std::string& Progress() {
  return gProgress;
}

void CheckInterrupted() {
  if (gInterrupted) throw CliError{"", kExitInterrupted};
}

class LinkCtx::Tap : public DiscoveryTap {
 public:
  using DiscoveryTap::DiscoveryTap;
};

// ------------------------------------------------------------------ the link

LinkCtx::LinkCtx() {
  if (!ep_.ok()) {
    if (ep_.portInUse())
      throw CliError{
          "port UDP 45389 jest zajęty. Czy Feldaro jest otwarte? Okno Feldaro i "
          "feldaro-cli nie mogą działać jednocześnie na jednym komputerze; zamknij "
          "okno i spróbuj ponownie."};
    throw CliError{"nie można otworzyć portu UDP 45389: " + ep_.error()};
  }
  tap_ = std::make_unique<Tap>(ep_);
  LinkSetEndpoint(tap_.get());
  LinkSetClock(&clock_);
  set_ = std::make_unique<UdpDevSet>();
}

LinkCtx::~LinkCtx() {
  set_.reset();  // ends every session, last record first, while the socket is still open
  LinkSetEndpoint(nullptr);
  LinkSetClock(nullptr);
}

namespace {

// Nobody answered: where the platform knows a likely reason, it is said once.
void TellNoAnswer(const UdpDevSet& set) {
  static bool told = false;
  if (set.count > 0 || told || !*NoAnswerHint()) return;
  told = true;
  std::cerr << "feldaro-cli: " << NoAnswerHint() << "\n";
}

}  // namespace

void LinkCtx::Search(bool late) {
  // Devices that answer after the search's own waits belong to it: a slow controller's
  // answer is compared with a quicker one from another address.
  set_->Search(late && !lateDone_ ? kLateAnswerMs : 0);
  searched_ = true;
  lateDone_ = lateDone_ || late;
  PrintNotices();
  CheckInterrupted();
  TellNoAnswer(*set_);
}

void LinkCtx::PrintNotices() {
  for (const std::string& n : set_->TakeNotices()) std::cerr << "feldaro-cli: " << n << "\n";
}

std::vector<SeenDevice> LinkCtx::SearchAll() {
  // The window's search stops after the first broadcast anybody answered; a device whose
  // answer was lost then stays unknown. Here every broadcast goes out.
  uint8_t req[12];
  BuildRequest('O', kBroadcastId, req);
  set_->BeginSearch();
  for (int i = 0; i < 3; ++i) {
    tap_->Broadcast(tap_->DestPort(), req, sizeof req);
    set_->Collect(kDefaultWaitMs);
    if (gInterrupted) break;
  }
  if (!gInterrupted) set_->Collect(kLateAnswerMs);
  if (gInterrupted)
    set_->CancelSearch();
  else
    set_->EndSearch();
  searched_ = lateDone_ = true;
  PrintNotices();
  CheckInterrupted();
  TellNoAnswer(*set_);
  return tap_->Seen();
}

namespace {

// Four dotted decimal numbers up to 255, without leading zeros: what inet_pton takes.
bool IsIp(const std::string& s) {
  int octets = 0, value = 0;
  bool digit = false;
  for (const char ch : s) {
    if (ch >= '0' && ch <= '9') {
      if (digit && value == 0) return false;
      value = value * 10 + (ch - '0');
      if (value > 255) return false;
      if (!digit && ++octets > 4) return false;
      digit = true;
    } else if (ch == '.' && digit) {
      if (octets == 4) return false;
      value = 0;
      digit = false;
    } else {
      return false;
    }
  }
  return octets == 4 && digit;
}

bool IsName(const std::string& s) {
  if (s.size() != 9 || s[3] != '_' || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (int i : {1, 2, 4, 5, 6, 7, 8})
    if (s[size_t(i)] < '0' || s[size_t(i)] > '9') return false;
  return true;
}

// Device names are written in capitals; k27_00005 names the same device.
std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool IsDevName(const std::string& s) {
  return IsName(s);
}

bool IsIpv4(const std::string& s) {
  return IsIp(s);
}

UdpDev& LinkCtx::Find(const std::string& dev) {
  if (!IsIp(dev) && !IsName(dev))
    throw CliError{"\"" + dev + "\" nie jest nazwą urządzenia (np. K27_00005) ani adresem IPv4",
                   kExitUsage};
  const std::string want = Upper(dev);
  // A session follows: the late answers are waited for first, once per run.
  if (!lateDone_) {
    if (!searched_) {
      Search(true);
    } else {
      set_->Collect(kLateAnswerMs);
      lateDone_ = true;
      PrintNotices();
      CheckInterrupted();
    }
  }
  for (int i = 0; i < set_->count; ++i) {
    UdpDev& d = set_->dev[i];
    if (DevName(d.id) == want || d.IpText() == dev) return d;
  }
  throw CliError{"nie znaleziono urządzenia " + want + " w sieci " + kListHint + "."};
}

LinkCtx& OpenLink(LinkSlot& slot) {
  if (!slot) slot.emplace();
  return *slot;
}

void ReadController(UdpDev& dev, ReadCfg& out) {
  if (!IsController(dev.id))
    throw CliError{DevName(dev.id) + " nie jest kontrolerem " + kListHint + "."};
  if (!dev.ReadStatus()) throw UErr(&dev, 1, 0);
  if (dev.Mode() < 2)
    throw CliError{DevName(dev.id) + " jest w trybie „" + dev.ModeText() +
                   "”: konfigurację przejść można odczytać i zapisać tylko w trybie „Serwis” "
                   "albo „Instalacja”. Zmień tryb kontrolera i spróbuj ponownie."};
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

namespace {

ReportDate Today() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  LocalTm(t, tm);
  return ReportDate{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

}  // namespace

std::string IsoToday() {
  const ReportDate d = Today();
  char buf[48];  // room for any int, so no truncation is possible
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.year, d.month, d.day);
  return buf;
}

void RefuseExisting(const std::string& path, bool force) {
  // Anything but a regular file is refused by the writer itself, --force or not.
  if (force || path == "-" || KindOf(path) != PathKind::File) return;
  throw CliError{"plik " + path + " już istnieje; --force go zastąpi. Nic nie zapisano."};
}

void WriteOut(const std::string& path, const std::string& bytes, bool replace) {
  RefuseExisting(path, replace);
  if (path == "-") {
    std::cout.write(bytes.data(), std::streamsize(bytes.size()));
    std::cout.flush();
    if (!std::cout) throw CliError{"nie można pisać na standardowe wyjście"};
    return;
  }
  std::string err;
  int en = 0;
  if (!WriteFileAtomically(path, bytes, err, &en)) {
    // The file module's text names the path first; a system error is said in Polish here.
    // A refusal (not a regular file) already says that nothing was replaced.
    throw CliError{"nie można zapisać pliku " + path + ": " + FileReason(path, err, en) +
                   (en ? "; nic nie zapisano" : "")};
  }
}

std::string ReadArchiveFile(const std::string& path, Archive& arc) {
  const bool in = path == "-";
  std::ifstream f;
  if (!in) {
    if (KindOf(path) == PathKind::Dir)
      throw CliError{"nie można otworzyć pliku " + path + ": " + SystemReason(EISDIR)};
    f.open(FsPath(path), std::ios::binary);
    if (!f) throw CliError{"nie można otworzyć pliku " + path + ": " + SystemReason(errno)};
  }
  std::istream& src = in ? std::cin : f;
  std::string text;
  char buf[65536];
  while (src.read(buf, sizeof buf) || src.gcount() > 0) {
    text.append(buf, size_t(src.gcount()));
    if (text.size() > kArchiveMaxBytes) break;
  }
  const std::string name = in ? "ze standardowego wejścia" : path;
  std::string err;
  if (!ParseArchive(text, arc, err))
    throw CliError{"archiwum " + name + " odrzucone: " + err + ". Nic nie wysłano do kontrolera."};
  return text;
}

std::string ArchiveText(const UdpDev& dev, const ReadCfg& r, const std::string& location) {
  const Archive arc =
      MakeArchive(*r.cfg, dev.id, dev.IpText(), dev.Mode(), "Feldaro " FELDARO_VERSION,
                  UtcNowText(), location, r.rawDevList, r.rawDoors);
  return ArchiveToJson(arc);
}

std::string ReportText(const UdpDev& dev, const ReadCfg& r, const std::string& location) {
  std::ostringstream os;
  WriteReportTo(os, DevName(dev.id), *r.cfg, ToCp1250(location), Today());
  return os.str();
}

namespace {

void PrintLines(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) std::cout << l << "\n";
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
                << (d.ip2 ? "\", \"address2\": \"" + d.Ip2Text() : std::string())
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
  RefuseExisting(a.output, a.force);
  UdpDev& dev = OpenLink(slot).Find(a.positional[0]);
  ReadCfg r;
  ReadController(dev, r);
  CheckInterrupted();
  WriteOut(a.output, ReportText(dev, r, a.location), a.force);
  if (a.output == "-") return kExitOk;
  SetProgress("zapisano " + a.output);
  std::cout << "zapisano " << a.output << "\n";
  return kExitOk;
}

int CmdBackup(LinkSlot& slot, const Args& a) {
  if (a.all) return ForAll(slot, a, ".json", ArchiveText);
  RefuseExisting(a.output, a.force);
  UdpDev& dev = OpenLink(slot).Find(a.positional[0]);
  ReadCfg r;
  ReadController(dev, r);
  CheckInterrupted();
  WriteOut(a.output, ArchiveText(dev, r, a.location), a.force);
  if (a.output == "-") return kExitOk;
  SetProgress("zapisano " + a.output);
  std::cout << "zapisano " << a.output << ": " << DevName(dev.id) << ", "
            << CountPl(r.cfg->listedCount, "urządzenie", "urządzenia", "urządzeń") << ", "
            << CountPl(r.cfg->doorCount, "przejście", "przejścia", "przejść") << "\n";
  return kExitOk;
}

int CmdDiff(LinkSlot& slot, const Args& a) {
  Archive arc;
  ReadArchiveFile(a.positional[0], arc);
  UdpDev& dev = OpenLink(slot).Find(a.positional[1]);
  ReadCfg r;
  ReadController(dev, r);
  // What the controller has -> what the archive holds, as restore shows its changes.
  const std::map<uint32_t, uint32_t> m = {{arc.ctrlId, dev.id}};
  const std::vector<CfgChange> changes = DiffItems(ResolveCfg(*r.cfg), MapDevices(arc.cfg, m));
  if (a.json) {
    PrintChangesJson(DevName(dev.id), arc, a.positional[0], changes, nullptr);
  } else if (changes.empty()) {
    std::cout << "Brak różnic: " << DevName(dev.id) << " ma konfigurację przejść z archiwum.\n";
  } else {
    std::cout << "Różnice (kontroler " << DevName(dev.id) << " teraz -> archiwum "
              << DevName(arc.ctrlId) << " z " << arc.created << "):\n";
    PrintLines(ChangeLines(changes));
  }
  return changes.empty() ? kExitOk : kExitFail;
}
