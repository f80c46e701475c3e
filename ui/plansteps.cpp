// The plan window's decisions and network steps, without widgets.
#include "plansteps.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "config/devname.h"
#include "config/restorenotes.h"
#include "config/sysfile.h"

std::function<void()> ReadCtrlStep(UdpDev* dev, CtrlSnap& out, std::exception_ptr& err) {
  return [dev, &out, &err] {
    try {
      ReadCtrl(*dev, out);
    } catch (...) {
      err = std::current_exception();
    }
  };
}

std::string ErrText(std::exception_ptr err) {
  try {
    std::rethrow_exception(err);
  } catch (const UErr& e) {
    std::string s = ErrorText(e);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

void ReadCtrl(UdpDev& dev, CtrlSnap& out) {
  if (!dev.ReadStatus()) throw UErr(&dev, 1, 0);
  if (dev.Mode() < 2) throw UErr(&dev, 9, 0);
  dev.EnsureSession();
  // Both answers first; the decoders only when both arrived.
  uint8_t d[kDevListSize], c[kCfgBufSize];
  const int nd = dev.Exchange('D', 0, nullptr, kDevListSize, d);
  const int nc = dev.Exchange('C', 0, nullptr, kCfgBufSize, c);
  CtrlCfg& cfg = *out.cfg;
  std::memset(&cfg, 0, sizeof cfg);
  ClearCfg(cfg);
  if (!DecodeDevList(cfg, d, size_t(nd)) || !DecodeDoors(cfg, c, size_t(nc)))
    throw std::runtime_error(DevName(dev.id) +
                             " przysłał niepoprawną listę urządzeń lub konfigurację przejść.");
  MarkUsedIo(cfg);
  out.rawDevList.assign(d, d + nd);
  out.rawDoors.assign(c, c + nc);
  out.id = dev.id;
  out.addr = dev.IpText();
  out.twoAddresses = TwoAddressText(dev);
}

std::string TwoAddressRefusal(const CtrlSnap& snap) {
  return snap.twoAddresses.empty() ? std::string() : "Nie zapisano: " + snap.twoAddresses;
}

Archive ReadArchive(const CtrlSnap& r, const UdpDev& dev, const std::string& location) {
  return MakeArchive(*r.cfg, r.id, dev.IpText(), dev.Mode(), kToolName, UtcNowText(), location,
                     r.rawDevList, r.rawDoors);
}

bool PrepareUpload(const Archive& planned, const CtrlSnap& seen, UploadPrep& out) {
  out.lines.clear();
  out.notes.clear();
  out.address.clear();
  out.why.clear();
  if (planned.ctrlId != seen.id) {
    // Never onto another controller: the plan's record names the one it belongs to.
    out.why =
        "plan dotyczy kontrolera " + DevName(planned.ctrlId) + ", odczytano " + DevName(seen.id);
    return false;
  }
  const std::map<uint32_t, uint32_t> map = {{planned.ctrlId, seen.id}};
  if (!BuildRestore(planned.cfg, *seen.cfg, map, *out.built, out.why)) return false;
  out.lines = DiffCfg(ResolveCfg(*seen.cfg), ResolveCfg(*out.built));
  out.address = AddressChangeLine(planned, seen.id, seen.addr);
  out.notes = NotesForRestore(planned, *seen.cfg, !SamePassages(*seen.cfg, *out.built)).lines;
  return true;
}

namespace {

// The bus device table as far as a configuration built on it depends on it.
std::string TableKey(const CtrlCfg& cfg) {
  std::string k;
  for (int i = 0; i < cfg.listedCount; ++i) {
    const BusDev& b = cfg.devs[cfg.order[i]];
    k += std::to_string(cfg.order[i]) + ":" + std::to_string(b.id) + "/" +
         std::to_string(b.outputCount) + "/" + std::to_string(b.inputCount) + "/" +
         std::to_string(b.readerCount) + "/" + std::to_string(b.ocOutputs) + ";";
  }
  return k;
}

}  // namespace

bool Unmoved(const CtrlSnap& seen, const CtrlSnap& fresh, std::string& why) {
  if (fresh.id != seen.id) {
    why = "pod adresem kontrolera odpowiada teraz " + DevName(fresh.id);
    return false;
  }
  if (fresh.rawDoors == seen.rawDoors && TableKey(*fresh.cfg) == TableKey(*seen.cfg)) return true;
  const std::vector<std::string> moved = DiffCfg(ResolveCfg(*seen.cfg), ResolveCfg(*fresh.cfg));
  why = "konfiguracja kontrolera zmieniła się od odczytu";
  why += moved.empty() ? " (lista urządzeń magistrali)" : ":";
  for (const std::string& l : moved) why += "\n  " + l;
  return false;
}

std::vector<uint8_t> ReadBackDoors(UdpDev& dev) {
  uint8_t back[kCfgBufSize];
  const int n = dev.Exchange('C', 0, nullptr, kCfgBufSize, back);
  return std::vector<uint8_t>(back, back + n);
}

bool VerifyReadBack(const CtrlCfg& written, const std::vector<uint8_t>& back, std::string& why) {
  auto check = std::make_unique<CtrlCfg>(written);
  uint8_t wrote[kCfgBufSize], read[kCfgBufSize];
  const int lw = EncodeDoors(written, wrote);
  if (!DecodeDoors(*check, back.data(), back.size())) {
    why = "odczyt kontrolny różni się od zapisanej konfiguracji (niepoprawna odpowiedź)";
    return false;
  }
  const int lr = EncodeDoors(*check, read);
  if (lw == lr && std::memcmp(wrote, read, size_t(lw)) == 0) return true;
  why = "odczyt kontrolny różni się od zapisanej konfiguracji";
  for (const std::string& l : DiffCfg(ResolveCfg(written), ResolveCfg(*check))) why += "\n  " + l;
  return false;
}

bool SamePassages(const CtrlCfg& a, const CtrlCfg& b) {
  uint8_t ea[kCfgBufSize], eb[kCfgBufSize];
  const int la = EncodeDoors(a, ea);
  const int lb = EncodeDoors(b, eb);
  return la == lb && std::memcmp(ea, eb, size_t(la)) == 0;
}

std::string PlanRowText(DriftState state, uint32_t id, const std::string& label, bool edited) {
  std::string s = std::string(DriftCaption(state)) + ": " + DevName(id);
  if (edited) s += " *";
  if (!label.empty()) s += " – " + label;
  return s;
}

std::vector<std::string> CompareWithArchive(const Archive& arc, const CtrlCfg& ctrl,
                                            uint32_t ctrlId) {
  const std::map<uint32_t, uint32_t> m = {{arc.ctrlId, ctrlId}};
  return DiffCfg(ResolveCfg(ctrl), MapDevices(arc.cfg, m));
}

FileStamp StampOf(const std::string& path) {
  FileStamp s;
  std::error_code ec;
  const auto size = std::filesystem::file_size(FsPath(path), ec);
  if (ec) return s;
  const auto time = std::filesystem::last_write_time(FsPath(path), ec);
  if (ec) return s;
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) return s;
  s.exists = true;
  s.size = uint64_t(size);
  s.mtimeNs = int64_t(
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
  uint64_t h = 14695981039346656037ull;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      h ^= uint8_t(buf[i]);
      h *= 1099511628211ull;
    }
    if (!in) break;
  }
  s.hash = h;
  return s;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  const bool same = std::filesystem::equivalent(FsPath(a), FsPath(b), ec);
  return !ec && same;
}

bool IsArchiveFile(const std::string& path) {
  SitePlan plan;
  std::string why;
  return LoadPlan(path, plan, why) && plan.fromArchive;
}

SaveStep DecideSave(const std::string& target, bool fromDialog, const std::string& own,
                    const FileStamp& ownStamp, const std::string& archive) {
  const FileStamp now = StampOf(target);
  if (now.exists && (SameFile(target, archive) || IsArchiveFile(target)))
    return SaveStep::RefuseArchive;
  if (fromDialog || own != target) return now.exists ? SaveStep::AskReplace : SaveStep::Write;
  return now == ownStamp ? SaveStep::Write : SaveStep::AskChanged;
}

std::string DatedFileName(const std::string& isoDate, const std::string& name,
                          const std::string& ext) {
  return isoDate + "_" + name + "." + ext;
}

DriftState ShownState(DriftState checked, bool editedSinceCheck) {
  if (editedSinceCheck && (checked == DriftState::Agree || checked == DriftState::Differs))
    return DriftState::Unchecked;
  return checked;
}
