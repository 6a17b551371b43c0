#include "app/ServiceProcess.h"

#include "log/DbgLog.h"
#include "service/ServiceBase.h"
#include "service/ServiceIdentity.h"
#include "touchic/VornApi.h"
#include "wot/SampleService.h"

#include <cwchar>
#include <iterator>
#include <memory>

CSampleService* g_pLeftService = nullptr;

void RunService() { RunServiceTo(stdout); }

void RunServiceTo(FILE* pOut) {
  std::unique_ptr<CSampleService> pService;
  try {
    pService = std::make_unique<CSampleService>();
  } catch (DWORD) {
    return;  // the failure is in the logs already; the process just ends
  }
  g_pService = pService.get();
  VORNAPI::SetEndingEvent(pService->EndingEvent());
  WCHAR szServiceName[std::size(kServiceName)];
  std::wmemcpy(szServiceName, kServiceName, std::size(kServiceName));
  SERVICE_TABLE_ENTRYW rgServiceTable[] = {{szServiceName, CServiceBase::ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(rgServiceTable)) {
    const DWORD dwError = GetLastError();
    std::fwprintf(pOut, L"Service failed to run w/err 0x%08lx\n", static_cast<unsigned long>(dwError));
    std::fflush(pOut);
  }
  // ServiceMain may still be inside OnStart when a stop accepted during the
  // start has ended the dispatcher, and watchers may still be finishing.
  const bool fIdle = CServiceBase::WaitForServiceMain(CSampleService::kWatcherEndWaitMs) &&
                     pService->WaitForWatchers(CSampleService::kWatcherEndWaitMs);
  g_pService = nullptr;
  if (fIdle) {
    VORNAPI::SetEndingEvent(nullptr);
    return;
  }
  DbgLogWrite("Service object left to the process's end: a watcher did not end in time");
  // Destroying the object under a running watcher would be worse than this
  // leak. Returning is no better: main would return and the process's static
  // objects (the controller object among them) would be destroyed while the
  // watcher may still be inside them, e.g. in a device call whose driver never
  // honours the cancel. ExitProcess ends every other thread of the process
  // before anything is torn down, so no thread is left inside them.
  g_pLeftService = pService.release();
  ExitProcess(ERROR_TIMEOUT);
}
