// VornPalmixSvc: the service process and its command-line tool in one
// executable. The process's static objects (the controller object and the
// debug log) are in app/ProcessObjects.cpp.
#include "app/ServiceProcess.h"
#include "platform/win32.h"
#include "service/CommandLine.h"
#include "service/Installer.h"
#include "touchic/DiagnosticAction.h"
#include "wot/ServiceEntry.h"

#include <cstdio>

int wmain(int argc, wchar_t* argv[]) {
  const SCommand command = ParseCommandLine(argc, argv);
  switch (command.eCommand) {
    case ECommand::kInstall:
      InstallService(stdout);
      break;
    case ECommand::kRemove:
      UninstallService(stdout);
      break;
    case ECommand::kDiagnostic:
      RunDiagnosticAction(command.nAction);
      break;
    case ECommand::kWotCheck:
      RunWotCheck();
      break;
    case ECommand::kUnknownSwitch:
      break;
    case ECommand::kServiceStart:
      PrintUsage(stdout);
      RunService();
      break;
  }
  return 0;
}
