// Host-side helpers of the kernel: errno translation and the machine-wide
// gate that serialises checks made across processes.
#pragma once

#include <winsim/sim/machine.h>

#include <handles/fd.h>

#include <filesystem>
#include <mutex>

namespace winsim::host {

// The Win32 code closest to a host errno.
DWORD ErrorFromErrno(int error);

// Folder for the machine's named objects and lock files: root/objects.
std::filesystem::path ObjectsDir(const Machine& machine);

// Serialises "look, then take" sequences against other threads and against
// other processes that share the machine folder (flock on one gate file).
class Gate : public MachinePart {
 public:
  explicit Gate(Machine& machine);
  class Hold {
   public:
    explicit Hold(Gate& gate);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    Gate& m_gate;
    std::unique_lock<std::mutex> m_lock;
  };

 private:
  std::mutex m_mutex;
  handles::UniqueFd m_fd;  // may be invalid when the folder is not writable: then in-process only
};

// One-byte OFD lock helpers (per open file description, so two descriptors of
// one process conflict like two processes do). `exclusive` needs a writable fd.
bool TryLockByte(int fd, off_t offset, bool exclusive);
void UnlockByte(int fd, off_t offset);
// Whether another descriptor holds a lock on the byte that would conflict with
// an exclusive lock.
bool ByteLockedElsewhere(int fd, off_t offset);

}  // namespace winsim::host
