// The system message table behind FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM).
#pragma once

#include <winsim/wintypes.h>

namespace winsim::messages {

// The English text of a system error code, with its trailing "\r\n", or
// null when the system has no text for it.
const wchar_t* SystemText(DWORD code);

}  // namespace winsim::messages
