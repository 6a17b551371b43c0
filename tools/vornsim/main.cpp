// vornsim [--scale N] [--html FILE] [SCRIPT]: boots a simulated machine,
// installs the service in it and plays a script of machine events against it,
// printing a timeline. No script plays the built-in demo; "-" reads standard
// input. --html also writes the timeline as a page (html.h).
// vornsim --soak HOURS [--seed N] [--verbose] [--debug-log] [--html FILE]:
// plays a random story checked against the service's invariants instead
// (soak.h).
// The machine runs on virtual time, as fast as the host allows; --scale N
// (or WINSIM_TIME_SCALE) paces it at N times real time for people watching.
//
// Exit status: 0 after the script (or a soak that held), 2 for a bad command
// line or a script line that cannot be read (nothing is played then), 1 when
// the machine folder cannot be made, the page cannot be written or a soak
// check failed.
#include "html.h"
#include "simulator.h"
#include "soak.h"

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
  std::string html;         // --html FILE
  double soakHours = 0;     // --soak HOURS; 0: play a script
  uint64_t seed = 1;        // --seed N
  bool verbose = false;     // --verbose: the soak prints its whole timeline
  bool debugLog = false;    // --debug-log: the soak keeps the service's debug log
};

void Usage(FILE* out) {
  std::fputs(
      "usage: vornsim [--scale N] [--html FILE] [SCRIPT]\n"
      "       vornsim --soak HOURS [--seed N] [--verbose] [--debug-log] [--html FILE]\n"
      "  Plays SCRIPT (a file, or - for standard input; without it the built-in demo)\n"
      "  against the service on a simulated machine and prints a timeline.\n"
      "  Simulated time runs as fast as the host allows, the same timeline every time.\n"
      "  --scale N     pace simulated time at N times real time (for watching)\n"
      "  --html FILE   also write the timeline as an HTML page (swim lanes per channel)\n"
      "  --soak HOURS  play a random story of HOURS simulated hours, checking the\n"
      "                service's invariants; exit 1 at the first that fails\n"
      "  --seed N      the soak's story (default 1); --verbose prints its timeline;\n"
      "                --debug-log keeps the service's debug log on (slower)\n"
      "  WINSIM_ROOT names the machine folder (default: a fresh temporary folder).\n",
      out);
}

bool ParseScale(const char* text, double& scale) {
  char* end = nullptr;
  errno = 0;
  scale = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && scale > 0 && scale <= 1e6;
}

bool ParseHours(const char* text, double& hours) {
  char* end = nullptr;
  errno = 0;
  hours = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && hours > 0 && hours <= 24 * 365;
}

bool ParseSeed(const char* text, uint64_t& seed) {
  char* end = nullptr;
  errno = 0;
  seed = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *text != '-';
}

bool WriteHtml(const vornsim::HtmlTimeline& html, const std::string& path, const std::string& title) {
  if (html.Write(path, title)) return true;
  std::fprintf(stderr, "vornsim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
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
    } else if (arg == "--html") {
      if (i + 1 >= argc || !*argv[i + 1]) {
        std::fprintf(stderr, "vornsim: --html needs a file name\n");
        return kExitBadInput;
      }
      args.html = argv[++i];
    } else if (arg == "--soak") {
      if (i + 1 >= argc || !ParseHours(argv[++i], args.soakHours)) {
        std::fprintf(stderr, "vornsim: --soak needs a positive number of hours\n");
        return kExitBadInput;
      }
    } else if (arg == "--seed") {
      if (i + 1 >= argc || !ParseSeed(argv[++i], args.seed)) {
        std::fprintf(stderr, "vornsim: --seed needs a whole number\n");
        return kExitBadInput;
      }
    } else if (arg == "--verbose") {
      args.verbose = true;
    } else if (arg == "--debug-log") {
      args.debugLog = true;
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

// The machine of a run: the environment's, in its folder, at the pace asked for.
bool MachineConfigFor(const Arguments& args, winsim::MachineConfig& config) {
  config = winsim::MachineConfig::FromEnvironment();
  if (!MachineFolder(config.root)) {
    std::fprintf(stderr, "vornsim: cannot make the machine folder\n");
    return false;
  }
  config.timeScale = args.scale > 0 ? args.scale : winsim::ScaleFromEnvironment();
  return true;
}

// --soak: no script; the machine folder as for a script.
int Soak(const Arguments& args) {
  if (args.haveScript) {
    std::fprintf(stderr, "vornsim: --soak plays its own story, not a script\n");
    return kExitBadInput;
  }
  winsim::MachineConfig config;
  if (!MachineConfigFor(args, config)) return kExitNoMachine;
  vornsim::SoakOptions options;
  options.hours = args.soakHours;
  options.seed = args.seed;
  options.verbose = args.verbose;
  options.debugLog = args.debugLog;
  vornsim::HtmlTimeline html;
  const int status = vornsim::RunSoak(options, config, args.html.empty() ? nullptr : &html);
  char title[96];
  std::snprintf(title, sizeof title, "vornsim: soak of %g hours, seed %llu", args.soakHours,
                static_cast<unsigned long long>(args.seed));
  if (!args.html.empty() && !WriteHtml(html, args.html, title)) return kExitNoMachine;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (int status = ParseArguments(argc, argv, args)) return status < 0 ? 0 : status;
  if (args.soakHours > 0) return Soak(args);
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

  winsim::MachineConfig config;
  if (!MachineConfigFor(args, config)) return kExitNoMachine;

  vornsim::HtmlTimeline html;
  auto print = [&args, &html](const std::wstring& line) {
    std::fwprintf(stdout, L"%ls\n", line.c_str());
    std::fflush(stdout);
    if (!args.html.empty()) html.Add(line);
  };
  vornsim::Simulator simulator(config, print);
  simulator.Output().Print(L"sim", L"machine folder " + std::filesystem::path(config.root).wstring());
  for (const auto& command : commands) simulator.Play(command);
  simulator.Finish();
  const std::string title = "vornsim: " + (args.haveScript ? args.script : std::string("the built-in demo"));
  if (!args.html.empty() && !WriteHtml(html, args.html, title)) return kExitNoMachine;
  return 0;
}
