#include "wot/SampleService.h"

#include "hid/VendorIds.h"
#include "log/DbgLog.h"
#include "service/ServiceIdentity.h"

#include <memory>
#include <new>

namespace {

constexpr DWORD kPushSpinCount = 0x80000;
// How often the teardown wait looks at the run count again: a run's last act
// is to leave the count, after its last touch of the stopped event.
constexpr DWORD kWatcherEndPollMs = 100;

// The generation of the watcher run the calling thread is running; 0 on any
// other thread.
thread_local DWORD t_dwRunGeneration = 0;

}  // namespace

struct SWatchRecord {
  void (*pfnRoutine)(CSampleService*);
  void (*pfnGenerationRoutine)(CSampleService*, DWORD);
  DWORD dwGeneration;
  CSampleService* pService;
};

namespace {

HANDLE CreateManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace

CSampleService::CSampleService()
    : CServiceBase(kServiceName),
      m_dwVid(kVendorId),
      m_dwPid(0),
      m_dwStartDelay(kStartDelayMs),
      m_fThreadRunning(false),
      m_dwWotSel(0),
      m_szRegPath{},
      m_csPush{},
      fRegExist(FALSE),
      m_fStopWatch(FALSE),
      m_hStoppedEvent(nullptr),
      m_hRegWatchEvent(nullptr),
      m_hNotifyKey(nullptr),
      m_fServiceEnding(FALSE),
      m_nWatchRuns(0),
      m_hEndingEvent(nullptr),
      m_dwRunGeneration(0),
      m_csRegPath{},
      m_fCsPushReady(false) {
  // What was created is closed again before a failure is raised: a
  // constructor that throws never runs its destructor.
  struct SNewEvent {
    HANDLE* phEvent;
    PCWSTR pszFailure;
  } const events[] = {{&m_hStoppedEvent, L"m_hStoppedEvent create fail."},
                      {&m_hRegWatchEvent, L"m_hRegWatchEvent create fail."},
                      {&m_hEndingEvent, L"m_hEndingEvent create fail."}};
  for (const SNewEvent& item : events) {
    *item.phEvent = CreateManualResetEvent();
    if (*item.phEvent) continue;
    const DWORD dwError = GetLastError();
    LogMessage(item.pszFailure, EVENTLOG_INFORMATION_TYPE);
    ReleaseWatchResources(false);
    throw dwError;
  }
  if (!InitializeCriticalSectionAndSpinCount(&m_csPush, kPushSpinCount)) {
    const DWORD dwError = GetLastError();
    ReleaseWatchResources(false);
    throw dwError;
  }
  InitializeCriticalSection(&m_csRegPath);
  m_fCsPushReady = true;
}

CSampleService::~CSampleService() {
  LogMessage(L"Service Destroy", DEBUGLOG_ONLY);
  BeginEnding();
  // Only reached with runs left when the owner skipped its own bounded wait:
  // every pause of a run ends at once now, so this is one call's length.
  WaitForWatchers(INFINITE);
  ReleaseWatchResources(false);
  if (m_fCsPushReady) {
    DeleteCriticalSection(&m_csRegPath);
    DeleteCriticalSection(&m_csPush);
  }
  m_fCsPushReady = false;
}

// ---- Hooks ------------------------------------------------------------------------

void CSampleService::OnMonitorOff() { LogMessage(L"Monitor Off - Do nothing", EVENTLOG_INFORMATION_TYPE); }

void CSampleService::OnShutdown() {
  LogMessage(L"CppWindowsService in OnShutdown", EVENTLOG_INFORMATION_TYPE);
  BeginEnding();
}

// Does not wait for a running watcher: it is woken and ends by itself. The
// watch event and the key are released here only if no run is left that
// could be waiting on them; otherwise the destructor releases them.
void CSampleService::OnStop() {
  LogMessage(L"CppWindowsService in OnStop", EVENTLOG_INFORMATION_TYPE);
  BeginEnding();
  if (m_nWatchRuns.load() == 0) ReleaseWatchResources(true);
  LogMessage(L"OnStop OK.", EVENTLOG_INFORMATION_TYPE);
}

// ---- Watcher runs and teardown ----------------------------------------------------

void CSampleService::BeginEnding() {
  m_fStopWatch = TRUE;
  m_fServiceEnding = TRUE;
  if (m_hEndingEvent) SetEvent(m_hEndingEvent);
  if (m_hRegWatchEvent) SetEvent(m_hRegWatchEvent);
}

void CSampleService::CloseNotifyKey(bool fLogFailure) {
  if (!m_hNotifyKey) return;
  if (RegCloseKey(m_hNotifyKey) != ERROR_SUCCESS && fLogFailure)
    LogMessage(L"RegCloseKey fail.", EVENTLOG_INFORMATION_TYPE);
  m_hNotifyKey = nullptr;
}

// The events and the key; the push lock stays until the destructor.
void CSampleService::ReleaseWatchResources(bool fFromStop) {
  if (m_hRegWatchEvent) {
    if (!CloseHandle(m_hRegWatchEvent) && fFromStop) LogMessage(L"CloseHandle fail.", EVENTLOG_INFORMATION_TYPE);
    m_hRegWatchEvent = nullptr;
  }
  CloseNotifyKey(true);
  if (fFromStop) return;
  for (HANDLE* phEvent : {&m_hStoppedEvent, &m_hEndingEvent}) {
    if (*phEvent) CloseHandle(*phEvent);
    *phEvent = nullptr;
  }
}

void CSampleService::StartRegWatchThread() { QueueWatchRun(&CSampleService::RegWatchThread); }

void CSampleService::QueueWatchRun(void (*pfnRoutine)(CSampleService*)) {
  QueueRecord(new (std::nothrow) SWatchRecord{pfnRoutine, nullptr, 0, this});
}

void CSampleService::QueueWatchRun(void (*pfnRoutine)(CSampleService*, DWORD)) {
  QueueRecord(new (std::nothrow) SWatchRecord{nullptr, pfnRoutine, 0, this});
}

void CSampleService::QueueRecord(SWatchRecord* pRecord) {
  std::unique_ptr<SWatchRecord> pOwned(pRecord);
  // Counted before the ending flag is looked at, so that a stop either sees
  // this run or this call sees the stop (both are sequentially consistent).
  m_nWatchRuns.fetch_add(1);
  if (m_fServiceEnding.load()) {
    m_nWatchRuns.fetch_sub(1);
    LogMessage(L"Service is ending - no new watcher", DEBUGLOG_ONLY);
    return;
  }
  if (!pOwned) {
    m_nWatchRuns.fetch_sub(1);
    throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  }
  pOwned->dwGeneration = m_dwRunGeneration.fetch_add(1) + 1;
  if (!QueueUserWorkItem(WatchTrampoline, pOwned.get(), WT_EXECUTELONGFUNCTION)) {
    const DWORD dwError = GetLastError();
    m_nWatchRuns.fetch_sub(1);
    throw dwError;
  }
  pOwned.release();
}

DWORD WINAPI CSampleService::WatchTrampoline(LPVOID pContext) {
  std::unique_ptr<SWatchRecord> pRecord(static_cast<SWatchRecord*>(pContext));
  CSampleService* pService = pRecord->pService;
  t_dwRunGeneration = pRecord->dwGeneration;
  if (pRecord->pfnGenerationRoutine)
    pRecord->pfnGenerationRoutine(pService, pRecord->dwGeneration);
  else
    pRecord->pfnRoutine(pService);
  t_dwRunGeneration = 0;
  pRecord.reset();
  pService->EndWatchRun();
  return 0;
}

// Leaving the count is the run's very last touch of the object.
void CSampleService::EndWatchRun() {
  SetEvent(m_hStoppedEvent);
  m_nWatchRuns.fetch_sub(1);
}

// A run that a newer one replaced stops at its next pause, before and after
// the wait: after a burst of display events only the newest run keeps
// retrying, instead of every replaced run going on with its lookups and pushes.
BOOL CSampleService::WatchPause(DWORD dwMilliseconds) {
  if (t_dwRunGeneration != 0 && IsReplaced(t_dwRunGeneration)) return FALSE;
  if (WaitForSingleObject(m_hEndingEvent, dwMilliseconds) != WAIT_TIMEOUT) return FALSE;
  return t_dwRunGeneration == 0 || !IsReplaced(t_dwRunGeneration);
}

BOOL CSampleService::WaitForWatchers(DWORD dwMilliseconds) {
  const ULONGLONG ullStart = GetTickCount64();
  while (m_nWatchRuns.load() > 0) {
    const ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    if (dwMilliseconds != INFINITE && ullElapsed >= dwMilliseconds) return FALSE;
    DWORD dwWait = kWatcherEndPollMs;
    if (dwMilliseconds != INFINITE && dwMilliseconds - ullElapsed < dwWait)
      dwWait = static_cast<DWORD>(dwMilliseconds - ullElapsed);
    if (WaitForSingleObject(m_hStoppedEvent, dwWait) == WAIT_OBJECT_0) ResetEvent(m_hStoppedEvent);
  }
  return TRUE;
}
