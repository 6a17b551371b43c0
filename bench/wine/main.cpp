// vorn_winbench: one benchmark of the service on a real Win32 stack per run
// (under Wine: scripts/bench --wine). Prints one JSON object of medians in
// microseconds and counts on standard output; exits with 1 and a reason on
// standard error when it could not measure.
//   vorn_winbench log  [--lines N]                     log off/on: needs C:\VornPalmix\VrnDbgLog
//   vorn_winbench push [--pushes N] [--gap-ms MS] [--poll-ms MS] [--log]  the service running, the controller plugged in
//   vorn_winbench hid  [--count N]                     the service stopped, the controller plugged in
#include "Benchmarks.h"

#include <cstdio>
#include <cwchar>
#include <exception>

namespace {

int Usage() {
  std::fprintf(stderr, "usage: vorn_winbench log [--lines N] | push [--pushes N] [--gap-ms MS] [--poll-ms MS] [--log] | hid [--count N]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring name = argv[1];
  try {
    const winbench::Options options(argc, argv, 2);
    winbench::Result result;
    if (name == L"log") result = winbench::RunLogLine(options);
    else if (name == L"push") result = winbench::RunPush(options);
    else if (name == L"hid") result = winbench::RunHid(options);
    else return Usage();
    std::printf("%s\n", result.Json().c_str());
    return 0;
  } catch (const winbench::Failure& failure) {
    std::fprintf(stderr, "vorn_winbench %ls: %s\n", name.c_str(), failure.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vorn_winbench %ls: %s\n", name.c_str(), error.what());
    return 1;
  }
}
