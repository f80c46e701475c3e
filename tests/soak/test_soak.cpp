// Fault-injection soak: thousands of user-level operations on the real main window against
// several simulated controllers that lose, repeat, delay and corrupt their answers, drop
// off the network and let their sessions expire. After every step the window's state and
// everything the tool sent are checked against what the simulated devices really did.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/ctrlcfg.h"
#include "config/devname.h"
#include "link/udpdev.h"
#include "memnet.h"
#include "simdevice.h"
#include "tests/common/fakehost.h"

namespace {

// Serial of the bus devices that appear only in forged answers: a table holding one of
// them was decoded from a datagram no controller sent.
constexpr uint16_t kForgedSerial = 0xBEEF;
constexpr uint32_t kForgedTypeCode = 1;

constexpr uint32_t Ip(int a, int b, int c, int d) {
  return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

// The part of a bus device table the tool decides on: slot count, identifiers, state marks.
using TableSig = std::vector<uint32_t>;

TableSig SigOfPayload(const std::vector<uint8_t>& p) {
  const size_t n = GetU16(p.data());
  TableSig sig{uint32_t(n)};
  for (size_t s = 0; s < n; ++s) {
    sig.push_back(GetU32(p.data() + 2 + 4 * s));
    sig.push_back(p[2 + 4 * n + 4 * s + 1] & 0xF0u);
  }
  return sig;
}

TableSig SigOfCfg(const CtrlCfg& cfg) {
  TableSig sig{uint32_t(cfg.devCount)};
  for (int s = 0; s < cfg.devCount; ++s) {
    sig.push_back(cfg.devs[s].id);
    sig.push_back(cfg.devs[s].state & 0xF0u);
  }
  return sig;
}

struct Soak {
  explicit Soak(uint32_t seed) : rng(seed) {}

  std::mt19937 rng;
  GuiWorld w;

  // Everything each simulated controller's table ever was (sampled around every step,
  // and the table only changes at those points or once inside a step).
  std::map<uint32_t, std::set<TableSig>> history;
  std::map<uint32_t, size_t> doorCounts;
  std::set<uint32_t> simIds;

  // Per-device state of the signed-frame check: the sequence number of the last signed
  // frame sent to it, -1 before the first 'K'.
  std::map<uint32_t, int> lastSeq;
  size_t sentSeen = 0;
  size_t errorsSeen = 0;

  // An unsaved edit made on the window's model that must survive ticks and refreshes.
  struct Edit {
    bool active = false;
    int door = 0;
    uint8_t value = 0;
    uint32_t ctrl = 0;
  } edit;

  long ops = 0, checks = 0, failures = 0;
  long datagrams = 0, boxes = 0, writesSent = 0, loadsSeen = 0, forgedInjected = 0,
       junkInjected = 0;
  std::map<int, long> codes;
  std::map<std::string, long> kinds;
  std::string step;  // what the current step did, for failure messages

  int Rand(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  void Check(bool ok, const std::string& what) {
    ++checks;
    if (ok) return;
    ++failures;
    if (failures <= 25) ADD_FAILURE() << "op " << ops << " (" << step << "): " << what;
  }

  // --- world -----------------------------------------------------------------------------

  void BuildController(SimDevice& d, int index, int busDevices, int doorCount) {
    d.bus.clear();
    d.doors.clear();
    d.AddBusDevice(d.id, 4, 4, 2, true);  // the controller itself comes first
    for (int s = 1; s < busDevices; ++s) {
      static const uint32_t kTypes[] = {1, 1, 205, 501, 601};  // readers, a lock, keypad, interface
      const uint32_t tc = kTypes[size_t(s) % 5];
      d.AddBusDevice(MakeId(tc, uint32_t(index * 1000 + s)), 2, 3, tc < 100 ? 1 : 0, s % 2 == 0);
    }
    // One inactive reader and one new reader of the same model: a replacement pair.
    if (index % 2 == 0) {
      d.SetInactive(1, true);
      d.AddBusDevice(MakeId(1, uint32_t(index * 1000 + 900)), 2, 3, 1, false, kStNew);
    }
    for (int k = 0; k < doorCount; ++k) {
      SimDoor door;
      for (uint16_t& r : door.refs) r = kNoRef;
      const uint16_t slot = uint16_t(1 + k % (busDevices - 1));
      door.refs[0] = uint16_t(slot << 8);   // bolt: output 1
      door.refs[4] = uint16_t(slot << 8);   // exit button: input 1
      door.refs[14] = uint16_t(slot << 8);  // first reader
      std::memset(door.params, 0, sizeof door.params);
      door.params[kParBoltPulse] = 10;
      door.params[kParOpenTime] = 20;
      d.doors.push_back(door);
    }
  }

  void Setup() {
    const uint32_t typeCodes[] = {327, 310, 327, 301, 327, 320};
    for (int i = 0; i < 6; ++i) {
      const uint32_t id = MakeId(typeCodes[i], uint32_t(100 + 37 * i));
      SimDevice& d = w.net.AddDevice(id, Ip(10, 77, 0, 10 + i), i == 5 ? 1 : (i % 2 ? 2 : 3));
      BuildController(d, i, 8 + 3 * i, 1 + i % 4);
      simIds.insert(id);
    }
    // Two devices that are not controllers (time recorders) and are only listed.
    for (int i = 0; i < 2; ++i) {
      const uint32_t id = MakeId(150 + uint32_t(i), uint32_t(50 + i));
      w.net.AddDevice(id, Ip(10, 77, 0, 40 + i), 2);
      simIds.insert(id);
    }
    for (auto& d : w.net.Devices()) lastSeq[d->id] = -1;
    Sample();
    w.Start();
    ListBox();  // fail early when the window lacks its controls
  }

  void Sample() {
    for (auto& d : w.net.Devices()) {
      if (!IsController(d->id)) continue;
      history[d->id].insert(SigOfPayload(d->DevListPayload(w.clock.now)));
      doorCounts[d->id] = d->doors.size();
    }
  }

  SimDevice* Sim(uint32_t id) { return w.net.Find(id); }
  SimDevice& RandomSim() {
    return *w.net.Devices()[size_t(Rand(0, int(w.net.Devices().size()) - 1))];
  }

  template <class T>
  T* Control(const char* name) {
    T* c = w.win->findChild<T*>(name);
    if (!c) {
      ADD_FAILURE() << "the main window has no " << name;
      throw std::runtime_error(std::string("missing control ") + name);
    }
    return c;
  }
  QListWidget* ListBox() { return Control<QListWidget>("EthLstBox"); }

  // The controller whose table the window's model holds (its own record comes first).
  uint32_t LoadedCtrl() const {
    const CtrlCfg& c = w.win->Cfg;
    return c.listedCount > 0 ? c.devs[0].id : 0;
  }

  // --- operations --------------------------------------------------------------------------

  void Click(const char* name) {
    QPushButton* b = Control<QPushButton>(name);
    if (b->isEnabled()) b->click();
  }

  void Select(int line) {
    QListWidget* list = ListBox();
    if (line < 0 || line >= list->count()) return;
    {
      QSignalBlocker quiet(list);
      list->setCurrentRow(line);
    }
    w.win->EthLstBoxClick();
  }

  void MutateFaults() {
    SimDevice& d = RandomSim();
    SimFaults& f = d.faults;
    if (Chance(0.35)) {
      f = SimFaults{};  // calm again, so configurations do get loaded
      return;
    }
    switch (Rand(0, 7)) {
      case 0:
        f.lossRate = Chance(0.5) ? 0.3 : 0.0;
        break;
      case 1:
        f.duplicate = Rand(0, 2);
        break;
      case 2:
        f.delayMs = Chance(0.5) ? Rand(150, 450) : 0;
        break;  // late answers
      case 3:
        f.badCrcRate = Chance(0.5) ? 0.15 : 0.0;
        break;
      case 4:
        f.badSigRate = Chance(0.5) ? 0.1 : 0.0;
        break;
      case 5:
        f.offline = !f.offline;
        break;
      case 6:
        f.dropNext = Rand(1, 4);
        break;
      case 7:
        if (Chance(0.15))
          d.foreignSession = !d.foreignSession;
        else if (Chance(0.2))
          d.mode = Rand(0, 3);
        break;
    }
  }

  void MutateBus() {
    SimDevice& d = RandomSim();
    if (!IsController(d.id) || d.bus.size() < 2) return;
    const int slot = Rand(1, int(d.bus.size()) - 1);
    if (!d.bus[size_t(slot)].present) return;
    if (Chance(0.5)) {
      d.SetInactive(slot, !(d.bus[size_t(slot)].state & kStInactive));
    } else if (d.bus.size() < 40) {
      const SimBusDev& model = d.bus[size_t(slot)];
      d.AddBusDevice(MakeId(IdTypeCode(model.id), uint32_t(30000 + Rand(0, 20000))), model.outputs,
                     model.inputs, model.readers, model.oc, kStNew);
    }
  }

  void MakeEdit() {
    CtrlCfg& c = w.win->Cfg;
    if (c.doorCount <= 0) return;
    edit.active = true;
    edit.door = Rand(0, c.doorCount - 1);
    const uint8_t old = c.doors[edit.door].params[kParOpenTime];
    edit.value = uint8_t((old + Rand(1, 100)) % 128);
    edit.ctrl = LoadedCtrl();
    c.doors[edit.door].params[kParOpenTime] = edit.value;
  }

  // Forged and junk datagrams from a device's address, due somewhere within the next steps.
  void Inject() {
    SimDevice& d = RandomSim();
    const std::string from = DottedIp(d.ip);
    const int64_t at = w.clock.now + Rand(0, 2500);
    std::vector<uint8_t> f;
    auto header = [&](const char* tag, uint32_t id) {
      f.assign(tag, tag + 4);
      f.resize(8);
      PutU32(f.data() + 4, id);
    };
    switch (Rand(0, 5)) {
      case 0: {  // a device list answer with a table no controller has, wrong signature
        header("MMDC", d.id);
        f.push_back(0);
        f.push_back(0);
        f.push_back('D' | 0x80);
        const uint8_t n = 2;
        std::vector<uint8_t> data(2 + 8 * n, 0);
        PutU16(data.data(), n);
        PutU32(data.data() + 2, d.id);
        PutU32(data.data() + 6, MakeId(kForgedTypeCode, kForgedSerial));
        data[2 + 8 + 4 + 2] = 0x81;
        f.insert(f.end(), data.begin(), data.end());
        for (int i = 0; i < 8; ++i) f.push_back(uint8_t(rng()));
        ++forgedInjected;
        break;
      }
      case 1: {  // a status answer with unused bits set and a wrong CRC
        header("MMDO", d.id);
        const uint8_t data[16] = {0, 0, 0x7F, '1'};
        f.insert(f.end(), data, data + 16);
        f.resize(28);
        const uint32_t crc = Crc32(f.data(), 24) ^ 0x1;
        PutU32(f.data() + 24, crc);
        ++forgedInjected;
        break;
      }
      case 2: {  // a discovery answer of a device of another class, CRC correct
        header("MMDO", MakeId(327, 4242, 0, 1));
        const uint8_t data[16] = {0, 0, 0x02, '1'};
        f.insert(f.end(), data, data + 16);
        f.resize(28);
        PutU32(f.data() + 24, Crc32(f.data(), 24));
        ++forgedInjected;
        break;
      }
      case 3: {  // an answer for another device's identifier, correctly signed or not
        header("MMDC", MakeId(327, 9999));
        f.push_back(1);
        f.push_back(0);
        f.push_back('D' | 0x80);
        for (int i = 0; i < 10; ++i) f.push_back(uint8_t(rng()));
        ++forgedInjected;
        break;
      }
      default: {  // random junk, sometimes with a plausible tag
        f.resize(size_t(Rand(0, 64)));
        for (uint8_t& b : f) b = uint8_t(rng());
        if (f.size() >= 4 && Chance(0.5)) std::memcpy(f.data(), Chance(0.5) ? "MMDC" : "MMDO", 4);
        ++junkInjected;
        break;
      }
    }
    w.net.Inject(f, from, at);
  }

  // --- invariants --------------------------------------------------------------------------

  void CheckSentFrames(uint32_t loadedAtStart, const CtrlCfg& cfgAtStart) {
    const std::vector<NetDatagram>& sent = w.net.sentByTool;
    for (; sentSeen < sent.size(); ++sentSeen) {
      const NetDatagram& d = sent[sentSeen];
      ++datagrams;
      const std::vector<uint8_t>& b = d.bytes;
      if (b.size() < 8 || std::memcmp(b.data(), "MMD", 3) != 0) {
        Check(false, "the tool sent a datagram without the MMD tag");
        continue;
      }
      const uint32_t id = GetU32(b.data() + 4);
      if (b[3] == 'K') {
        lastSeq[id] = 0;
        continue;
      }
      if (b[3] != 'C') continue;
      Check(b.size() >= 19, "signed frame shorter than 19 bytes");
      if (b.size() < 19) continue;
      const int seq = GetU16(b.data() + 8);
      const char letter = char(b[10]);
      auto it = lastSeq.find(id);
      Check(it != lastSeq.end(), "signed frame to an unknown identifier");
      if (it == lastSeq.end()) continue;
      Check(it->second >= 0, "signed frame before any session was opened");
      if (it->second >= 0)
        Check(seq == ((it->second + 1) & 0xFFFF), "seq " + std::to_string(seq) + " after " +
                                                      std::to_string(it->second) + " ('" + letter +
                                                      "')");
      it->second = seq;
      SimDevice* dev = Sim(id);
      Check(dev && d.to == DottedIp(dev->ip),
            "signed frame sent to another address than its device's");
      if (letter == 'c' || letter == 'F' || letter == 'R') {
        ++writesSent;
        Check(loadedAtStart == id, std::string("'") + letter + "' sent to " + DevName(id) +
                                       " while the loaded configuration is " +
                                       (loadedAtStart ? DevName(loadedAtStart) : "none"));
        if (letter == 'c') {
          uint8_t enc[kCfgBufSize];
          const int len = EncodeDoors(cfgAtStart, enc);
          Check(len > 0 && size_t(len) + 19 == b.size() &&
                    std::memcmp(enc, b.data() + 11, size_t(len)) == 0,
                "the 'c' payload is not the loaded configuration");
        }
      }
    }
  }

  void CheckErrors() {
    static const QRegularExpression re(
        QStringLiteral(
            "^(\\S{9}), tryb: (\\S+)\\.\\n\\nBłąd nr (\\d+)( \\(r\\.'(.)'\\))?: (.+)\\n$"),
        QRegularExpression::DotMatchesEverythingOption);
    const size_t before = errorsSeen;
    for (; errorsSeen < w.host.errors.size(); ++errorsSeen) {
      ++boxes;
      const FakeHost::Box& box = w.host.errors[errorsSeen];
      Check(box.caption == "Błąd", "error box caption " + box.caption.toStdString());
      const QRegularExpressionMatch m = re.match(box.text);
      Check(m.hasMatch(), "error box is not a link error: " + box.text.toStdString());
      if (!m.hasMatch()) continue;
      const std::string name = m.captured(1).toStdString();
      const QString mode = m.captured(2);
      const int code = m.captured(3).toInt();
      const QString letter = m.captured(5);
      ++codes[code];
      bool known = false;
      for (uint32_t id : simIds) known = known || DevName(id) == name;
      Check(known, "error names a device that does not exist: " + name);
      Check(code >= 1 && code <= 9 && code != 8, "implausible error code " + std::to_string(code));
      const bool needsLetter = code >= 4 && code <= 7;
      Check(needsLetter == !letter.isEmpty(),
            "command letter presence does not fit code " + std::to_string(code));
      if (!letter.isEmpty())
        Check(QStringLiteral("DCcFRSs").contains(letter),
              "unknown command letter " + letter.toStdString());
      if (code == 1)
        Check(mode == "Niedostępny", "error 1 for a device shown as " + mode.toStdString());
      if (code == 9)
        Check(mode == "Blokada" || mode == "Konfiguracja", "error 9 in mode " + mode.toStdString());
    }
    // A step shows at most a reload's error at each of two list refreshes, its own error and
    // that of the tick a removal runs first: boxes never pile up.
    Check(errorsSeen - before <= 4,
          std::to_string(errorsSeen - before) + " error boxes in one step");
  }

  void CheckModel(bool editsMayBeLost) {
    const TMainWin& win = *w.win;
    const CtrlCfg& c = win.Cfg;
    // The device set holds only real devices, in order, and a valid selection.
    const UdpDevSet& set = win.Devs();
    Check(set.count >= 0 && set.count <= int(simIds.size()), "device set count out of range");
    for (int i = 0; i < set.count; ++i) {
      Check(simIds.count(set.dev[i].id) == 1, "device set holds a device that does not exist");
      Check((set.dev[i].status & 0x7C) == 0, "a device status carries bits no device sent");
      if (i > 0)
        Check((set.dev[i - 1].id & 0x03FFFFFF) <= (set.dev[i].id & 0x03FFFFFF),
              "device set out of order");
    }
    Check(win.SelectedIndex() >= -1 && win.SelectedIndex() < std::max(set.count, 1),
          "selected index out of range");

    // The model holds only tables its controller really had.
    Check(c.devCount >= 0 && c.devCount <= kMaxDevs && c.listedCount >= 0 &&
              c.listedCount <= kMaxDevs && c.doorCount >= 0 && c.doorCount <= kMaxDoors,
          "model counts out of range");
    for (int s = 0; s < c.devCount; ++s)
      Check(
          !(IdSerial(c.devs[s].id) == kForgedSerial && IdTypeCode(c.devs[s].id) == kForgedTypeCode),
          "the model holds a device from a forged answer");
    if (c.devCount > 0) {
      const uint32_t ctrl = c.devs[0].id;
      const auto h = history.find(ctrl);
      Check(h != history.end(), "the model's first device is not a simulated controller");
      if (h != history.end()) {
        Check(h->second.count(SigOfCfg(c)) == 1,
              "the model holds a device table " + DevName(ctrl) + " never had");
        if (c.doorCount > 0)
          Check(size_t(c.doorCount) == doorCounts[ctrl],
                "passage count differs from the controller's");
      }
      if (c.doorCount > 0) ++loadsSeen;
    }

    // Unsaved edits stay until a selection, replacement or removal reads the controller again.
    if (editsMayBeLost) edit.active = false;
    if (edit.active) {
      Check(c.doorCount > edit.door && LoadedCtrl() == edit.ctrl,
            "the edited configuration was unloaded");
      if (c.doorCount > edit.door)
        Check(c.doors[edit.door].params[kParOpenTime] == edit.value, "an unsaved edit was lost");
    }
    Check(w.net.longestWaitMs <= kDefaultWaitMs,
          "a single wait of " + std::to_string(w.net.longestWaitMs) + " ms");
  }

  // --- driver ------------------------------------------------------------------------------

  void Step() {
    const uint32_t loaded = LoadedCtrl();
    const CtrlCfg cfgAtStart = w.win->Cfg;
    bool reads = false;  // the step may legitimately read the controller again
    const int r = Rand(0, 99);
    Sample();
    if (r < 40) {
      step = "tick";
      w.Tick();
    } else if (r < 50) {
      step = "select";
      Select(Rand(0, ListBox()->count() - 1));
      reads = true;
    } else if (r < 53) {
      step = "reselect";
      Select(ListBox()->currentRow());
      reads = true;
    } else if (r < 60) {
      step = "write";
      Click("WrCfgBtn");
    } else if (r < 63) {
      step = "remove inactive";
      Click("DelLostBtn");
      reads = true;
    } else if (r < 66) {
      step = "replace";
      QComboBox* pairs = Control<QComboBox>("ReplCb");
      if (pairs->count() > 0) pairs->setCurrentIndex(Rand(0, pairs->count() - 1));
      Click("ReplaceBtn");
      reads = true;
    } else if (r < 69) {
      step = "search";
      Click("SearchEthBtn");
    } else if (r < 77) {
      step = "edit";
      MakeEdit();
    } else if (r < 88) {
      step = "faults";
      MutateFaults();
    } else if (r < 91) {
      step = "bus change";
      MutateBus();
    } else if (r < 94) {
      step = "session expiry";
      w.clock.Advance(Rand(30500, 45000));
    } else {
      step = "inject";
      Inject();
    }
    ++ops;
    ++kinds[step];
    Sample();
    CheckSentFrames(loaded, cfgAtStart);
    CheckErrors();
    CheckModel(reads);
  }

  void Run(int steps) {
    Setup();
    CheckSentFrames(0, w.win->Cfg);
    CheckErrors();
    CheckModel(true);
    for (int i = 0; i < steps && failures < 25; ++i) Step();
    // A final calm stretch: everything answers again, so the selected controller loads.
    for (auto& d : w.net.Devices()) {
      d->faults = SimFaults{};
      d->foreignSession = false;
    }
    for (int i = 0; i < 40 && failures < 25; ++i) {
      step = "calm tick";
      const uint32_t loaded = LoadedCtrl();
      const CtrlCfg cfg = w.win->Cfg;
      w.Tick();
      ++ops;
      Sample();
      CheckSentFrames(loaded, cfg);
      CheckErrors();
      CheckModel(false);
    }
  }
};

class SoakTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SoakTest, InvariantsHoldUnderFaults) {
  Soak s(GetParam());
  s.Run(3000);
  std::printf(
      "seed %u: %ld operations, %ld invariant checks, %ld failures; %ld error boxes, "
      "%ld writes/removals/replacements sent, %ld loaded-model observations, "
      "%ld forged and %ld junk datagrams injected; %ld datagrams sent over %.1f virtual minutes\n",
      GetParam(), s.ops, s.checks, s.failures, s.boxes, s.writesSent, s.loadsSeen, s.forgedInjected,
      s.junkInjected, s.datagrams, double(s.w.clock.now) / 60000.0);
  std::printf("  steps:");
  for (const auto& [kind, n] : s.kinds) std::printf(" %s×%ld", kind.c_str(), n);
  std::printf("\n");
  std::printf("  error codes:");
  for (const auto& [code, n] : s.codes) std::printf(" %d×%ld", code, n);
  std::printf("\n");
  RecordProperty("operations", int(s.ops));
  RecordProperty("checks", int(s.checks));
  EXPECT_EQ(s.failures, 0);
  // The soak must really exercise the paths it claims to: loads, writes and failures.
  EXPECT_GT(s.loadsSeen, 100);
  EXPECT_GT(s.writesSent, 10);
  EXPECT_GT(s.boxes, 10);
  EXPECT_GT(s.codes[6] + s.codes[1], 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoakTest, ::testing::Values(1u, 77u, 20240611u));

}  // namespace
