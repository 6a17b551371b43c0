// The allocation half of FaultPoint::kHeapAlloc: programs linked with
// winsim_alloc_faults have the linker send every malloc, calloc, realloc,
// strdup and nothrow new of their statically linked code here (--wrap), so a
// test can make the product's own allocations fail one by one. The C++
// runtime's allocations (containers, throwing new) are not touched: they are
// made inside the shared runtime, which the linker does not rewrite.
#include <winsim/sim/faults.h>

#include <cerrno>
#include <cstddef>
#include <new>

extern "C" {

void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
char* __real_strdup(const char* text);
void* __real__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);
void* __real__ZnamRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);

}  // extern "C"

namespace {

bool Refused(std::wstring_view call) {
  if (winsim::Faults::Take(winsim::FaultPoint::kHeapAlloc, call) == ERROR_SUCCESS) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

void* __wrap_malloc(size_t size) { return Refused(L"malloc") ? nullptr : __real_malloc(size); }

void* __wrap_calloc(size_t count, size_t size) { return Refused(L"calloc") ? nullptr : __real_calloc(count, size); }

// A refused realloc leaves the block as it was, as a real one does.
void* __wrap_realloc(void* block, size_t size) { return Refused(L"realloc") ? nullptr : __real_realloc(block, size); }

char* __wrap_strdup(const char* text) { return Refused(L"strdup") ? nullptr : __real_strdup(text); }

void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
  return Refused(L"new") ? nullptr : __real__ZnwmRKSt9nothrow_t(size, tag);
}

void* __wrap__ZnamRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
  return Refused(L"new") ? nullptr : __real__ZnamRKSt9nothrow_t(size, tag);
}

}  // extern "C"
