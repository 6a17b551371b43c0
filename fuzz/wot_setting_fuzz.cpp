// The wake setting's reader (CWotSetting::ReadWoTsetting) on registry
// data of any type and length, a missing value, a missing key and key paths
// of any text. The selection read is the value's 32 bits when the data is
// exactly 32 bits long, and the default (1, enabled) with a failure result
// otherwise.
//
// Input: a choice, then the value's type (32 bits), its data's length and
// its data, or a key path's text.
#include "FuzzSupport.h"

#include "wot/SampleService.h"

#include <winsim/sim/eventlog.h>
#include <winsim/sim/registry.h>

#include <cstring>
#include <cwchar>

namespace {

const wchar_t kUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
const wchar_t kTouchValue[] = L"Touch";
constexpr DWORD kDefaultSelection = 1;
constexpr size_t kMaxData = 4096;

// One machine and one service object for the whole fuzzing process.
struct ServiceMachine {
  ServiceMachine() : machine(vornfuzz::RunOptions()) { service.emplace(); }
  ~ServiceMachine() { service.reset(); }
  simkit::VirtualMachine machine;
  std::optional<CSampleService> service;
};

ServiceMachine& Host() {
  static ServiceMachine host;
  return host;
}

std::wstring FullPath() { return simkit::WakeKey(kUserSid); }

// The key path as the user lookup leaves it: at most MAX_PATH - 1 characters.
void SetRegPath(WCHAR (&szRegPath)[MAX_PATH], const std::wstring& path) {
  std::wcsncpy(szRegPath, path.c_str(), MAX_PATH - 1);
  szRegPath[MAX_PATH - 1] = L'\0';
}

// Any key path text, as the user lookup could leave it.
std::wstring RandomPath(FuzzedDataProvider& input) {
  std::wstring path;
  for (const char c : input.ConsumeRandomLengthString(vornfuzz::kMaxText)) {
    const auto byte = static_cast<unsigned char>(c);
    path += byte == 0xFF ? static_cast<wchar_t>(0x0416) : static_cast<wchar_t>(byte);
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServiceMachine& host = Host();
  winsim::Registry& registry = host.machine.Registry();
  CSampleService& service = *host.service;
  FuzzedDataProvider input(data, size);
  registry.DeleteKeyTree(FullPath());
  WCHAR szRegPath[MAX_PATH];
  SetRegPath(szRegPath, simkit::WakeKeyUnderUsers(kUserSid));

  const uint8_t choice = input.ConsumeIntegral<uint8_t>();
  int nExpected = -2;
  DWORD dwExpected = kDefaultSelection;
  switch (choice % 8) {
    case 0:  // no key
      nExpected = -1;
      break;
    case 1:  // the key without the value
      registry.CreateKey(FullPath());
      break;
    case 2:  // a key path of any text
      SetRegPath(szRegPath, RandomPath(input));
      nExpected = 0x7FFFFFFF;  // whatever it names: no crash is all that is asked
      break;
    default: {
      const DWORD dwType = (choice & 8) ? REG_DWORD : input.ConsumeIntegral<uint32_t>();
      std::vector<BYTE> value = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange<size_t>(0, kMaxData - 1));
      FUZZ_CHECK(registry.SetValue(FullPath(), (choice & 0x10) ? L"TOUCH" : kTouchValue, dwType, value), "set");
      if (value.size() == sizeof(DWORD)) {
        nExpected = 0;
        std::memcpy(&dwExpected, value.data(), sizeof(DWORD));
      }
      break;
    }
  }
  DWORD dwSel = 0xDEADBEEF;
  const int nResult = service.ReadWoTsetting(szRegPath, &dwSel);
  if (nExpected != 0x7FFFFFFF) {
    FUZZ_CHECK(nResult == nExpected, "result %d, expected %d", nResult, nExpected);
    FUZZ_CHECK(dwSel == dwExpected, "selection %lx, expected %lx", (unsigned long)dwSel, (unsigned long)dwExpected);
  } else {
    FUZZ_CHECK(nResult == 0 || nResult == -1 || nResult == -2, "result %d", nResult);
    if (nResult != 0) FUZZ_CHECK(dwSel == kDefaultSelection, "a failed read must give the default");
  }
  host.machine->Part<winsim::EventLog>().Clear();
  return 0;
}
