// kernel32: the process itself: its id, its executable's name, its local heap.
#include "codepage.h"

#include <winsim/kernel32.h>
#include <winsim/sim/executable.h>
#include <winsim/sim/faults.h>
#include <winsim/sim/files.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>
#include <unordered_set>

using namespace winsim;

namespace winsim {

Executable::Executable(Machine&) {
  std::error_code ec;
  m_hostPath = std::filesystem::read_symlink("/proc/self/exe", ec);
}

std::filesystem::path Executable::HostPath() const {
  std::lock_guard lock(m_mutex);
  return m_hostPath;
}

void Executable::SetHostPath(std::filesystem::path path) {
  std::lock_guard lock(m_mutex);
  m_hostPath = std::move(path);
}

std::wstring Executable::WindowsPath() const { return WindowsPathOf(HostPath()); }

bool Executable::HasVersionResource() const {
  std::lock_guard lock(m_mutex);
  return m_hasVersion;
}

void Executable::SetVersionResource(bool present) {
  std::lock_guard lock(m_mutex);
  m_hasVersion = present;
}

}  // namespace winsim

namespace {

// Copies a module name out as Windows (Vista and later) does: a name that
// does not fit is cut to nSize - 1 characters and terminated, the result is
// nSize and the last error ERROR_INSUFFICIENT_BUFFER.
template <class Char>
DWORD CopyModuleName(const std::basic_string<Char>& name, Char* out, DWORD size) {
  if (size == 0) return Fail(ERROR_INSUFFICIENT_BUFFER, 0u);
  if (!out) return Fail(ERROR_NOACCESS, 0u);
  if (name.size() >= size) {
    std::memcpy(out, name.data(), (size - 1) * sizeof(Char));
    out[size - 1] = 0;
    return Fail(ERROR_INSUFFICIENT_BUFFER, size);
  }
  std::memcpy(out, name.data(), name.size() * sizeof(Char));
  out[name.size()] = 0;
  return static_cast<DWORD>(name.size());
}

struct LocalHeap {
  std::mutex mutex;
  std::unordered_set<void*> blocks;
};

LocalHeap& Heap() {
  static LocalHeap* heap = new LocalHeap;  // outlives every static destructor
  return *heap;
}

constexpr UINT kLocalFlags = LMEM_FIXED | LMEM_ZEROINIT;

}  // namespace

size_t winsim::LocalHeapBlocks() {
  std::lock_guard lock(Heap().mutex);
  return Heap().blocks.size();
}

extern "C" {

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (hModule) return Fail(ERROR_MOD_NOT_FOUND, 0u);
  return CopyModuleName(CurrentMachine().Part<Executable>().WindowsPath(), lpFilename, nSize);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule) return Fail(ERROR_MOD_NOT_FOUND, 0u);
  return CopyModuleName(codepage::AnsiFromWide(CurrentMachine().Part<Executable>().WindowsPath()), lpFilename, nSize);
}

// Only fixed memory: LMEM_MOVEABLE handles would need LocalLock, which this
// subset does not have.
// The blocks come from the C++ runtime's throwing allocator, which
// winsim_alloc_faults leaves alone, so that the knob counts a LocalAlloc once.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags & ~kLocalFlags) return Fail(ERROR_INVALID_PARAMETER, static_cast<HLOCAL>(nullptr));
  if (DWORD error = Faults::Take(FaultPoint::kHeapAlloc, L"LocalAlloc")) return Fail(error, static_cast<HLOCAL>(nullptr));
  const size_t size = uBytes ? uBytes : 1;
  void* block = nullptr;
  try {
    block = ::operator new(size);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HLOCAL>(nullptr));
  }
  if (uFlags & LMEM_ZEROINIT) std::memset(block, 0, size);
  std::lock_guard lock(Heap().mutex);
  Heap().blocks.insert(block);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (!hMem) return nullptr;
  {
    std::lock_guard lock(Heap().mutex);
    if (Heap().blocks.erase(hMem) == 0) return Fail(ERROR_INVALID_HANDLE, hMem);
  }
  ::operator delete(hMem);
  return nullptr;
}

}  // extern "C"
