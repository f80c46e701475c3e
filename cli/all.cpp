// feldaro-cli report --all and backup --all: one file per controller of the segment, and a
// closing line that says which controllers were left out and why.
#include <sys/stat.h>

#include <cerrno>
#include <iostream>

#include "cli.h"
#include "config/devname.h"

namespace {

void EnsureDir(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw CliError{dir + " nie jest katalogiem."};
    return;
  }
  if (::mkdir(dir.c_str(), 0777) != 0)
    throw CliError{"nie można utworzyć katalogu " + dir + ": " + SystemReason(errno)};
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

int ForAll(LinkSlot& slot, const Args& a, const char* ext,
           std::string (*text)(const UdpDev&, const ReadCfg&, const std::string&)) {
  EnsureDir(a.output);
  LinkCtx& link = OpenLink(slot);
  const std::vector<SeenDevice> seen = link.SearchAll();
  UdpDevSet& set = link.Set();
  int controllers = 0, written = 0;
  std::vector<std::string> skipped;
  if (set.count >= kMaxDevices)
    std::cerr << "feldaro-cli: zbiór urządzeń jest pełny (" << kMaxDevices
              << " urządzeń, tyle obsługuje protokół); dalsze urządzenia pominięto.\n";
  // Controllers that answered but found no room in the set.
  for (const SeenDevice& s : seen) {
    if (!IsController(s.id)) continue;
    bool inSet = false;
    for (int i = 0; i < set.count && !inSet; ++i) inSet = set.dev[i].id == s.id;
    if (inSet) continue;
    ++controllers;
    skipped.push_back(DevName(s.id) + " (" + s.address + ", poza pełnym zbiorem urządzeń)");
  }
  const std::string date = IsoToday();
  for (int i = 0; i < set.count; ++i) {
    CheckInterrupted();
    UdpDev& d = set.dev[i];
    if (!IsController(d.id)) continue;
    ++controllers;
    const std::string name = DevName(d.id);
    if ((d.status & 3) < 2) {
      skipped.push_back(name + " (tryb " + d.ModeText() + ")");
      continue;
    }
    // ISO date and name: no spaces whatever the locale, and sorted by date.
    const std::string path = a.output + "/" + date + "_" + name + ext;
    if (!a.force && Exists(path)) {
      skipped.push_back(name + " (plik " + path + " już istnieje; --force go zastąpi)");
      continue;
    }
    try {
      ReadCfg r;
      ReadController(d, r);
      CheckInterrupted();
      WriteOut(path, text(d, r, a.location));
      std::cout << "zapisano " << path << "\n";
      ++written;
      SetProgress("zapisano " + std::to_string(written) + " z " + std::to_string(controllers) +
                  " odczytanych dotąd kontrolerów");
    } catch (const UErr& e) {
      std::cerr << "feldaro-cli: " << LinkErrorLine(e) << "\n";
      skipped.push_back(name + " (błąd nr " + std::to_string(e.code) + ")");
    } catch (const CliError& e) {
      if (e.code == kExitInterrupted) throw;
      std::cerr << "feldaro-cli: " << e.text << "\n";
      skipped.push_back(name);
    }
    // One controller at a time: its session ends before the next one is read.
    try {
      d.EndSession();
    } catch (const UErr&) {
    }
  }
  if (controllers == 0) {
    std::cerr << "feldaro-cli: nie znaleziono kontrolera w sieci " << kListHint << ".\n";
    return kExitFail;
  }
  std::string line = "zapisano " + std::to_string(written) + " z " + std::to_string(controllers);
  if (!skipped.empty()) {
    line += "; pominięto: ";
    for (size_t i = 0; i < skipped.size(); ++i) line += (i ? ", " : "") + skipped[i];
  }
  (skipped.empty() ? std::cout : std::cerr) << line << "\n";
  return skipped.empty() ? kExitOk : kExitFail;
}
