// The documented two-passage example: a controller, a reader and a lock, two passages.
#pragma once
#include <cstring>
#include <string>

#include "config/ctrlcfg.h"

inline constexpr IoRef Ref(int slot, int index, bool nc = false) {
  return IoRef((slot << 8) | index | (nc ? 0x80 : 0));
}

// Every reference unassigned, no airlock, no device.
inline void EmptyCfg(CtrlCfg& cfg) {
  std::memset(&cfg, 0, sizeof cfg);
  for (auto& d : cfg.doors) {
    for (auto& r : d.outputs) r = kNoRef;
    for (auto& r : d.inputs) r = kNoRef;
    for (auto& r : d.readers) r = kNoRef;
  }
}

inline void AddDev(CtrlCfg& cfg, uint32_t id, int suffixNumber) {
  const int slot = cfg.devCount++;
  cfg.devs[slot].id = id;
  cfg.devs[slot].suffixNumber = uint8_t(suffixNumber);
  cfg.devs[slot].outputCount = 4;
  cfg.devs[slot].inputCount = 4;
  cfg.devs[slot].readerCount = 2;
  cfg.order[cfg.listedCount++] = slot;
}

inline void ExampleCfg(CtrlCfg& cfg) {
  EmptyCfg(cfg);
  AddDev(cfg, MakeId(301, 123), 1);  // K01_00123/A1
  AddDev(cfg, MakeId(1, 456), 2);    // R01_00456/A2
  AddDev(cfg, MakeId(201, 789), 3);  // Z01_00789/A3
  cfg.doorCount = 2;
  DoorCfg& p1 = cfg.doors[0];
  p1.outputs[0] = Ref(0, 0);        // bolt: controller Out1
  p1.inputs[1] = Ref(0, 0);         // open sensor: controller In1
  p1.inputs[0] = Ref(0, 1, true);   // exit button: controller In2, NC
  p1.readers[0] = Ref(1, 0);        // reader 1: R01_00456 Rd1
  p1.outputs[2] = Ref(0, 2, true);  // alarm: controller Out3, NC
  p1.params[kParFlags] = kFlagAirlock | 0;
  DoorCfg& p2 = cfg.doors[1];
  p2.outputs[0] = Ref(2, 0);
  p2.inputs[1] = Ref(2, 0);
  p2.readers[0] = Ref(2, 0);
  p2.outputs[2] = Ref(0, 2, true);  // the same alarm output as passage 1
}

// The file of the example as it must appear on disk: Windows-1250, CR LF, trailing blanks.
// dateLine is the "Data: " value, so the flow tests can put in the day they run on.
inline std::string ExampleReport(const std::string& location = "Budynek B, parter",
                                 const std::string& date = "2024-03-05") {
  return std::string(
             "Raport konfiguracji przej\x9C"
             "\xE6 kontrolera\r\n"
             "======================================\r\n"
             "\r\n"
             "   Kontroler: K01_00123\r\n"
             " Lokalizacja: ") +
         location + "\r\n" + "        Data: " + date + "\r\n" +
         "\r\n"
         "  Urz\xB9"
         "dzenia: K01_00123/A1, R01_00456/A2, Z01_00789/A3.\r\n"
         "\r\n"
         "\r\n"
         "                     Przej\x9C"
         "cie 1           Przej\x9C"
         "cie 2\r\n"
         "------------------------------------------------------------\r\n"
         "          Rygiel:  K01_00123:Out1        Z01_00789:Out1    \r\n"
         "Czujnik otwarcia:  K01_00123:In1         Z01_00789:In1     \r\n"
         "\r\n"
         "Przycisk wyj\x9C"
         "cia:  K01_00123:In2 [NC]         ---          \r\n"
         " Czujka alarmowa:       ---                   ---          \r\n"
         "         Sabota\xBF:       ---                   ---          \r\n"
         "\r\n"
         "       Czytnik 1:  R01_00456:Rd1         Z01_00789:Rd1     \r\n"
         "       Czytnik 2:       ---                   ---          \r\n"
         "       Czytnik 3:       ---                   ---          \r\n"
         "       Czytnik 4:       ---                   ---          \r\n"
         "\r\n"
         "   Przypomnienie:       ---                   ---          \r\n"
         "           Alarm:  K01_00123:Out3[NC]    K01_00123:Out3[NC]\r\n"
         "            CCTV:       ---                   ---          \r\n"
         "\r\n"
         "           \x8C"
         "luzy:     \x8C"
         "luza 1                 ---      \r\n"
         "------------------------------------------------------------\r\n"
         "\r\n";
}
