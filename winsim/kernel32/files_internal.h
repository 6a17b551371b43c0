// What the link and information functions need of an open disk file.
#pragma once

#include <winsim/wintypes.h>

#include <memory>

namespace winsim::files {

// The host descriptor behind a disk-file handle, in `fd`; the returned owner
// keeps it open for the call. Null (and fd -1) for any other handle.
std::shared_ptr<const void> HostFileOf(HANDLE handle, int& fd);

}  // namespace winsim::files
