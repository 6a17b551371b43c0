#include "wot/RegWatch.h"

#include "service/ServiceBase.h"
#include "wot/WatchRun.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// How often the teardown wait looks at the run count again: a run's last act
// is to leave the count, after its last touch of the stopped event.
constexpr DWORD kWatcherEndPollMs = 100;

HANDLE CreateManualResetEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace

CRegWatch::CRegWatch(CServiceBase& service, CWotSetting& setting, CWotPush& push)
    : m_Service(service),
      m_Setting(setting),
      m_Push(push),
      m_dwStartDelay(kStartDelayMs),
      m_fThreadRunning(false),
      m_dwWotSel(0),
      fRegExist(FALSE),
      m_fStopWatch(FALSE),
      m_hStoppedEvent(nullptr),
      m_hRegWatchEvent(nullptr),
      m_hNotifyKey(nullptr),
      m_fServiceEnding(FALSE),
      m_nWatchRuns(0),
      m_nOtherWork(0),
      m_hEndingEvent(nullptr),
      m_dwRunGeneration(0),
      m_csRuns{},
      m_pRuns(nullptr) {
  InitializeCriticalSection(&m_csRuns);
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
    m_Service.LogMessage(item.pszFailure, EVENTLOG_INFORMATION_TYPE);
    ReleaseWatchResources(false);
    DeleteCriticalSection(&m_csRuns);
    throw dwError;
  }
}

// Reached with runs left only when the owner skipped its own bounded wait:
// every pause of a run ends at once now, so this is one call's length.
CRegWatch::~CRegWatch() {
  BeginEnding();
  WaitForWatchers(INFINITE);
  ReleaseWatchResources(false);
  DeleteCriticalSection(&m_csRuns);
}

void CRegWatch::RestartRegWatch(LPCWSTR pszRunningText, LPCWSTR pszEventText) {
  if (!m_fThreadRunning.load()) return;
  m_Service.LogMessage(pszRunningText, DEBUGLOG_ONLY);
  if (m_fStopWatch.exchange(TRUE)) return;
  if (m_hRegWatchEvent) {
    SetEvent(m_hRegWatchEvent);
    m_Service.LogMessage(pszEventText, DEBUGLOG_ONLY);
  }
}

void CRegWatch::RestartFor(LPCWSTR pszWhat) {
  constexpr size_t kTextChars = MAX_PATH;
  WCHAR szRunning[kTextChars], szEvent[kTextChars], szText[kTextChars];
  std::swprintf(szText, kTextChars, L"%ls - Pass WoT selection to low level touch controller", pszWhat);
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
  std::swprintf(szRunning, kTextChars, L"%ls - the thread is running", pszWhat);
  std::swprintf(szEvent, kTextChars, L"%ls - SetEvent m_hRegWatchEvent", pszWhat);
  RestartRegWatch(szRunning, szEvent);
  std::swprintf(szText, kTextChars, L"%ls - Create new thread", pszWhat);
  m_Service.LogMessage(szText, DEBUGLOG_ONLY);
  StartRegWatchThread();
}

// Raises the Win32 error code when the run cannot be made or queued. Runs
// are started from the dispatcher's thread and, after a device's arrival,
// from pool threads.
void CRegWatch::StartRegWatchThread() {
  std::unique_ptr<CWatchRun> pRun(new (std::nothrow) CWatchRun(*this));
  // Counted before the ending flag is looked at, so that a stop either sees
  // this run or this call sees the stop (both are sequentially consistent).
  m_nWatchRuns.fetch_add(1);
  if (m_fServiceEnding.load()) {
    m_nWatchRuns.fetch_sub(1);
    m_Service.LogMessage(L"Service is ending - no new watcher", DEBUGLOG_ONLY);
    return;
  }
  if (!pRun) {
    m_nWatchRuns.fetch_sub(1);
    throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  }
  Enlist(*pRun);
  if (!QueueUserWorkItem(WatchTrampoline, pRun.get(), WT_EXECUTELONGFUNCTION)) {
    const DWORD dwError = GetLastError();
    Delist(*pRun);
    m_nWatchRuns.fetch_sub(1);
    throw dwError;
  }
  pRun.release();
}

DWORD WINAPI CRegWatch::WatchTrampoline(LPVOID pContext) {
  std::unique_ptr<CWatchRun> pRun(static_cast<CWatchRun*>(pContext));
  CRegWatch& watch = pRun->Watch();
  pRun->RegWatchThread();
  watch.Delist(*pRun);
  pRun.reset();
  watch.EndWatchRun();
  return 0;
}

