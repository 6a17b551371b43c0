#include "wot/ServiceEntry.h"

#include "log/DbgLog.h"
#include "wot/SampleService.h"

// -wotchk: one push of the enabling selection, without retries and without
// reading the user's setting.
void RunWotCheck() {
  try {
    CSampleService service;
    DbgLogWrite("Read WoT setting by wotchk");
    service.HidDevWoTCtrl(1);
  } catch (DWORD) {
    // The object could not be built; the failure is in the logs already.
  }
}
