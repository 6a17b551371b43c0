// The HID interfaces present, walked one interface index at a time in
// enumeration order (SetupAPI's device interface set of the HID class), with
// only those whose path carries the maker word handed on. What goes wrong is
// written to the debug log under "CHIDWinGet::FindKnownHidDevices".
#pragma once

#include "platform/win32.h"

// Only interfaces whose path, as US-ASCII text, carries this word (exactly,
// case-sensitive) are the vendor's.
constexpr char kMakerWord[] = "vorn";

class CHidInterfaceSet {
 public:
  enum EStep {
    kInterface,  // an interface of the vendor: its path is handed out
    kSkipped,    // an index that failed, or whose path lacks the maker word (traced)
    kEnd,        // past the last interface (or too many failed indices in a row)
    kFailed,     // no memory for an interface's path (logged): the walk cannot go on
  };

  // Opens the set of the HID interfaces present; IsOpen() says whether that worked.
  CHidInterfaceSet();
  ~CHidInterfaceSet();
  CHidInterfaceSet(const CHidInterfaceSet&) = delete;
  CHidInterfaceSet& operator=(const CHidInterfaceSet&) = delete;

  bool IsOpen() const { return m_hDevInfo != INVALID_HANDLE_VALUE; }
  // The interface index that the next call of Next examines.
  DWORD Index() const { return m_dwIndex; }
  // Examines one interface index and moves on. With kInterface, *ppszPath is
  // its path, valid until the next call.
  EStep Next(PCWSTR* ppszPath);

 private:
  EStep ReadPath(SP_DEVICE_INTERFACE_DATA& interfaceData, PCWSTR* ppszPath);
  void FreeDetail();

  GUID m_hidGuid;
  HDEVINFO m_hDevInfo;
  DWORD m_dwIndex;
  int m_nFailuresInRow;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_W m_pDetail;  // the last path handed out
};
