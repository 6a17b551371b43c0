// kernel32: the transfer calls shared by files and devices.
#include <winsim/kernel32.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/machine.h>

using namespace winsim;

namespace {
std::shared_ptr<IoObject> IoOf(HANDLE handle) { return CurrentMachine().handles().GetAs<IoObject>(handle); }
}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  auto io = IoOf(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpOverlapped && !lpNumberOfBytesRead) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  return io->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  auto io = IoOf(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpOverlapped && !lpNumberOfBytesWritten) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  return io->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto io = IoOf(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return io->Flush();
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  auto io = IoOf(hFile);
  if (!io) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // A driver without a cancel routine leaves the transfers pending.
  if (Faults::Take(FaultPoint::kCancelIo) == ERROR_SUCCESS) io->Cancel(nullptr);
  return TRUE;  // CancelIo succeeds also when nothing was pending
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  if (!lpOverlapped || !lpNumberOfBytesTransferred) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!IoOf(hFile)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  ULONG_PTR state;
  {
    std::lock_guard lock(KernelLock());
    state = lpOverlapped->Internal;
  }
  if (state == STATUS_PENDING) {
    if (!bWait) return Fail(ERROR_IO_INCOMPLETE, FALSE);
    WaitForOverlapped(lpOverlapped);
  }
  std::lock_guard lock(KernelLock());
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (lpOverlapped->Internal == 0) return TRUE;
  return Fail(static_cast<DWORD>(lpOverlapped->Internal & ~kCompletedTag), FALSE);
}

}  // extern "C"
