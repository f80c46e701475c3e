// feldaro-cli report --all and backup --all: one file per controller of the segment (the
// controllers read at once), and a closing line that says which were left out and why.
#include <cerrno>
#include <iostream>

#include "cli.h"
#include "config/devname.h"
#include "config/plural.h"
#include "config/sysfile.h"

namespace {

void EnsureDir(const std::string& dir) {
  const PathKind kind = KindOf(dir);
  if (kind != PathKind::None) {
    if (kind != PathKind::Dir) throw CliError{dir + " nie jest katalogiem."};
    return;
  }
  int err = 0;
  if (!MakeDir(dir, err))
    throw CliError{"nie można utworzyć katalogu " + dir + ": " + SystemReason(err)};
}

bool Exists(const std::string& path) {
  return KindOf(path, false) != PathKind::None;
}

}  // namespace

std::vector<LeftOutCtrl> ControllersLeftOut(const UdpDevSet& set,
                                            const std::vector<SeenDevice>& seen) {
  if (set.count >= kMaxDevices)
    std::cerr << "feldaro-cli: zbiór urządzeń jest pełny (" << kMaxDevices
              << " urządzeń, tyle obsługuje protokół); dalsze urządzenia pominięto.\n";
  std::vector<LeftOutCtrl> out;
  for (const SeenDevice& s : seen) {
    if (!IsController(s.id)) continue;
    bool inSet = false;
    for (int i = 0; i < set.count && !inSet; ++i) inSet = set.dev[i].id == s.id;
    if (inSet) continue;
    // After the address checks the tap shares with the set, a full set is the usual reason.
    const std::string why = set.count >= kMaxDevices
                                ? "poza pełnym zbiorem urządzeń"
                                : "odpowiedział, ale nie został przyjęty do zbioru urządzeń";
    out.push_back(
        LeftOutCtrl{s.id, s.address, why, DevName(s.id) + " (" + s.address + ", " + why + ")"});
  }
  return out;
}

int ForAll(LinkSlot& slot, const Args& a, const char* ext,
           std::string (*text)(const UdpDev&, const ReadCfg&, const std::string&)) {
  EnsureDir(a.output);
  LinkCtx& link = OpenLink(slot);
  const std::vector<SeenDevice> seen = link.SearchAll();
  UdpDevSet& set = link.Set();
  std::vector<std::string> skipped;
  for (const LeftOutCtrl& c : ControllersLeftOut(set, seen)) skipped.push_back(c.text);
  int controllers = int(skipped.size()), written = 0;
  const std::string date = IsoToday();
  // The controllers to read, in the order of the set; they are read at once, each in its own
  // session, and the files written in that order afterwards.
  std::vector<CtrlRead> reads;
  std::vector<std::string> paths;
  for (int i = 0; i < set.count; ++i) {
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
    reads.emplace_back(&d);
    paths.push_back(path);
  }
  ReadControllers(reads, a.location, true);
  for (size_t k = 0; k < reads.size(); ++k) {
    CheckInterrupted();
    CtrlRead& r = reads[k];
    const std::string name = DevName(r.dev->id);
    if (!r.ok) {
      if (r.unreadable && r.errorCode == 0) {
        skipped.push_back(name + " (tryb " + r.modeText + ")");
        continue;
      }
      std::cerr << "feldaro-cli: " << (r.errorLine.empty() ? r.error : r.errorLine) << "\n";
      skipped.push_back(
          name + (r.errorCode ? " (błąd nr " + std::to_string(r.errorCode) + ")" : std::string()));
      continue;
    }
    try {
      WriteOut(paths[k], text(*r.dev, r.read, a.location));
      std::cout << "zapisano " << paths[k] << "\n";
      ++written;
      SetProgress("zapisano " + std::to_string(written) + " z " + CtrlsGen(controllers));
    } catch (const CliError& e) {
      if (e.code == kExitInterrupted) throw;
      std::cerr << "feldaro-cli: " << e.text << "\n";
      skipped.push_back(name);
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
