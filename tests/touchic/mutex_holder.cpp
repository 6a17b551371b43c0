// Takes the controller's named mutex, says so on standard output and keeps it
// until its standard input ends: another process of the session that drives
// the controller meanwhile finds it busy.
#include <cstdio>

#include "platform/win32.h"

int main() {
  HANDLE hMutex = CreateMutexA(nullptr, FALSE, "GMutexTouchIC");
  if (!hMutex || WaitForSingleObject(hMutex, INFINITE) != WAIT_OBJECT_0) return 1;
  std::fputs("held\n", stdout);
  std::fflush(stdout);
  while (std::fgetc(stdin) != EOF) {
  }
  ReleaseMutex(hMutex);
  CloseHandle(hMutex);
  return 0;
}
