// Writes COUNT lines "TAG n" (n from 0) to the product's debug log on the
// machine of WINSIM_ROOT: the first half at 13:59:59 on 6 March 2024, the
// rest at 14:00:00, so that they go to two hourly files. Exit status 0.
#include "log/DbgLog.h"

#include <winsim/sim/machine.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int64_t WallMs(int nHour, int nMinute, int nSecond) {
  using namespace std::chrono;
  const auto tp = sys_days{year{2024} / March / 6} + hours{nHour} + minutes{nMinute} + seconds{nSecond};
  return tp.time_since_epoch() / milliseconds{1};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: log_writer TAG COUNT\n");
    return 2;
  }
  const int nCount = std::atoi(argv[2]);
  // The process's clock runs on: it is set again for every line.
  winsim::Clock& clock = winsim::CurrentMachine().clock();
  clock.SetWallMs(WallMs(13, 59, 59));
  DbgLogInit();
  for (int i = 0; i < nCount; ++i) {
    clock.SetWallMs(i < nCount / 2 ? WallMs(13, 59, 59) : WallMs(14, 0, 0));
    DbgLogWrite((std::string(argv[1]) + " " + std::to_string(i)).c_str());
  }
  return 0;
}
