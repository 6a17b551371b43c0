// The process's entry point, as the simulated service control manager needs
// it: a service is started by running the executable's entry on a thread
// marked as started by the SCM. winsim's main() registers wmain here; tests
// and tools that host a service in-process register their own.
#pragma once

#include <winsim/wintypes.h>

namespace winsim {

using ProcessEntry = int (*)(int argc, wchar_t** argv);

void SetProcessEntry(ProcessEntry entry);
ProcessEntry GetProcessEntry();

}  // namespace winsim
