// Polish counted nouns: one form for 1, one for 2-4 (but not 12-14), one for the rest.
#pragma once
#include <string>

// "1 przejście", "3 przejścia", "5 przejść", "12 przejść", "22 przejścia".
inline std::string CountPl(long long n, const char* one, const char* few, const char* many) {
  const long long a = n < 0 ? -n : n;
  const char* word = many;
  if (a == 1)
    word = one;
  else if (a % 10 >= 2 && a % 10 <= 4 && (a % 100 < 12 || a % 100 > 14))
    word = few;
  return std::to_string(n) + " " + word;
}

// A number of controllers after "z" or "do" (the genitive): "z 1 kontrolera", "z 2
// kontrolerów", "do 5 kontrolerów".
inline std::string CtrlsGen(long long n) {
  return CountPl(n, "kontrolera", "kontrolerów", "kontrolerów");
}
