// The text hidcaps prints for a report descriptor: per top-level collection a
// `caps` line, then the button and value caps of each report type in the
// order the HidP functions return them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hidcaps {

// Hex digits, optionally separated by white space; nullopt when malformed.
std::optional<std::vector<uint8_t>> ParseHex(const std::string& text);

// The caps report of a descriptor, or the parser's error in `error`.
std::optional<std::string> CapsReport(std::span<const uint8_t> descriptor, std::string& error);

}  // namespace hidcaps
