// Closing the main window while operations run or wait, in one place.
//
// Open: ticks run, errors are shown. A close asked for while work runs or waits makes the
// window Waiting: ticks and dialogs not yet started are dropped, the rest finishes within
// its own waits. A failure of the user's action meanwhile, or the refusal of one the window
// has moved on from, is shown and cancels the close: the window is Open again and the user
// decides anew. Once nothing runs or waits, the window closes (Closed) and nothing starts
// any more. A close asked for by a signal (Quit) shows nothing and is not cancelled, so the
// program ends within the waits.
//
// Before a close the user asked for goes on, the plan windows' unsaved edits are asked about
// in one question; "Anuluj" keeps every window open. The plan windows close before the main
// window, never after it.
#pragma once
#include <string>
#include <vector>

class CloseFlow {
 public:
  enum State { kOpen, kWaiting, kClosed };

  State Now() const { return state_; }
  bool TicksAllowed() const { return state_ == kOpen; }
  bool Quitting() const { return quit_; }

  // Whether a close asked for now first asks about the plan windows' unsaved edits: not
  // again while a close waits, and never once a signal asked for the end.
  bool AsksAboutEdits() const { return state_ == kOpen && !quit_; }
  // The user's answer to that question (`closeAnyway`: "Zamknij bez zapisywania"): whether
  // the close goes on. A signal that came while the question was open ends the program
  // whatever the answer.
  bool Answered(bool closeAnyway) const { return closeAnyway || quit_; }
  // A close is asked for; `idle`: nothing runs or waits. True when the window may close now.
  bool Ask(bool idle, bool quit) {
    quit_ = quit_ || quit;
    if (state_ == kClosed || idle) {
      state_ = kClosed;
      return true;
    }
    state_ = kWaiting;
    return false;
  }
  // An operation failed; `userAction`: one the user asked for (not a tick). True when its
  // error is to be shown; a shown error cancels a waiting close.
  bool Failed(bool userAction) {
    if (state_ == kOpen) return true;
    if (state_ == kClosed || quit_ || !userAction) return false;
    state_ = kOpen;
    return true;
  }
  // A user's action asked for before the close was refused at its turn (the window had
  // moved on from what the user saw): it did not happen, which the user must learn as a
  // failure. True when it is to be shown in a box; that cancels a waiting close. While the
  // window is open, the status line says it; a signal's close says nothing.
  bool Refused() {
    if (state_ != kWaiting || quit_) return false;
    state_ = kOpen;
    return true;
  }
  // Nothing runs or waits any more: true when a waiting close is to happen now.
  bool Drained() const { return state_ == kWaiting; }
  // The window is being destroyed.
  void End() {
    state_ = kClosed;
    quit_ = true;
  }

 private:
  State state_ = kOpen;
  bool quit_ = false;
};

// The question before the main window closes over plan windows with unsaved edits, each
// named by its title; empty when there are none.
inline std::string UnsavedPlansQuestion(const std::vector<std::string>& titles) {
  if (titles.empty()) return {};
  std::string text = titles.size() == 1 ? "Okno planu ma niezapisane zmiany:\n"
                                        : "Okna planu mają niezapisane zmiany:\n";
  for (const std::string& t : titles) text += "  " + t + "\n";
  text += "\nZamknąć program bez zapisywania ich? „Anuluj” pozostawia wszystkie okna otwarte.";
  return text;
}
