// A winsim program for the test of winsim's main: prints its wide arguments
// one a line and whether its entry was registered, and exits with argc.
#include <platform/win32.h>
#include <winsim/sim/process_entry.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  std::wprintf(L"entry %ls\n", winsim::GetProcessEntry() == &wmain ? L"registered" : L"missing");
  for (int i = 1; i < argc; ++i) std::wprintf(L"[%ls] %u\n", argv[i], (unsigned)std::wcslen(argv[i]));
  return argc;
}
