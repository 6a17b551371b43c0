// The service's entry in a simulated SCM, as `VornPalmixSvc -install` writes
// it on Windows (own process, automatic start, the installed image path).
#pragma once

#include "service/ServiceIdentity.h"

#include <winsim/sim/services.h>

namespace vorntest {

inline winsim::ServiceConfig InstalledServiceConfig() {
  winsim::ServiceConfig config;
  config.name = kServiceName;
  config.displayName = kServiceDisplayName;
  config.type = SERVICE_WIN32_OWN_PROCESS;
  config.startType = SERVICE_AUTO_START;
  config.binaryPath = L"C:\\VornPalmix\\VornPalmixSvc.exe";
  return config;
}

}  // namespace vorntest
