// Decisions of the passage editor taken over the configuration model alone: which
// candidates each list offers and in which order, the NC boxes, the time and train
// number texts, the airlock list. No widgets here, so every rule can be tested plainly.
#pragma once
#include <string>
#include <vector>

#include "config/ctrlcfg.h"

// The empty choice of every candidate list (two blanks, five hyphens).
inline constexpr char kEmptyChoice[] = "  -----";

// Airlock numbers the passage record can hold (bits 0-1 of its flags byte).
inline constexpr int kMaxAirlocks = 4;

// The free outputs, inputs or readers of one refresh.
struct FreeList {
  IoRef refs[kMaxDevs * 16];
  int count = 0;
};
void TakeFree(const CtrlCfg& cfg, int kind, FreeList& out);

// Bolt, reminder, inputs and readers: the current assignment if any, the empty choice,
// then every free candidate.
void PlainListItems(IoRef current, const FreeList& free, std::vector<IoRef>& out);

// Alarm and CCTV of passage `door`: the current assignment (or the empty choice), the
// outputs other passages use in the same slot, the empty choice as separator, the free ones.
void SharedListItems(const CtrlCfg& cfg, int door, int slot, const FreeList& free,
                     std::vector<IoRef>& out);

// Open sensor: the current one if any, the empty choice and, only while the passage has a
// bolt, the free inputs of the bolt's device. Returns whether the list may be used.
bool OpenSensorItems(IoRef current, IoRef bolt, const FreeList& free, std::vector<IoRef>& out);

struct NcState {
  bool enabled;
  bool checked;
};
// An output's NC flag is offered only for open-collector outputs.
NcState OutputNc(const CtrlCfg& cfg, IoRef ref);
NcState InputNc(IoRef ref);

// Text of one list entry; the empty choice for kNoRef.
std::string RefItemText(const CtrlCfg& cfg, IoRef ref, const char* kindText);

// Half seconds as the installer reads them: 5 -> "2,5", 4 -> "2".
std::string FormatHalfSeconds(int v);
// "%d,%1d": a whole number, a comma and one digit; what cannot be read counts as 0.
// The result is limited to 0..127 half seconds.
int ParseHalfSeconds(const std::string& text);
// "%d" limited to 0..9999; text that is no number gives 0.
int ParseTrainNumber(const std::string& text);

// Number of airlock entries after the empty choice: half the passages, no more than the
// record can store, so that no entry silently leaves the passage without an airlock.
int AirlockCount(int doorCount);
// The airlock list: the empty choice, then "Śluza 1".. (UTF-8).
std::vector<std::string> AirlockItems(int doorCount);
// Item of the airlock list that shows the passage's airlock; -1 when the list lacks it.
int AirlockItemIndex(const CtrlCfg& cfg, int door);

// Item of the type list for the passage's type; -1 for a type outside the list.
int TypeItemIndex(const CtrlCfg& cfg, int door);
inline constexpr int kDoorTypeCount = 5;
// Sets the type (low four bits of parameter byte 0); the other bits stay.
void SetDoorType(CtrlCfg& cfg, int door, int index);
// Sets or clears one bit of the flags byte (handle opening, full bolt pulse).
void SetDoorFlag(CtrlCfg& cfg, int door, uint8_t flag, bool on);
bool DoorFlag(const CtrlCfg& cfg, int door, uint8_t flag);

// Whether the train number field belongs to this controller.
bool TrainNumberShown(const CtrlCfg& cfg);

// The testing group (type, flags, times) is editable only in mode "Instalacja".
inline bool TestingEnabled(int mode) {
  return mode == 3;
}