// Each queued run gets the next generation, and the runs queued before it
// are replaced by it: their pauses end. A run whose generation is no longer
// the latest has been replaced. The generation is given under the list's lock,
// so that of two runs started at once the newer is also the one listed last.
void CRegWatch::Enlist(CWatchRun& run) {
  EnterCriticalSection(&m_csRuns);
  run.SetGeneration(m_dwRunGeneration.fetch_add(1) + 1);
  for (CWatchRun* pRun = m_pRuns; pRun; pRun = pRun->m_pNext)
    if (pRun->Generation() < run.Generation()) pRun->Replace();
  run.m_pNext = m_pRuns;
  if (m_pRuns) m_pRuns->m_pPrev = &run;
  m_pRuns = &run;
  LeaveCriticalSection(&m_csRuns);
}

void CRegWatch::Delist(CWatchRun& run) {
  EnterCriticalSection(&m_csRuns);
  if (run.m_pPrev) run.m_pPrev->m_pNext = run.m_pNext;
  else m_pRuns = run.m_pNext;
  if (run.m_pNext) run.m_pNext->m_pPrev = run.m_pPrev;
  run.m_pNext = run.m_pPrev = nullptr;
  LeaveCriticalSection(&m_csRuns);
}

void CRegWatch::CallOffOlderPushes(DWORD dwGeneration) {
  EnterCriticalSection(&m_csRuns);
  for (CWatchRun* pRun = m_pRuns; pRun; pRun = pRun->m_pNext)
    if (pRun->Generation() < dwGeneration) pRun->CallOff();
  LeaveCriticalSection(&m_csRuns);
}

// Leaving the count is the run's very last touch of the object.
void CRegWatch::EndWatchRun() {
  SetEvent(m_hStoppedEvent);
  m_nWatchRuns.fetch_sub(1);
}

// Counted before the ending flag is looked at, as a run is.
bool CRegWatch::EnterWork() {
  m_nOtherWork.fetch_add(1);
  if (!m_fServiceEnding.load()) return true;
  m_nOtherWork.fetch_sub(1);
  return false;
}

void CRegWatch::LeaveWork() {
  SetEvent(m_hStoppedEvent);
  m_nOtherWork.fetch_sub(1);
}

BOOL CRegWatch::WatchPause(DWORD dwMilliseconds) {
  return WaitForSingleObject(m_hEndingEvent, dwMilliseconds) == WAIT_TIMEOUT;
}

BOOL CRegWatch::WaitForWatchers(DWORD dwMilliseconds) {
  const ULONGLONG ullStart = GetTickCount64();
  while (m_nWatchRuns.load() > 0 || m_nOtherWork.load() > 0) {
    const ULONGLONG ullElapsed = GetTickCount64() - ullStart;
    if (dwMilliseconds != INFINITE && ullElapsed >= dwMilliseconds) return FALSE;
    DWORD dwWait = kWatcherEndPollMs;
    if (dwMilliseconds != INFINITE && dwMilliseconds - ullElapsed < dwWait)
      dwWait = static_cast<DWORD>(dwMilliseconds - ullElapsed);
    if (WaitForSingleObject(m_hStoppedEvent, dwWait) == WAIT_OBJECT_0) ResetEvent(m_hStoppedEvent);
  }
  return TRUE;
}

void CRegWatch::BeginEnding() {
  m_fStopWatch = TRUE;
  m_fServiceEnding = TRUE;
  if (m_hEndingEvent) SetEvent(m_hEndingEvent);
  if (m_hRegWatchEvent) SetEvent(m_hRegWatchEvent);
}

// Once the service is ending no new run or work can be queued, so none can
// appear after the counts are seen at 0.
void CRegWatch::StopWatching() {
  BeginEnding();
  if (m_nWatchRuns.load() == 0 && m_nOtherWork.load() == 0) ReleaseWatchResources(true);
}

void CRegWatch::CloseNotifyKey(bool fLogFailure) {
  if (!m_hNotifyKey) return;
  if (RegCloseKey(m_hNotifyKey) != ERROR_SUCCESS && fLogFailure)
    m_Service.LogMessage(L"RegCloseKey fail.", EVENTLOG_INFORMATION_TYPE);
  m_hNotifyKey = nullptr;
}

// The watch event and the key; all events unless from a stop.
void CRegWatch::ReleaseWatchResources(bool fFromStop) {
  if (m_hRegWatchEvent) {
    if (!CloseHandle(m_hRegWatchEvent) && fFromStop)
      m_Service.LogMessage(L"CloseHandle fail.", EVENTLOG_INFORMATION_TYPE);
    m_hRegWatchEvent = nullptr;
  }
  CloseNotifyKey(true);
  if (fFromStop) return;
  for (HANDLE* phEvent : {&m_hStoppedEvent, &m_hEndingEvent}) {
    if (*phEvent) CloseHandle(*phEvent);
    *phEvent = nullptr;
  }
}
