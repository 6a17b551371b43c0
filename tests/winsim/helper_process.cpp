// A second process on a shared machine folder (WINSIM_ROOT): holds files and
// mutexes for tests of what Windows shares between processes. Commands come as
// arguments; the helper says "ready" (or "error N") and then follows lines on
// its standard input until it ends.
#include <platform/win32.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

std::wstring Wide(const char* text) {
  std::wstring result;
  for (; *text; ++text) result.push_back(static_cast<unsigned char>(*text));
  return result;
}

void Say(const std::string& line) { std::cout << line << std::endl; }

// hold-file PATH ACCESS SHARE: keeps the file open until the input ends.
int HoldFile(char** argv) {
  HANDLE file = CreateFileW(Wide(argv[0]).c_str(), std::strtoul(argv[1], nullptr, 0), std::strtoul(argv[2], nullptr, 0),
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Say("error " + std::to_string(GetLastError()));
    return 1;
  }
  Say("ready");
  for (std::string line; std::getline(std::cin, line);) {
  }
  CloseHandle(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "hold-file" && argc == 5) return HoldFile(argv + 2);
  Say("usage");
  return 2;
}
