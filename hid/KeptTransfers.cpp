#include "hid/KeptTransfers.h"

#include <new>
#include <utility>

namespace {

// The blocks of transfers still pending when their transport went: they stay
// allocated (and listed, so that a leak check sees them reachable) until the
// process ends.
struct SLeftBlock {
  BYTE* pBlock;
  SLeftBlock* pNext;
};
SLeftBlock* g_pLeftBlocks = nullptr;

void LeaveToProcessEnd(CReportBuffer& buffer) {
  BYTE* pBlock = buffer.Release();
  if (SLeftBlock* pLeft = new (std::nothrow) SLeftBlock{pBlock, g_pLeftBlocks}) g_pLeftBlocks = pLeft;
}

}  // namespace

CKeptTransfers::~CKeptTransfers() {
  Sweep();
  for (int i = 0; i < m_nCount; ++i) LeaveToProcessEnd(m_rgKept[i].buffer);
}

void CKeptTransfers::Keep(CReportBuffer&& buffer, HANDLE hEvent) {
  if (IsFull()) {  // callers check first; a pending transfer's memory is never freed
    LeaveToProcessEnd(buffer);
    return;
  }
  m_rgKept[m_nCount].buffer = std::move(buffer);
  m_rgKept[m_nCount].hEvent = hEvent;
  ++m_nCount;
}

// A transfer's event is reset when it starts and set when it ends. An event
// that cannot be waited on any more is no one's to set: its transfer is over.
void CKeptTransfers::Sweep() {
  for (int i = 0; i < m_nCount;) {
    SKept& kept = m_rgKept[i];
    if (WaitForSingleObject(kept.hEvent, 0) == WAIT_TIMEOUT) {
      ++i;
      continue;
    }
    CloseHandle(kept.hEvent);
    kept = SKept{};
    --m_nCount;
    if (i != m_nCount) std::swap(kept, m_rgKept[m_nCount]);
  }
}
