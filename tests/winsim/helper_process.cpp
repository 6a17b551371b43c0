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

// mutex NAME: follows commands on its input, answering each with one line:
//   create OWNED -> "created <last error>"   open -> "opened <last error>"
//   wait MS -> "waited <result>"             release -> "released <ok> <last error>"
//   crash -> ends at once without releasing anything
int MutexCommands(const char* name) {
  const std::wstring wideName = Wide(name);
  HANDLE mutex = nullptr;
  Say("ready");
  for (std::string line; std::getline(std::cin, line);) {
    const std::string verb = line.substr(0, line.find(' '));
    const std::string arg = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    if (verb == "create") {
      mutex = CreateMutexW(nullptr, arg == "1", wideName.c_str());
      Say("created " + std::to_string(GetLastError()));
    } else if (verb == "open") {
      mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, wideName.c_str());
      Say("opened " + std::to_string(mutex ? 0 : GetLastError()));
    } else if (verb == "wait") {
      Say("waited " + std::to_string(WaitForSingleObject(mutex, std::strtoul(arg.c_str(), nullptr, 0))));
    } else if (verb == "release") {
      SetLastError(0);
      BOOL ok = ReleaseMutex(mutex);
      Say("released " + std::to_string(ok) + " " + std::to_string(GetLastError()));
    } else if (verb == "crash") {
      _exit(3);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "hold-file" && argc == 5) return HoldFile(argv + 2);
  if (command == "mutex" && argc == 3) return MutexCommands(argv[2]);
  Say("usage");
  return 2;
}
