// The process entry the simulated SCM starts a service process with.
#include <winsim/sim/process_entry.h>

#include <atomic>

namespace winsim {

namespace {
std::atomic<ProcessEntry> g_entry{nullptr};
}

void SetProcessEntry(ProcessEntry entry) { g_entry.store(entry); }
ProcessEntry GetProcessEntry() { return g_entry.load(); }

}  // namespace winsim
