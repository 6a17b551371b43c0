// SIDs between their binary form and their string form ("S-1-5-21-...").
#pragma once

#include <winsim/security.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim {

constexpr size_t kSidHeaderBytes = 8;  // revision, sub-authority count, 6-byte authority

// The binary SID of a string SID; nothing when the text is not one.
std::optional<std::vector<BYTE>> ParseSid(const std::wstring& text);
// The string form of a valid binary SID.
std::wstring FormatSid(const SID* sid);

}  // namespace winsim
