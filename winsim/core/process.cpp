#include <winsim/sim/process.h>

#include <atomic>

namespace winsim {

namespace {
std::atomic<ProcessEntry> g_entry{nullptr};
}

void SetProcessEntry(ProcessEntry entry) { g_entry.store(entry); }
ProcessEntry GetProcessEntry() { return g_entry.load(); }

}  // namespace winsim
