// Runs one diagnostic action as the executable does, on the machine of the
// environment, and then writes every output report the simulated controller
// took to the file named by the second argument, one report a line in hex.
#include <winsim/sim/touch_controller.h>

#include <cstdio>
#include <cstdlib>

#include "log/DbgLog.h"
#include "touchic/DiagnosticAction.h"
#include "touchic/TouchIC.h"
#include "touchic/VornApi.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  // The executable's order: the controller object first, then the log.
  CTouchIC touchIC;
  VORNAPI::SetTouchIC(&touchIC);
  DbgLogInit();
  RunDiagnosticAction(std::atoi(argv[1]));
  DbgLogShutdown();
  VORNAPI::SetTouchIC(nullptr);
  std::FILE* pWire = std::fopen(argv[2], "w");
  if (!pWire) return 1;
  for (const auto& pController : winsim::TouchControllers(winsim::CurrentMachine()))
    for (const auto& report : pController->Received()) {
      for (uint8_t byte : report) std::fprintf(pWire, "%02X", byte);
      std::fputc('\n', pWire);
    }
  std::fclose(pWire);
  return 0;
}
