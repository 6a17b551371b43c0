// The machine's ANSI code page (Windows-1252), for the A entry points.
#pragma once

#include <string>
#include <string_view>

namespace winsim::codepage {

std::wstring WideFromAnsi(std::string_view text);
// Characters without a Windows-1252 form become '?'.
std::string AnsiFromWide(std::wstring_view text);

}  // namespace winsim::codepage
