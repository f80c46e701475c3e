// What a user's action carries from the click to its turn: the device the user saw and the
// load of the configuration on screen. The window asks Judge() when the action's turn
// comes and again before anything goes out; an action the window has moved away from sends
// nothing and says why in one line.
#pragma once
#include <cstdint>
#include <string>

enum class UserAction { Write, DelLost, Replace, Report, Archive, Compare, Doc };

struct Intent {
  UserAction action = UserAction::Write;
  uint32_t devId = 0;   // the selected device at the click; 0: none
  uint64_t cfgGen = 0;  // the load of `Cfg` shown at the click
  uint16_t pair = 0;    // "Zastąp": the pair chosen
};

// The window as it is when the action's turn comes.
struct IntentNow {
  uint32_t devId = 0;
  uint64_t cfgGen = 0;
  bool pairOffered = false;  // "Zastąp": the group offers the intent's pair for this device
  bool closing = false;      // the window is closing
  bool quitting = false;     // a signal asked the program to end
  // The device answers from two addresses: its TwoAddressText, else empty.
  std::string twoAddresses;
};

enum class Verdict { Run, OtherDevice, Reloaded, PairGone, TwoAddresses, Closing };

// The actions that write to the controller: refused while it answers from two addresses.
bool WritesToController(UserAction action);

// A "Raport" not yet started is dropped at a close (its dialogs would open after it), and
// once a signal asked the program to end so are the items of the menu "Plik", which end in
// a box: they say nothing (Closing).
Verdict Judge(const Intent& intent, const IntentNow& now);

// The status line for an action that did not run (UTF-8); empty for Run and Closing, which
// say nothing. For TwoAddresses the reason is now.twoAddresses.
std::string RefusalText(UserAction action, Verdict verdict, const std::string& twoAddresses = {});
