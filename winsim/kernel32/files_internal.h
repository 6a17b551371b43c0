// What the link and information functions need of an open disk file.
#pragma once

#include <winsim/wintypes.h>

#include <memory>
#include <string>
#include <sys/stat.h>
#include <time.h>

namespace winsim::files {

// The host descriptor behind a disk-file handle, in `fd`, and the handle's
// access rights; the returned owner keeps it open for the call. Null (and fd
// -1) for any other handle.
std::shared_ptr<const void> HostFileOf(HANDLE handle, int& fd, DWORD* access = nullptr);

// The host name of what an open descriptor stands for, links on the way resolved.
bool HostNameOf(int fd, std::string& name);

// The attributes of a name whose own status (lstat) is `own`: a link's are
// its own, marked as a folder when it leads to one.
DWORD AttributesOf(const struct stat& own, bool linkToFolder);

// A host time stamp as a Windows file time.
FILETIME FileTimeOf(const struct timespec& time);

}  // namespace winsim::files
