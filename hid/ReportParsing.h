// Input reports decoded with the HID parser against a profile: the contacts
// of a touch screen's report and the switches and values of a pen's, read
// with the collection's preparsed data. Failures are written to the debug
// log under the transport's operation names; a value that cannot be read
// leaves its field 0 and the parse goes on.
#pragma once

#include "hid/HidProfile.h"
#include "hid/HidRecords.h"

// Room for the name of a HID parser status, terminator included.
constexpr size_t kStatusTextLength = 512;

// Writes the name of a HID parser status into pszText (kStatusTextLength
// bytes); -6, logged, for a status it does not know.
int ParserStatusName(NTSTATUS status, char* pszText);
// Reads one value of an input report: a plain field, or a value array packed
// into at most four bytes. 0, or -6 with the parser status logged; *pnValue
// is 0 when nothing was read.
int ReadUsageValue(PHIDP_PREPARSED_DATA pPreparsed, const VALUE_DESC& desc, const BYTE* pReport, ULONG nReportLen,
                   ULONG* pnValue, USHORT nLinkCollection);

// The contact count and the ten contacts of a touch screen's report; the
// result of the last read, 0 or -6.
int ParseFingerReport(PHIDP_PREPARSED_DATA pPreparsed, const FINGER_PROFILE& finger, const BYTE* pReport,
                      ULONG nReportLen, FINGER_REPORT& report);
// The switches and values of a pen's report; the result of the last read,
// 0 or -6.
int ParsePenReport(PHIDP_PREPARSED_DATA pPreparsed, const PEN_PROFILE& pen, const BYTE* pReport, ULONG nReportLen,
                   PEN_REPORT& report);

// The preparsed data of one collection for the length of a parse. Where
// neither record holds it, it is fetched through the collection's path and
// released again, with the handle opened for it, when the parse ends.
class CParsePreparsed {
 public:
  CParsePreparsed() = default;
  ~CParsePreparsed();
  CParsePreparsed(const CParsePreparsed&) = delete;
  CParsePreparsed& operator=(const CParsePreparsed&) = delete;

  // 0, or -6 logged under pszOperation.
  int Acquire(const REPORT_HANDLER& handler, const HID_DEVICE_INFO& info, const char* pszOperation);
  PHIDP_PREPARSED_DATA Data() const { return m_pData; }

 private:
  PHIDP_PREPARSED_DATA m_pData = nullptr;
  PHIDP_PREPARSED_DATA m_pFetched = nullptr;
  HANDLE m_hOpened = INVALID_HANDLE_VALUE;
};
