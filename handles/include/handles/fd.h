// A host file descriptor with its owner (POSIX hosts: winsim's lock files,
// named objects and disk files, the pipes of a child process).
#pragma once

#include <handles/unique_handle.h>

#include <unistd.h>

namespace handles {

struct FdTraits {
  using Handle = int;
  static int None() { return -1; }
  static bool Owns(int fd) { return fd >= 0; }
  static void Close(int fd) { ::close(fd); }
};

using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace handles
