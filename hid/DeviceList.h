// The physical-device list: a circular doubly linked list of
// PHYSICAL_DEVICE_NODE through their links, in enumeration order. A head that
// links to itself is an empty list.
#pragma once

#include "hid/HidRecords.h"

void InitDeviceList(DEVICE_LIST_LINK& head);
bool IsDeviceListEmpty(const DEVICE_LIST_LINK& head);
PPHYSICAL_DEVICE_NODE NodeOf(DEVICE_LIST_LINK* pLink);

// A node that holds `record` (moved in: its path, handle and buffers are the
// node's now), no notification, its handle marked open; null without memory.
PPHYSICAL_DEVICE_NODE NewDeviceNode(const HID_DEVICE_INFO& record);
void LinkAtTail(DEVICE_LIST_LINK& head, PPHYSICAL_DEVICE_NODE pNode);
void Unlink(PPHYSICAL_DEVICE_NODE pNode);
// Unregisters the node's notification and frees its storage; its record must
// have been released.
void FreeDeviceNode(PPHYSICAL_DEVICE_NODE pNode);

// The node at nIndex, counted from the first. pPrevious, the node at
// nIndex - 1 when the caller has it, saves the walk from the head. Null, with
// the reason in the debug log, when there is no such node.
PPHYSICAL_DEVICE_NODE DeviceNodeAt(DEVICE_LIST_LINK& head, int nIndex, PPHYSICAL_DEVICE_NODE pPrevious = nullptr);

// Calls fn(node) for the nodes at 0 to nCount - 1, in order; false when the
// list holds fewer (logged). fn must leave the node in the list.
template <class Fn>
bool ForEachDeviceNode(DEVICE_LIST_LINK& head, int nCount, Fn&& fn) {
  PPHYSICAL_DEVICE_NODE pNode = nullptr;
  for (int i = 0; i < nCount; ++i) {
    pNode = DeviceNodeAt(head, i, pNode);
    if (pNode == nullptr) return false;
    fn(*pNode);
  }
  return true;
}

// Empties the list from its first node on: release(record) releases each
// node's record, then the node goes.
template <class Release>
void EmptyDeviceList(DEVICE_LIST_LINK& head, Release&& release) {
  while (!IsDeviceListEmpty(head)) {
    PPHYSICAL_DEVICE_NODE pNode = NodeOf(head.Flink);
    Unlink(pNode);
    release(pNode->Info);
    FreeDeviceNode(pNode);
  }
}
