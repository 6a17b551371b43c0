// The controller's report descriptor, as constant tables: no code runs to
// build them.
#include <ctlmodel/controller.h>

namespace ctlmodel {
namespace {

// One finger: tip switch, contact identifier, X and Y in 0..4095 over a
// 29.40 cm x 16.50 cm panel; units are reset at its end.
#define CTLMODEL_FINGER                                                 \
  0x05, 0x0D,             /* Usage Page (Digitizer)                  */ \
      0x09, 0x22,         /* Usage (Finger)                          */ \
      0xA1, 0x02,         /* Collection (Logical)                    */ \
      0x09, 0x42,         /*   Usage (Tip Switch)                    */ \
      0x15, 0x00,         /*   Logical Minimum (0)                   */ \
      0x25, 0x01,         /*   Logical Maximum (1)                   */ \
      0x75, 0x01,         /*   Report Size (1)                       */ \
      0x95, 0x01,         /*   Report Count (1)                      */ \
      0x81, 0x02,         /*   Input (Data,Var,Abs)                  */ \
      0x95, 0x07,         /*   Report Count (7)                      */ \
      0x81, 0x03,         /*   Input (Const,Var,Abs)                 */ \
      0x09, 0x51,         /*   Usage (Contact Identifier)            */ \
      0x25, 0x0F,         /*   Logical Maximum (15)                  */ \
      0x75, 0x08,         /*   Report Size (8)                       */ \
      0x95, 0x01,         /*   Report Count (1)                      */ \
      0x81, 0x02,         /*   Input (Data,Var,Abs)                  */ \
      0x05, 0x01,         /*   Usage Page (Generic Desktop)          */ \
      0x26, 0xFF, 0x0F,   /*   Logical Maximum (4095)                */ \
      0x75, 0x10,         /*   Report Size (16)                      */ \
      0x55, 0x0E,         /*   Unit Exponent (-2)                    */ \
      0x65, 0x11,         /*   Unit (cm)                             */ \
      0x35, 0x00,         /*   Physical Minimum (0)                  */ \
      0x46, 0x7C, 0x0B,   /*   Physical Maximum (2940)               */ \
      0x09, 0x30,         /*   Usage (X)                             */ \
      0x81, 0x02,         /*   Input (Data,Var,Abs)                  */ \
      0x46, 0x72, 0x06,   /*   Physical Maximum (1650)               */ \
      0x09, 0x31,         /*   Usage (Y)                             */ \
      0x81, 0x02,         /*   Input (Data,Var,Abs)                  */ \
      0x45, 0x00,         /*   Physical Maximum (0)                  */ \
      0x55, 0x00,         /*   Unit Exponent (0)                     */ \
      0x65, 0x00,         /*   Unit (none)                           */ \
      0xC0                /* End Collection                          */

// One vendor report of 63 data bytes: report ID, usage, main item.
#define CTLMODEL_VENDOR_REPORT(reportId, usage, mainItem)   \
  0x85, reportId,            /* Report ID                */ \
      0x09, usage,           /* Usage                    */ \
      0x15, 0x00,            /* Logical Minimum (0)      */ \
      0x26, 0xFF, 0x00,      /* Logical Maximum (255)    */ \
      0x75, 0x08,            /* Report Size (8)          */ \
      0x95, 0x3F,            /* Report Count (63)        */ \
      mainItem, 0x02         /* Input/Output (Data,Var,Abs) */

// Usage Page (0xFF00), Usage (1), Collection (Application)
#define CTLMODEL_VENDOR_COLLECTION 0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01

constexpr uint8_t kDevice[] = {
    // Touch screen (0x0D/0x04): input report 1 with two fingers and the
    // contact count, feature report 10 with the contact maximum.
    0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0x85, kTouchReportId,
    CTLMODEL_FINGER,
    CTLMODEL_FINGER,
    0x05, 0x0D,  //   Usage Page (Digitizer)
    0x09, 0x54,  //   Usage (Contact Count)
    0x25, 0x7F,  //   Logical Maximum (127)
    0x75, 0x08,  //   Report Size (8)
    0x95, 0x01,  //   Report Count (1)
    0x81, 0x02,  //   Input (Data,Var,Abs)
    0x85, kContactMaximumReportId,
    0x09, 0x55,  //   Usage (Contact Count Maximum)
    0x25, 0x0A,  //   Logical Maximum (10)
    0xB1, 0x02,  //   Feature (Data,Var,Abs)
    0xC0,        // End Collection
    // Vendor input: answers in input report 2, status in input report 4.
    CTLMODEL_VENDOR_COLLECTION,
    CTLMODEL_VENDOR_REPORT(kVendorInputReportId, 0x02, 0x81),
    CTLMODEL_VENDOR_REPORT(kVendorStatusReportId, 0x04, 0x81),
    0xC0,
    // Vendor output: commands and bridge frames in output report 3.
    CTLMODEL_VENDOR_COLLECTION,
    CTLMODEL_VENDOR_REPORT(kVendorOutputReportId, 0x03, 0x91),
    0xC0,
};

#undef CTLMODEL_FINGER
#undef CTLMODEL_VENDOR_REPORT
#undef CTLMODEL_VENDOR_COLLECTION

constexpr size_t kFingerBytes = 66;
constexpr size_t kTouchScreenBytes = 8 + 2 * kFingerBytes + 21;
constexpr size_t kVendorReportItemBytes = 15;
constexpr size_t kVendorInputBytes = 7 + 2 * kVendorReportItemBytes + 1;
constexpr size_t kVendorOutputBytes = 7 + kVendorReportItemBytes + 1;
static_assert(sizeof(kDevice) == kTouchScreenBytes + kVendorInputBytes + kVendorOutputBytes,
              "the collections' lengths add up to the device descriptor");

constexpr size_t kOffsets[kCollectionCount] = {0, kTouchScreenBytes, kTouchScreenBytes + kVendorInputBytes};
constexpr size_t kLengths[kCollectionCount] = {kTouchScreenBytes, kVendorInputBytes, kVendorOutputBytes};
static_assert(kDevice[kOffsets[1]] == 0x06 && kDevice[kOffsets[2]] == 0x06 && kDevice[kOffsets[1] - 1] == 0xC0 &&
                  kDevice[kOffsets[2] - 1] == 0xC0,
              "each collection starts with its usage page and the one before ends with End Collection");

constexpr char16_t kManufacturer[] = u"VORN";
constexpr char16_t kProduct[] = u"VORN Touch Controller";

}  // namespace

Descriptor DeviceDescriptor() { return {kDevice, sizeof(kDevice)}; }

Descriptor CollectionDescriptor(Collection collection) {
  const size_t index = static_cast<size_t>(collection);
  if (index >= kCollectionCount) return {nullptr, 0};
  return {kDevice + kOffsets[index], kLengths[index]};
}

bool CollectionOfReport(uint8_t reportId, Collection& collection) {
  switch (reportId) {
    case kTouchReportId:
    case kContactMaximumReportId: collection = Collection::kTouchScreen; return true;
    case kVendorInputReportId:
    case kVendorStatusReportId: collection = Collection::kVendorInput; return true;
    case kVendorOutputReportId: collection = Collection::kVendorOutput; return true;
    default: return false;
  }
}

const char16_t* ManufacturerString() { return kManufacturer; }
const char16_t* ProductString() { return kProduct; }

}  // namespace ctlmodel
