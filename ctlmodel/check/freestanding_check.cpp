// The model as a driver holds it: a Controller in static storage, driven
// through each of its entry points, so the link pulls in everything. Built
// into a native image without any runtime.
#include <ctlmodel/controller.h>

namespace {

// constinit: a Controller in static storage needs no constructor code.
constinit ctlmodel::Controller g_controller;

int Exercise() {
  g_controller.Init(ctlmodel::DefaultConfig());
  uint8_t query[ctlmodel::kVendorReportBytes] = {3, 0, 4, 0x53, 0x00, 0x00, 0x01};
  ctlmodel::Reaction reaction =
      g_controller.TakeOutputReport(ctlmodel::Collection::kVendorOutput, query, sizeof(query));
  if (reaction.answers) g_controller.NoteInputSent(reaction.answer.bytes, reaction.answer.length);
  ctlmodel::Fault fault = ctlmodel::Fault::kNone;
  if (ctlmodel::ParseFault("stuck-write", fault)) g_controller.SetFault(fault);
  uint8_t feature[2] = {ctlmodel::kContactMaximumReportId, 0};
  int score = g_controller.GetFeature(ctlmodel::Collection::kTouchScreen, feature, sizeof(feature)) ? 1 : 0;
  score += g_controller.SetFeature(ctlmodel::Collection::kTouchScreen, feature, sizeof(feature)) ? 1 : 0;
  ctlmodel::Report touch = ctlmodel::Controller::TouchReport(10, 20, true);
  g_controller.NoteInputSent(touch.bytes, touch.length);
  char text[256];
  ctlmodel::WireEntry entry;
  while (g_controller.Wire().Take(entry)) score += static_cast<int>(ctlmodel::FormatWireEntry(entry, text, sizeof(text)));
  score += static_cast<int>(ctlmodel::CollectionDescriptor(ctlmodel::Collection::kVendorOutput).length);
  score += static_cast<int>(ctlmodel::DeviceDescriptor().length) + ctlmodel::ManufacturerString()[0] +
           ctlmodel::ProductString()[0] + ctlmodel::FaultName(fault)[0] +
           ctlmodel::ActionName(ctlmodel::Action::kReset)[0] + ctlmodel::EntryChannel(entry)[0];
  return score + static_cast<int>(ctlmodel::FormatReport(query, sizeof(query), text, sizeof(text)));
}

}  // namespace

extern "C" long DriverEntry(void*, void*) { return Exercise() > 0 ? 0 : static_cast<long>(0xC0000001L); }
