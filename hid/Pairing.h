// Which entry each supported collection belongs to: the collections of one
// touch controller share a pair number in their device paths; those whose
// paths carry none pair by the device part of their path.
#pragma once

#include "hid/HidRecords.h"

#include <list>
#include <string>
#include <vector>

// The pair number of a device path: the text between the first two '&' after
// its second '#'. 0; -6 ("Did not find pair number") when the path has none,
// szPairNum left as it was; kResultPairNumTooLong (traced) when it does not
// fit. Logged under "CHIDWinGet::ParsePairNum".
int ParsePairNumber(PCWSTR pszDevicePath, WCHAR (&szPairNum)[kPathChars]);

// The two passes of FilterTouchPadCols over the supported collections: in the
// first each touch screen makes an entry, in the second every collection
// joins the entry it pairs with.
class CEntryPairing {
 public:
  CEntryPairing();

  // First pass: whether the collection is a touch screen that makes the next
  // entry (touch pads and screens are traced as they come).
  bool MakesEntry(const HID_DEVICE_INFO& info);
  // Second pass: the entry of `entries` (made in the first pass, in order)
  // that the collection belongs to, or null. A path with a pair number is
  // matched by that number only; one without belongs to the entry whose touch
  // screen is a collection of the same device, so that a device of the vendor
  // plugged beside the controller never takes one of its roles.
  CHIDCols* EntryOf(std::list<CHIDCols>& entries, PCWSTR pszDevicePath) const;

 private:
  WCHAR m_szPairNum[kPathChars];              // the first pass's last pair number
  std::vector<std::wstring> m_screenDevices;  // element i: the device of entry i's touch screen
};
