// Preparsed data blocks: owned by the caller of HidD_GetPreparsedData until
// HidD_FreePreparsedData. Windows validates the block it is handed; winsim
// keeps the set of live blocks so that a stale or foreign pointer is refused
// without being read.
#include <winsim/sim/hidparse.h>

#include <mutex>
#include <unordered_set>

struct _HIDP_PREPARSED_DATA {
  winsim::hid::CollectionLayout layout;
};

namespace winsim::hid {
namespace {

// Process-wide like the heap the blocks live in; it holds no machine state.
struct LiveBlocks {
  std::mutex mutex;
  std::unordered_set<const _HIDP_PREPARSED_DATA*> blocks;
};

// Never destroyed: static objects of the program that are destroyed at exit
// (after this was first used) still free their blocks.
LiveBlocks& Live() {
  static LiveBlocks* live = new LiveBlocks;
  return *live;
}

}  // namespace

PHIDP_PREPARSED_DATA AllocatePreparsedData(const CollectionLayout& layout) {
  auto* data = new _HIDP_PREPARSED_DATA{layout};
  std::lock_guard lock(Live().mutex);
  Live().blocks.insert(data);
  return data;
}

const CollectionLayout* LayoutOf(PHIDP_PREPARSED_DATA data) {
  if (!data) return nullptr;
  std::lock_guard lock(Live().mutex);
  return Live().blocks.count(data) ? &data->layout : nullptr;
}

}  // namespace winsim::hid

extern "C" BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
  {
    std::lock_guard lock(winsim::hid::Live().mutex);
    if (!winsim::hid::Live().blocks.erase(PreparsedData)) return FALSE;
  }
  delete PreparsedData;
  return TRUE;
}
