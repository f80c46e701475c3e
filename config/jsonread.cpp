// Strict JSON reading for the tool's files: the parser's errors with their place, bytes that
// are not UTF-8 named as such, and keys given twice refused with their path.
#include "config/jsonread.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

using nlohmann::json;

namespace {

// Keys given twice in one object: JSON readers differ on which one counts, so a file
// with one is refused. The parser's events give the path of the first such key.
class DuplicateKeys {
 public:
  bool Event(json::parse_event_t ev, const json& parsed) {
    using E = json::parse_event_t;
    switch (ev) {
      case E::object_start:
      case E::array_start:
        stack_.push_back(Frame{ev == E::array_start, 0, ChildPath(), {}, {}});
        break;
      case E::key:
        if (!stack_.empty()) {
          Frame& f = stack_.back();
          f.key = parsed.is_string() ? parsed.get<std::string>() : parsed.dump();
          if (!f.keys.insert(f.key).second && first_.empty()) first_ = ChildPath();
        }
        break;
      case E::object_end:
      case E::array_end:
        if (!stack_.empty()) stack_.pop_back();
        Next();
        break;
      case E::value:
        Next();
        break;
    }
    return true;
  }
  const std::string& First() const { return first_; }

 private:
  struct Frame {
    bool array;
    size_t index;
    std::string path, key;
    std::set<std::string> keys;
  };
  std::vector<Frame> stack_;
  std::string first_;

  std::string ChildPath() const {
    if (stack_.empty()) return "";
    const Frame& f = stack_.back();
    if (f.array) return f.path + "[" + std::to_string(f.index) + "]";
    return f.path.empty() ? f.key : f.path + "." + f.key;
  }
  void Next() {
    if (!stack_.empty() && stack_.back().array) ++stack_.back().index;
  }
};

// "w wierszu 3, kolumnie 14" for a parser's byte count (1-based, the character it stopped at).
std::string Place(std::string_view text, size_t byte) {
  const size_t pos = std::min(byte, text.size());
  size_t line = 1, col = 0;
  for (size_t i = 0; i < pos; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      col = 0;
    } else if ((c & 0xC0) != 0x80) {
      ++col;  // a character, not a UTF-8 continuation byte
    }
  }
  return "w wierszu " + std::to_string(line) + ", kolumnie " +
         std::to_string(std::max<size_t>(col, 1));
}

// Offset of the first byte that does not belong to a well-formed UTF-8 character (RFC 3629:
// no overlong forms, no surrogates, nothing above U+10FFFF), or text.size().
size_t FirstNonUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= text.size()) return i;
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return i + k;
    }
    i += n + 1;
  }
  return text.size();
}

}  // namespace

bool ParseJsonText(std::string_view text, json& out, std::string& error) {
  DuplicateKeys dup;
  try {
    out = json::parse(
        text.begin(), text.end(),
        [&dup](int, json::parse_event_t ev, json& parsed) { return dup.Event(ev, parsed); }, true);
  } catch (const json::parse_error& e) {
    // A byte that is not UTF-8 at or before where the parser stopped is the cause.
    const size_t at = FirstNonUtf8(text);
    if (at < text.size() && at < e.byte) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", unsigned(static_cast<unsigned char>(text[at])));
      error = std::string("plik nie jest tekstem UTF-8: bajt ") + hex + " " + Place(text, at + 1);
      return false;
    }
    error = std::string("plik nie jest poprawnym dokumentem JSON (uszkodzony lub obcięty): ") +
            (e.byte >= text.size() ? "dokument urwany" : "błąd składni") + " " +
            Place(text, e.byte);
    return false;
  } catch (const json::exception& e) {
    // A number beyond what a double holds: the parser names it, not its place.
    const std::string what = e.what();
    const size_t a = what.find('\''), b = what.rfind('\'');
    const std::string number = a != std::string::npos && b > a ? what.substr(a + 1, b - a - 1) : "";
    const size_t at = number.empty() ? std::string::npos : text.find(number);
    error = "plik nie jest poprawnym dokumentem JSON: liczba " + number + " poza zakresem" +
            (at == std::string::npos ? std::string() : " " + Place(text, at + 1));
    return false;
  }
  if (!dup.First().empty()) {
    error = dup.First() + ": klucz podany dwa razy";
    return false;
  }
  return true;
}
