// Shared pieces of the libFuzzer targets: helpers for reading the input, the
// check that turns a broken invariant into a crash libFuzzer keeps, a
// machine of the test kit per run, a bound on what one input may make the
// code allocate, and a strict UTF-8 check.
#pragma once

#include "simkit/Machine.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A broken invariant: libFuzzer saves the input that led here.
#define FUZZ_CHECK(condition, ...)                                                  \
  do {                                                                              \
    if (!(condition)) {                                                             \
      std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
      std::fprintf(stderr, __VA_ARGS__);                                            \
      std::fprintf(stderr, "\n");                                                   \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace vornfuzz {

// Helpers over FuzzedDataProvider, which hands numbers (lengths, choices)
// out from the back of the input and contents (descriptors, reports, texts)
// from the front, so that a mutation of one does not shift the other. Past
// the end every number is 0 and every content comes out short, so any input
// is a whole run; fuzz/seeds.py writes the seeds in this layout.

// The longest text a target reads with ConsumeRandomLengthString.
constexpr size_t kMaxText = 255;

// A 16-bit length, then that many bytes.
inline std::vector<uint8_t> ConsumeBlock(FuzzedDataProvider& input) {
  const uint16_t length = input.ConsumeIntegral<uint16_t>();
  return input.ConsumeBytes<uint8_t>(length);
}

// An index below `count` (0 when there is nothing to pick): one byte for up
// to 256 choices, four above. ConsumeIntegralInRange would take as many bytes
// as the range needs, none for a single choice; for counts that depend on
// what the run found (collections, caps, report IDs), a fixed width keeps a
// seed's later numbers where seeds.py put them.
inline uint32_t ConsumeIndex(FuzzedDataProvider& input, size_t count) {
  if (count == 0) return 0;
  const uint32_t raw = count <= 256 ? input.ConsumeIntegral<uint8_t>() : input.ConsumeIntegral<uint32_t>();
  return static_cast<uint32_t>(raw % count);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
inline bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t count = 0;
    uint32_t code = 0, least = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) count = 1, code = lead & 0x1Fu, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) count = 2, code = lead & 0x0Fu, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) count = 3, code = lead & 0x07u, least = 0x10000;
    else return false;
    if (text.size() - i <= count) return false;
    for (size_t k = 1; k <= count; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += count + 1;
  }
  return true;
}

// What one input may make the code under test allocate in large blocks, in
// all: the product must bound what a descriptor or a device's answer makes it
// allocate, whatever it allocates each block for. Past the budget the run
// aborts at once (before it can take the host's memory), and libFuzzer keeps
// the input. Blocks are counted from their allocation: a freed block still
// counts for its run.
class AllocationMeter {
 public:
  static constexpr size_t kLargeBlock = size_t{1} << 20;  // 1 MiB
  static constexpr size_t kRunBudget = size_t{512} << 20;  // 512 MiB

  // Once, from LLVMFuzzerInitialize: before the fuzzer starts its threads.
  static void Install() { __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree); }

  // Counts the allocations of one run, from construction to destruction.
  class Run {
   public:
    Run() {
      Total().store(0);
      Armed().store(true);
    }
    ~Run() { Armed().store(false); }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
  };

 private:
  static std::atomic<bool>& Armed() {
    static std::atomic<bool> armed{false};
    return armed;
  }
  static std::atomic<size_t>& Total() {
    static std::atomic<size_t> total{0};
    return total;
  }
  static void OnMalloc(const volatile void*, size_t size) {
    if (size < kLargeBlock || !Armed().load(std::memory_order_relaxed)) return;
    if (Total().fetch_add(size) + size <= kRunBudget) return;
    static const char kMessage[] = "one input made the code allocate more than 512 MiB in large blocks\n";
    [[maybe_unused]] const ssize_t written = ::write(2, kMessage, sizeof(kMessage) - 1);
    std::abort();
  }
  static void OnFree(const volatile void*) {}
};

// One folder per fuzzing process, memory-backed when the host has it (the
// debug log flushes every line), removed at exit.
inline const std::filesystem::path& ProcessFolder() {
  static const simkit::FreshFolder folder(
      [] {
        std::error_code error;
        return std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                                : std::filesystem::path();
      }(),
      "vornfuzz");
  return folder.Path();
}

// A machine of the kit in the process's folder, with no controller and the
// debug log off: each run boots a fresh one, so nothing one run plugs or
// opens reaches the next. Virtual time, with the fuzzing thread taking part:
// the product's time-outs pass at once, and a late answer stays late.
inline simkit::MachineOptions RunOptions(bool debugLog = false) {
  return {.controller = "none", .debugLog = debugLog, .root = ProcessFolder()};
}

// One run of a target that drives the product on a machine: a fresh machine,
// the allocation bound, and afterwards no handle of the run left open.
// `body` is called as body(FuzzedDataProvider&, winsim::Machine&).
template <class Body>
void RunOnFreshMachine(const uint8_t* data, size_t size, Body body) {
  simkit::VirtualMachine machine(RunOptions());
  AllocationMeter::Run metered;
  const size_t handles = machine->handles().Count();
  FuzzedDataProvider input(data, size);
  body(input, *machine);
  FUZZ_CHECK(machine->handles().Count() == handles, "%zu handles left open", machine->handles().Count() - handles);
}

}  // namespace vornfuzz

// The libFuzzer entry points of a target whose every input is one
// RunOnFreshMachine(body) under the allocation meter.
#define VORN_FUZZ_ON_FRESH_MACHINE(body)                                   \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                    \
    vornfuzz::AllocationMeter::Install();                                 \
    return 0;                                                             \
  }                                                                       \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    vornfuzz::RunOnFreshMachine(data, size, body);                        \
    return 0;                                                             \
  }
