// Report profiles of an entry's touch-screen, active-pen and vendor-defined
// collections, and the input reports decoded against them.
#pragma once

#include "platform/win32.h"

constexpr int kMaxFingerProfiles = 4;
constexpr int kMaxContactReports = 10;

// Filled from one HIDP_VALUE_CAPS; a descriptor whose Usage is 0 is absent.
struct VALUE_DESC {
  BYTE bPresent;
  LONG LogicalMax;
  ULONG DataIndex;
  ULONG Usage;
  ULONG UsagePage;
  ULONG ReportCount;
  ULONG BitSize;
};

// Filled from one HIDP_BUTTON_CAPS.
struct BUTTON_DESC {
  ULONG DataIndex;
  ULONG Usage;
  ULONG UsagePage;
};

// One touch-screen collection.
struct FINGER_PROFILE {
  ULONG ReportLengthEstimate;  // 1 + 11 x NumberInputButtonCaps
  ULONG ReportID;
  LONG XMax;
  LONG YMax;
  LONG MaxContacts;
  ULONG InputReportLength;
  ULONG ScanTimeBytes;
  ULONG BytesPerContact;
  ULONG ButtonCapsCount;
  ULONG XBytes;
  ULONG ScanTimeBits;
  ULONG WidthBits;
  ULONG TipIndex;
  ULONG XIndex;
  ULONG YIndex;
  ULONG ContactIdIndex;
  ULONG HeightIndex;
  ULONG WidthIndex;
  ULONG ScanTimeIndex;
  ULONG ContactCountIndex;
  VALUE_DESC ContactId;
  VALUE_DESC Width;
  VALUE_DESC Height;
  VALUE_DESC X;
  VALUE_DESC Y;
  VALUE_DESC ScanTime;
  VALUE_DESC ContactCount;
};

struct PEN_PROFILE {
  ULONG ReportID;
  BUTTON_DESC TipSwitch;
  BUTTON_DESC BarrelSwitch;
  BUTTON_DESC Eraser;
  BUTTON_DESC Invert;
  BUTTON_DESC InRange;
  VALUE_DESC X;
  VALUE_DESC Y;
  VALUE_DESC TipPressure;
  VALUE_DESC BatteryStrength;
  VALUE_DESC Vendor01;
  VALUE_DESC Vendor80;
  VALUE_DESC XTilt;
  VALUE_DESC YTilt;
  VALUE_DESC Azimuth;
  ULONG InputReportLength;
};

struct LINE_TEST_PROFILE {
  ULONG ReportID;
  ULONG InputReportLength;
  VALUE_DESC LineTest;
};

struct DEV_PROFILE {
  ULONG Reserved;
  BYTE bValid;
  ULONG DevIdx;
  BYTE bTouchScreen;
  BYTE bActivePen;
  BYTE bVendorDefined;
  BYTE bBidirectionalB;
  BYTE bPenFeature;
  ULONG FingerCount;
  FINGER_PROFILE Fingers[kMaxFingerProfiles];
  PEN_PROFILE Pen;
  LINE_TEST_PROFILE LineTest;
};

struct PEN_REPORT {
  ULONG Reserved;
  BYTE bInRange;
  BYTE bTipSwitch;
  BYTE bBarrelSwitch;
  BYTE bInvert;
  BYTE bEraser;
  BYTE bVendorBit0;
  BYTE bVendorBit1;
  BYTE Reserved2;
  ULONG BatteryStrength;
  ULONG X;
  ULONG Y;
  ULONG TipPressure;
  LONG XTilt;
  LONG YTilt;
  LONG Azimuth;
};

struct CONTACT_REPORT {
  ULONG ContactId;
  BYTE bTipSwitch;
  BYTE Reserved[3];
  ULONG Reserved2[2];
  ULONG X;
  ULONG Y;
  ULONG X2;
  ULONG Y2;
};

struct FINGER_REPORT {
  ULONG Reserved;
  ULONG ContactCount;
  ULONG Reserved2;
  CONTACT_REPORT Contacts[kMaxContactReports];
};
