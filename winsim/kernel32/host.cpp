#include "host.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace winsim::host {

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EBUSY: return ERROR_BUSY;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_GEN_FAILURE;
  }
}

std::filesystem::path ObjectsDir(const Machine& machine) { return machine.config().root / "objects"; }

Gate::Gate(Machine& machine) {
  std::error_code ec;
  std::filesystem::create_directories(ObjectsDir(machine), ec);
  m_fd = handles::UniqueFd(::open((ObjectsDir(machine) / "gate.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
}

Gate::Hold::Hold(Gate& gate) : m_gate(gate), m_lock(gate.m_mutex) {
  if (!m_gate.m_fd.Valid()) return;
  while (::flock(m_gate.m_fd.Get(), LOCK_EX) != 0 && errno == EINTR) {
  }
}

Gate::Hold::~Hold() {
  if (m_gate.m_fd.Valid()) ::flock(m_gate.m_fd.Get(), LOCK_UN);
}

namespace {
struct flock ByteRange(short type, off_t offset) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = offset;
  range.l_len = 1;
  return range;
}
}  // namespace

bool TryLockByte(int fd, off_t offset, bool exclusive) {
  struct flock range = ByteRange(exclusive ? F_WRLCK : F_RDLCK, offset);
  return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

void UnlockByte(int fd, off_t offset) {
  struct flock range = ByteRange(F_UNLCK, offset);
  ::fcntl(fd, F_OFD_SETLK, &range);
}

bool ByteLockedElsewhere(int fd, off_t offset) {
  struct flock range = ByteRange(F_WRLCK, offset);
  if (::fcntl(fd, F_OFD_GETLK, &range) != 0) return false;
  return range.l_type != F_UNLCK;
}

}  // namespace winsim::host
