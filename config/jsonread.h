// Strict JSON reading shared by the archive and the site plan readers.
#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

// Parses text; false with the reason (Polish, UTF-8) for a syntax error or a truncated text
// (with line and column), a byte that is not UTF-8 (with its value and place) and a key given
// twice in one object (with its JSON path, "passages[1].boltPulse"): JSON readers differ on
// which of two equal keys counts, so such a file is refused.
bool ParseJsonText(std::string_view text, nlohmann::json& out, std::string& error);
