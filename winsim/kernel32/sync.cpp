// kernel32: last error, handles, events, waits, time.
#include <winsim/kernel32.h>
#include <winsim/sim/machine.h>
#include <winsim/sim/faults.h>

#include <chrono>
#include <vector>

using namespace winsim;

namespace {
constexpr uintptr_t kCurrentProcessPseudo = static_cast<uintptr_t>(-1);
constexpr uintptr_t kCurrentThreadPseudo = static_cast<uintptr_t>(-2);

bool IsPseudoHandle(HANDLE handle) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  return value == kCurrentProcessPseudo || value == kCurrentThreadPseudo;
}

SYSTEMTIME ToSystemTime(int64_t wallMs) {
  using namespace std::chrono;
  auto tp = sys_time<milliseconds>(milliseconds(wallMs));
  auto day = floor<days>(tp);
  year_month_day ymd(day);
  hh_mm_ss<milliseconds> hms(tp - day);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(static_cast<int>(ymd.year()));
  st.wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
  st.wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
  st.wDayOfWeek = static_cast<WORD>(weekday(day).c_encoding());
  st.wHour = static_cast<WORD>(hms.hours().count());
  st.wMinute = static_cast<WORD>(hms.minutes().count());
  st.wSecond = static_cast<WORD>(hms.seconds().count());
  st.wMilliseconds = static_cast<WORD>(hms.subseconds().count());
  return st;
}
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return LastErrorCode(); }
void WINAPI SetLastError(DWORD dwErrCode) { SetLastErrorCode(dwErrCode); }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (IsPseudoHandle(hObject)) return TRUE;
  auto object = CurrentMachine().handles().Remove(hObject);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->OnHandleClosed();
  return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (DWORD error = Faults::Take(FaultPoint::kCreateEvent, lpName ? lpName : L""))
    return Fail(error, static_cast<HANDLE>(nullptr));
  if (lpName) return Fail(ERROR_NOT_SUPPORTED, static_cast<HANDLE>(nullptr));  // no named events here
  HANDLE handle = CurrentMachine().handles().Insert(std::make_shared<Event>(bManualReset, bInitialState));
  SetLastErrorCode(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = CurrentMachine().handles().GetAs<Event>(hEvent);
  if (!event) return Fail(ERROR_INVALID_HANDLE, FALSE);
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = CurrentMachine().handles().GetAs<Event>(hEvent);
  if (!event) return Fail(ERROR_INVALID_HANDLE, FALSE);
  event->Reset();
  return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles)
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  std::vector<std::shared_ptr<KernelObject>> objects;
  objects.reserve(nCount);
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = CurrentMachine().handles().Get(lpHandles[i]);
    if (!object || !object->Waitable()) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    objects.push_back(std::move(object));
  }
  return WaitForObjects(objects.data(), objects.size(), bWaitAll != FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  CurrentMachine().clock().Sleep(dwMilliseconds == INFINITE ? Clock::kNever : dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(CurrentMachine().clock().NowMs()); }
ULONGLONG WINAPI GetTickCount64(void) { return CurrentMachine().clock().NowMs(); }

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime) *lpSystemTime = ToSystemTime(CurrentMachine().clock().WallMs());
}

// The simulated machine's time zone is UTC: local and system time agree.

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }
HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(kCurrentProcessPseudo); }

}  // extern "C"
