#include "intent.h"

Verdict Judge(const Intent& intent, const IntentNow& now) {
  if (now.closing && intent.action == UserAction::Report) return Verdict::Closing;
  const bool endsInABox = intent.action == UserAction::Archive ||
                          intent.action == UserAction::Compare || intent.action == UserAction::Doc;
  if (now.quitting && endsInABox) return Verdict::Closing;
  if (intent.devId == 0 || intent.devId != now.devId) return Verdict::OtherDevice;
  if (intent.cfgGen != now.cfgGen) return Verdict::Reloaded;
  if (intent.action == UserAction::Replace && !now.pairOffered) return Verdict::PairGone;
  // Which of the two hosts is the controller is unknown: nothing is written to either.
  if (WritesToController(intent.action) && !now.twoAddresses.empty()) return Verdict::TwoAddresses;
  return Verdict::Run;
}

bool WritesToController(UserAction action) {
  return action == UserAction::Write || action == UserAction::DelLost ||
         action == UserAction::Replace;
}

std::string RefusalText(UserAction action, Verdict verdict, const std::string& twoAddresses) {
  const char* what = "";
  switch (action) {
    case UserAction::Write:
      what = "Nie zapisano";
      break;
    case UserAction::DelLost:
      what = "Nie usunięto nieaktywnych";
      break;
    case UserAction::Replace:
      what = "Nie zastąpiono";
      break;
    case UserAction::Report:
      what = "Nie zapisano raportu";
      break;
    case UserAction::Archive:
      what = "Nie zapisano archiwum";
      break;
    case UserAction::Compare:
      what = "Nie porównano z archiwum";
      break;
    case UserAction::Doc:
      what = "Nie zapisano dokumentacji";
      break;
  }
  switch (verdict) {
    case Verdict::OtherDevice:
      return std::string(what) + ": wybrano inne urządzenie.";
    case Verdict::Reloaded:
      return std::string(what) + ": konfiguracja została wczytana ponownie.";
    case Verdict::PairGone:
      return std::string(what) + ": tej pary nie ma już na liście.";
    case Verdict::TwoAddresses:
      return std::string(what) + ": " + twoAddresses;
    case Verdict::Run:
    case Verdict::Closing:
      break;
  }
  return {};
}
