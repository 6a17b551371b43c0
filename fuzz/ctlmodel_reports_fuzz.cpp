// The controller model (ctlmodel/) on output and feature reports of any
// length and content for any collection, between changes of its fault,
// identity and attachment. The model runs in a kernel driver on requests of
// any caller, so no input may make it read or write outside what it was
// handed, and what it answers must stay within its own bounds: an answer no
// longer than a report, a wire record that never overflows, every entry's
// text cut to the buffer it is given and terminated.
//
// Input: the configuration (firmware, product id, fault), then operations,
// each a kind and its numbers; a report's bytes come from the front.
#include "FuzzSupport.h"

#include <ctlmodel/controller.h>

#include <cstring>
#include <memory>

namespace {

constexpr size_t kMaxOperations = 64;
constexpr size_t kMaxReport = 512;  // past the model's 64-byte reports on purpose
constexpr size_t kMaxText = 320;
constexpr uint16_t kProducts[] = {ctlmodel::kDefaultProductId, ctlmodel::kBridgePowerProductId,
                                  ctlmodel::kBridgeNoIdsProductId, 0xFFFF};

// A report of the input's length in a block of exactly that size, so that a
// read past its end is caught; an empty report is sometimes no pointer at all.
struct Report {
  std::unique_ptr<uint8_t[]> bytes;
  size_t length = 0;
  const uint8_t* Data() const { return bytes.get(); }
};

Report ConsumeReport(FuzzedDataProvider& input) {
  Report report;
  report.length = input.ConsumeIntegralInRange<size_t>(0, kMaxReport);
  if (report.length == 0 && input.ConsumeBool()) return report;
  report.bytes = std::make_unique<uint8_t[]>(report.length ? report.length : 1);
  const std::vector<uint8_t> content = input.ConsumeBytes<uint8_t>(report.length);
  if (!content.empty()) std::memcpy(report.bytes.get(), content.data(), content.size());
  return report;
}

ctlmodel::Collection ConsumeCollection(FuzzedDataProvider& input) {
  return static_cast<ctlmodel::Collection>(input.ConsumeIntegralInRange<uint8_t>(0, 3));
}

void CheckReaction(const ctlmodel::Reaction& reaction, const ctlmodel::Controller& model) {
  FUZZ_CHECK(reaction.write == ctlmodel::WriteOutcome::kDone || !reaction.acted, "a failed write was acted on");
  FUZZ_CHECK(!reaction.answers || reaction.answer.length <= ctlmodel::kMaxReportBytes, "answer of %u bytes",
             static_cast<unsigned>(reaction.answer.length));
  FUZZ_CHECK(!reaction.answers || reaction.answer.bytes[0] == ctlmodel::kVendorInputReportId ||
                 reaction.answer.bytes[0] == ctlmodel::kVendorStatusReportId,
             "answer with report id %u", reaction.answer.bytes[0]);
  const ctlmodel::State& state = model.GetState();
  FUZZ_CHECK(state.wakeOnTouch == (state.lastWakeOnTouchFlag == 1), "wake-on-touch %d after flag %u",
             state.wakeOnTouch, state.lastWakeOnTouchFlag);
}

void TakeOutput(FuzzedDataProvider& input, ctlmodel::Controller& model) {
  const ctlmodel::Collection collection = ConsumeCollection(input);
  const Report report = ConsumeReport(input);
  CheckReaction(model.TakeOutputReport(collection, report.Data(), report.length), model);
}

void Feature(FuzzedDataProvider& input, ctlmodel::Controller& model, bool get) {
  const ctlmodel::Collection collection = ConsumeCollection(input);
  Report report = ConsumeReport(input);
  if (get) {
    const bool done = model.GetFeature(collection, report.bytes.get(), report.length);
    FUZZ_CHECK(!done || report.length >= 2, "a %zu-byte feature report was filled", report.length);
  } else {
    FUZZ_CHECK(!model.SetFeature(collection, report.Data(), report.length), "a feature write was taken");
  }
}

// Every entry's text into a buffer of the input's size, exactly that size.
void DrainWire(FuzzedDataProvider& input, ctlmodel::Controller& model) {
  ctlmodel::WireRecord& wire = model.Wire();
  FUZZ_CHECK(wire.Count() <= ctlmodel::WireRecord::kCapacity, "%zu entries", wire.Count());
  FUZZ_CHECK(wire.Dropped() <= wire.Total(), "dropped %u of %u", wire.Dropped(), wire.Total());
  ctlmodel::WireEntry entry;
  for (size_t taken = input.ConsumeIntegralInRange<size_t>(0, 8); taken > 0 && wire.Take(entry); --taken) {
    FUZZ_CHECK(entry.length <= ctlmodel::kMaxReportBytes, "entry of %u bytes", static_cast<unsigned>(entry.length));
    const size_t size = input.ConsumeIntegralInRange<size_t>(0, kMaxText);
    auto text = std::make_unique<char[]>(size ? size : 1);
    const size_t needed = ctlmodel::FormatWireEntry(entry, size ? text.get() : nullptr, size);
    if (size == 0) continue;
    const size_t written = std::strlen(text.get());
    FUZZ_CHECK(written == (needed < size ? needed : size - 1), "wrote %zu of %zu into %zu", written, needed, size);
    FUZZ_CHECK(std::strlen(ctlmodel::EntryChannel(entry)) > 0, "an entry without a channel");
  }
}

void Control(FuzzedDataProvider& input, ctlmodel::Controller& model) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: {
      const std::string name = input.ConsumeRandomLengthString(vornfuzz::kMaxText);
      ctlmodel::Fault fault = ctlmodel::Fault::kNone;
      if (ctlmodel::ParseFault(name.data(), name.size(), fault)) {
        FUZZ_CHECK(name == ctlmodel::FaultName(fault), "'%s' parsed as %s", name.c_str(), ctlmodel::FaultName(fault));
        model.SetFault(fault);
      }
      break;
    }
    case 1: model.SetFault(static_cast<ctlmodel::Fault>(input.ConsumeIntegralInRange<int>(0, ctlmodel::kFaultCount - 1))); break;
    case 2: model.SetProductId(input.PickValueInArray(kProducts)); break;
    case 3: model.SetFirmwareVersion(input.ConsumeIntegral<uint16_t>()); break;
    default: input.ConsumeBool() ? model.Attach() : model.Detach(); break;
  }
}

void Operate(FuzzedDataProvider& input, ctlmodel::Controller& model) {
  switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
    case 1: TakeOutput(input, model); break;
    case 2: Feature(input, model, true); break;
    case 3: Feature(input, model, false); break;
    case 4: {
      const Report report = ConsumeReport(input);
      model.NoteInputSent(report.Data(), report.length);
      break;
    }
    case 5: DrainWire(input, model); break;
    default: Control(input, model); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  // A driver's device extension: zeroed memory, then Init.
  auto model = std::make_unique<ctlmodel::Controller>();
  const uint16_t firmware = input.ConsumeIntegral<uint16_t>();
  const uint16_t product = input.PickValueInArray(kProducts);
  const auto fault = static_cast<ctlmodel::Fault>(input.ConsumeIntegralInRange<int>(0, ctlmodel::kFaultCount - 1));
  model->Init({firmware, product, fault});
  for (size_t i = 0; i < kMaxOperations && input.remaining_bytes() > 0; ++i) Operate(input, *model);
  DrainWire(input, *model);
  return 0;
}
