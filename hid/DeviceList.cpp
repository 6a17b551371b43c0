#include "hid/DeviceList.h"

#include "log/DbgLog.h"

#include <cstdlib>

void InitDeviceList(DEVICE_LIST_LINK& head) {
  head.Flink = &head;
  head.Blink = &head;
}

bool IsDeviceListEmpty(const DEVICE_LIST_LINK& head) { return head.Flink == &head; }

// The link is a node's first member, so a link's address is its node's.
PPHYSICAL_DEVICE_NODE NodeOf(DEVICE_LIST_LINK* pLink) { return reinterpret_cast<PPHYSICAL_DEVICE_NODE>(pLink); }

PPHYSICAL_DEVICE_NODE NewDeviceNode(const HID_DEVICE_INFO& record) {
  auto* pNode = static_cast<PPHYSICAL_DEVICE_NODE>(calloc(1, sizeof(PHYSICAL_DEVICE_NODE)));
  if (pNode == nullptr) return nullptr;
  pNode->Info = record;
  pNode->hNotify = nullptr;
  pNode->bDeviceOpened = TRUE;
  return pNode;
}

void LinkAtTail(DEVICE_LIST_LINK& head, PPHYSICAL_DEVICE_NODE pNode) {
  DEVICE_LIST_LINK* pLink = &pNode->Link;
  pLink->Flink = &head;
  pLink->Blink = head.Blink;
  head.Blink->Flink = pLink;
  head.Blink = pLink;
}

void Unlink(PPHYSICAL_DEVICE_NODE pNode) {
  DEVICE_LIST_LINK* pLink = &pNode->Link;
  pLink->Blink->Flink = pLink->Flink;
  pLink->Flink->Blink = pLink->Blink;
}

void FreeDeviceNode(PPHYSICAL_DEVICE_NODE pNode) {
  if (pNode->hNotify != nullptr) UnregisterDeviceNotification(pNode->hNotify);
  free(pNode);
}

PPHYSICAL_DEVICE_NODE DeviceNodeAt(DEVICE_LIST_LINK& head, int nIndex, PPHYSICAL_DEVICE_NODE pPrevious) {
  static const char kOp[] = "CHIDWinGet::GetEntryFromPhysicalList";
  // A loop over the indices in order costs one step per node this way; past
  // the end, the walk from the head gives the same answer and trace.
  if (pPrevious != nullptr && pPrevious->Link.Flink != &head) return NodeOf(pPrevious->Link.Flink);
  if (IsDeviceListEmpty(head)) {
    DbgLogError(kOp, __LINE__, "No any HID device");
    return nullptr;
  }
  DEVICE_LIST_LINK* pLink = head.Flink;
  for (int i = 0; i < nIndex && pLink != &head; ++i) pLink = pLink->Flink;
  if (nIndex < 0 || pLink == &head) {
    DbgLogTrace(kOp, __LINE__, "Did not find specified HID device by the index");
    return nullptr;
  }
  return NodeOf(pLink);
}
