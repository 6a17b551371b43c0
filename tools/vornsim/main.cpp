// vornsim [--scale N] [SCRIPT]: boots a simulated machine, installs the
// service in it and plays a script of machine events against it, printing a
// timeline. No script plays the built-in demo; "-" reads standard input.
// The machine runs on virtual time, as fast as the host allows; --scale N
// (or WINSIM_TIME_SCALE) paces it at N times real time for people watching.
//
// Exit status: 0 after the script, 2 for a bad command line or a script line
// that cannot be read (nothing is played then), 1 when the machine folder
// cannot be made.
#include "simulator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitNoMachine = 1;

struct Arguments {
  double scale = 0;  // 0: from WINSIM_TIME_SCALE, else no pace
  std::string script;
  bool haveScript = false;
};

void Usage(FILE* out) {
  std::fputs(
      "usage: vornsim [--scale N] [SCRIPT]\n"
      "  Plays SCRIPT (a file, or - for standard input; without it the built-in demo)\n"
      "  against the service on a simulated machine and prints a timeline.\n"
      "  Simulated time runs as fast as the host allows, the same timeline every time.\n"
      "  --scale N   pace simulated time at N times real time (for watching)\n"
      "  WINSIM_ROOT names the machine folder (default: a fresh temporary folder).\n",
      out);
}

bool ParseScale(const char* text, double& scale) {
  char* end = nullptr;
  errno = 0;
  scale = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && scale > 0 && scale <= 1e6;
}

// 0 to go on, otherwise the exit status.
int ParseArguments(int argc, char** argv, Arguments& args) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Usage(stdout), -1;
    if (arg == "--scale") {
      if (i + 1 >= argc || !ParseScale(argv[++i], args.scale)) {
        std::fprintf(stderr, "vornsim: --scale needs a positive number\n");
        return kExitBadInput;
      }
    } else if (!args.haveScript && (arg == "-" || arg.rfind("-", 0) != 0)) {
      args.script = arg;
      args.haveScript = true;
    } else {
      std::fprintf(stderr, "vornsim: unexpected argument '%s'\n", arg.c_str());
      Usage(stderr);
      return kExitBadInput;
    }
  }
  return 0;
}

bool ReadScript(const Arguments& args, std::string& text) {
  if (!args.haveScript) return text = vornsim::DemoScript(), true;
  if (args.script == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(args.script, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// WINSIM_ROOT when set, else a fresh folder under the temporary directory.
bool MachineFolder(std::filesystem::path& root) {
  if (const char* given = std::getenv("WINSIM_ROOT"); given && *given) {
    root = given;
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    return std::filesystem::is_directory(root);
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "vornsim-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return false;
  root = pattern;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (int status = ParseArguments(argc, argv, args)) return status < 0 ? 0 : status;
  std::string text;
  if (!ReadScript(args, text)) {
    std::fprintf(stderr, "vornsim: cannot read %s: %s\n", args.script.c_str(), std::strerror(errno));
    return kExitBadInput;
  }
  std::vector<vornsim::Command> commands;
  vornsim::ScriptError error;
  if (!vornsim::ParseScript(text, commands, error)) {
    std::fprintf(stderr, "vornsim: line %d: %s: %s\n", error.line, error.text.c_str(), error.message.c_str());
    return kExitBadInput;
  }

  winsim::MachineConfig config = winsim::MachineConfig::FromEnvironment();
  if (!MachineFolder(config.root)) {
    std::fprintf(stderr, "vornsim: cannot make the machine folder\n");
    return kExitNoMachine;
  }
  config.timeScale = args.scale > 0 ? args.scale : winsim::ScaleFromEnvironment();

  auto print = [](const std::wstring& line) {
    std::fwprintf(stdout, L"%ls\n", line.c_str());
    std::fflush(stdout);
  };
  vornsim::Simulator simulator(config, print);
  simulator.Output().Print(L"sim", L"machine folder " + std::filesystem::path(config.root).wstring());
  for (const auto& command : commands) simulator.Play(command);
  simulator.Finish();
  return 0;
}
