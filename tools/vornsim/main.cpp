// vornsim [--scale N] [--html FILE] [--trace FILE] [--keep] [SCRIPT]: boots a
// simulated machine, installs the service in it and plays a script of machine
// events against it, printing a timeline. No script plays the built-in demo;
// "-" reads standard input. --html also writes the run as a page (html.h),
// --trace as trace events (trace.h).
// vornsim --soak HOURS [--seed N] [--verbose] [--debug-log] [--scale N]
// [--html FILE] [--trace FILE] [--keep]: plays a random story checked against
// the service's invariants instead (soak.h).
// The machine runs on virtual time, as fast as the host allows; --scale N
// (or WINSIM_TIME_SCALE) paces it at N times real time for people watching.
// A machine folder that vornsim made itself goes at the end, unless --keep
// (or a failed soak, whose folder holds the evidence) keeps it.
//
// Exit status: 0 after the script (or a soak that held), 2 for a bad command
// line, environment or script (nothing is played then), 1 when the machine
// folder cannot be made, the page or the trace cannot be written or a soak
// check failed.
#include "common/command_line.h"
#include "html.h"
#include "simulator.h"
#include "soak.h"
#include "trace.h"

#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kExitBadInput = tools::kExitUsage;
constexpr int kExitFailed = 1;
// The longest soak: a year of simulated time.
constexpr double kMaxSoakHours = 24 * 365;

struct Arguments {
  std::optional<double> scale;  // --scale N; else WINSIM_TIME_SCALE, else no pace
  std::string script;           // SCRIPT; empty: the built-in demo
  std::string html;             // --html FILE
  std::string trace;            // --trace FILE
  std::optional<double> soakHours;
  uint64_t seed = 1;
  bool verbose = false;   // --verbose: the soak prints its whole timeline
  bool debugLog = false;  // --debug-log: the soak keeps the service's debug log
  bool keep = false;      // --keep: the temporary machine folder stays
};

// A number above 0 and at most `max`, written whole.
CLI::Validator PositiveUpTo(double max) {
  return CLI::Validator(
      [max](std::string& text) -> std::string {
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && value > 0 && value <= max) return {};
        char bound[32];
        std::snprintf(bound, sizeof bound, "%.0f", max);
        return std::string("must be a number above 0 and at most ") + bound + ", not '" + text + "'";
      },
      "", "");
}

// A pace, as WINSIM_TIME_SCALE takes it.
CLI::Validator TimeScale() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double scale = 0;
        if (winsim::ParseTimeScale(text, scale)) return {};
        return "must be a number from 0.001 to 1000000, not '" + text + "'";
      },
      "", "");
}

// Decimal digits that fit 64 bits (the parser's own conversion would take -1).
CLI::Validator WholeNumber() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && !text.empty()) return {};
        return "must be a whole number from 0 to 18446744073709551615, not '" + text + "'";
      },
      "", "");
}

void DefineOptions(CLI::App& app, Arguments& args) {
  app.footer(
      "Plays SCRIPT (a file, or - for standard input; without it the built-in demo)\n"
      "against the service on a simulated machine and prints a timeline; simulated\n"
      "time runs as fast as the host allows, the same timeline every time. --soak\n"
      "plays a random story instead and checks the service's invariants (exit 1 at the\n"
      "first that fails). WINSIM_ROOT names the machine folder (default: a fresh\n"
      "temporary folder, removed at the end unless --keep). Exit status 2: a bad\n"
      "command line, environment or script.");
  auto* soak = app.add_option("--soak", args.soakHours, "play a random story of HOURS simulated hours")
                   ->type_name("HOURS")
                   ->check(PositiveUpTo(kMaxSoakHours));
  app.add_option("--scale", args.scale, "pace simulated time at N times real time (for watching)")
      ->type_name("N")
      ->check(TimeScale());
  const CLI::Validator fileName([](std::string& text) { return text.empty() ? "needs a file name" : ""; }, "", "");
  app.add_option("--html", args.html, "also write the run as an HTML page")->type_name("FILE")->check(fileName);
  app.add_option("--trace", args.trace, "also write the run as trace events (JSON for Perfetto, chrome://tracing)")
      ->type_name("FILE")
      ->check(fileName);
  app.add_flag("--keep", args.keep, "keep the temporary machine folder (and name it)");
  app.add_option("--seed", args.seed, "the soak's story (default 1)")->needs(soak)->check(WholeNumber());
  app.add_flag("--verbose", args.verbose, "the soak prints its whole timeline")->needs(soak);
  app.add_flag("--debug-log", args.debugLog, "the soak keeps the service's debug log on (slower)")->needs(soak);
  app.add_option("SCRIPT", args.script, "the script to play; - reads standard input")->excludes(soak);
}

// -1 to go on, otherwise the exit status.
int ParseArguments(int argc, char** argv, Arguments& args) {
  CLI::App app("vornsim: the service on a simulated machine", "vornsim");
  DefineOptions(app, args);
  return tools::ParseCommandLine(app, argc, argv);
}

// The page and the trace are written at the end of a run: their folders must
// take them now.
bool Writable(const char* flag, const std::string& file) {
  const fs::path path(file);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  const char* problem = nullptr;
  if (fs::is_directory(path, ec)) problem = "it is a folder";
  else if (!fs::is_directory(folder, ec)) problem = "its folder does not exist";
  else if (::access(folder.c_str(), W_OK | X_OK) != 0) problem = std::strerror(errno);
  else if (fs::exists(path, ec) && ::access(path.c_str(), W_OK) != 0) problem = std::strerror(errno);
  if (!problem) return true;
  std::fprintf(stderr, "vornsim: %s %s: cannot write there: %s\n", flag, file.c_str(), problem);
  return false;
}

bool WriteText(const std::string& path, const std::string& text) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out << text << std::flush;
  if (out) return true;
  if (errno == 0) errno = EIO;
  std::fprintf(stderr, "vornsim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

bool Recorded(const Arguments& args) { return !args.html.empty() || !args.trace.empty(); }

// The page and the trace of a run; false after saying which could not be written.
bool WriteRecord(const Arguments& args, const vornsim::RunRecord& record, const std::string& title) {
  const vornsim::RunData run = record.Data();
  bool written = args.html.empty() || WriteText(args.html, vornsim::HtmlPage(run, title));
  if (!args.trace.empty()) written = WriteText(args.trace, vornsim::TraceJson(run, title)) && written;
  return written;
}

// A script line (or a message that quotes a word of it) as an error shows it:
// at most kShownBytes, cut at a character, then "...".
constexpr size_t kShownBytes = 80;
std::string Shortened(const std::string& text) {
  if (text.size() <= kShownBytes) return text;
  size_t end = kShownBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

bool ReadScript(const std::string& name, std::string& text) {
  if (name.empty()) return text = vornsim::DemoScript(), true;
  if (name == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::error_code ec;
  if (fs::is_directory(name, ec)) return errno = EISDIR, false;
  std::ifstream in(name, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The script's commands; false (after saying why) when it cannot be read.
bool LoadScript(const std::string& name, std::vector<vornsim::Command>& commands) {
  std::string text;
  if (!ReadScript(name, text)) {
    std::fprintf(stderr, "vornsim: cannot read %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
  }
  vornsim::ScriptErrors errors;
  if (vornsim::ParseScript(text, commands, errors)) return true;
  for (const auto& error : errors.first)
    std::fprintf(stderr, "vornsim: line %d: %s: %s\n", error.line, Shortened(error.text).c_str(),
                 Shortened(error.message).c_str());
  if (errors.count > errors.first.size())
    std::fprintf(stderr, "vornsim: ... and %zu more lines that cannot be read\n", errors.count - errors.first.size());
  std::fprintf(stderr, "vornsim: nothing played\n");
  return false;
}

// The machine's folder: WINSIM_ROOT when set, else a fresh temporary folder
// that goes with this object unless kept.
class MachineFolder {
 public:
  explicit MachineFolder(bool keep) : m_keep(keep) {}
  ~MachineFolder();
  MachineFolder(const MachineFolder&) = delete;
  MachineFolder& operator=(const MachineFolder&) = delete;

  bool Make();
  const fs::path& Path() const { return m_path; }
  void Keep() { m_keep = true; }

 private:
  fs::path m_path;
  bool m_made = false;  // a temporary folder of this run
  bool m_keep;
};

// False, after saying why, when no usable machine folder can be had.
bool MachineFolder::Make() {
  const char* given = std::getenv("WINSIM_ROOT");
  if (given && *given) {
    m_path = given;
  } else {
    std::string pattern = (fs::temp_directory_path() / "vornsim-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::fprintf(stderr, "vornsim: cannot make the machine folder %s: %s\n", pattern.c_str(), std::strerror(errno));
      return false;
    }
    m_path = pattern;
    m_made = true;
  }
  const std::string problem = winsim::MachineFolderProblem(m_path);
  if (problem.empty()) return true;
  std::fprintf(stderr, "vornsim: cannot make the machine folder %s%s: %s\n", m_path.c_str(),
               m_made ? "" : " (WINSIM_ROOT)", problem.c_str());
  return false;
}

MachineFolder::~MachineFolder() {
  if (!m_made) return;
  if (m_keep) {
    std::fprintf(stderr, "vornsim: the machine folder is kept: %s\n", m_path.c_str());
    return;
  }
  std::error_code ec;
  fs::remove_all(m_path, ec);
  if (ec) std::fprintf(stderr, "vornsim: cannot remove the machine folder %s: %s\n", m_path.c_str(), ec.message().c_str());
}

// The machine of a run, in `folder`, at the pace asked for; the environment
// was checked before (EnvironmentUsable).
winsim::MachineConfig MachineConfigFor(const Arguments& args, const MachineFolder& folder) {
  winsim::MachineConfig config = winsim::MachineConfig::FromEnvironment();
  config.root = folder.Path();
  config.timeScale = args.scale ? *args.scale : winsim::ScaleFromEnvironment();
  return config;
}

bool EnvironmentUsable(const Arguments& args) {
  try {
    (void)winsim::MachineConfig::FromEnvironment();
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "vornsim: %s\n", error.what());
    return false;
  }
  if (args.keep && std::getenv("WINSIM_ROOT") && *std::getenv("WINSIM_ROOT")) {
    std::fprintf(stderr, "vornsim: --keep: the machine folder is WINSIM_ROOT's, which vornsim never removes\n");
    return false;
  }
  if (!args.html.empty() && !args.trace.empty()) {
    std::error_code ec;
    if (fs::weakly_canonical(args.html, ec) == fs::weakly_canonical(args.trace, ec)) {
      std::fprintf(stderr, "vornsim: --trace %s: the same file as --html\n", args.trace.c_str());
      return false;
    }
  }
  return (args.html.empty() || Writable("--html", args.html)) && (args.trace.empty() || Writable("--trace", args.trace));
}

int Soak(const Arguments& args, MachineFolder& folder) {
  vornsim::SoakOptions options;
  options.hours = *args.soakHours;
  options.seed = args.seed;
  options.verbose = args.verbose;
  options.debugLog = args.debugLog;
  vornsim::RunRecord record;
  const int status = vornsim::RunSoak(options, MachineConfigFor(args, folder), Recorded(args) ? &record : nullptr);
  if (status != 0) folder.Keep();
  char title[96];
  std::snprintf(title, sizeof title, "vornsim: a soak of %g h, seed %llu", options.hours,
                static_cast<unsigned long long>(args.seed));
  if (Recorded(args) && !WriteRecord(args, record, title)) return kExitFailed;
  return status;
}

int Play(const Arguments& args, const std::vector<vornsim::Command>& commands, const MachineFolder& folder) {
  vornsim::RunRecord record;
  auto print = [&args, &record](const std::wstring& line) {
    std::fwprintf(stdout, L"%ls\n", line.c_str());
    std::fflush(stdout);
    if (Recorded(args)) record.Add(line);
  };
  {
    vornsim::Simulator simulator(MachineConfigFor(args, folder), print);
    if (Recorded(args))
      simulator.Bands().ShowTo([&record](uint64_t timeMs, const std::wstring& band, const std::wstring& value) {
        record.SetState(timeMs, band, value);
      }, simulator.Machine().clock().NowMs());
    simulator.Output().Print(L"sim", L"machine folder " + folder.Path().wstring());
    for (const auto& command : commands) simulator.Play(command);
    simulator.Finish();
  }
  const std::string title = "vornsim: " + (args.script.empty() ? std::string("the built-in demo") : args.script);
  if (Recorded(args) && !WriteRecord(args, record, title)) return kExitFailed;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (const int status = ParseArguments(argc, argv, args); status >= 0) return status;
  if (!EnvironmentUsable(args)) return kExitBadInput;
  std::vector<vornsim::Command> commands;
  if (!args.soakHours && !LoadScript(args.script, commands)) return kExitBadInput;

  MachineFolder folder(args.keep);
  if (!folder.Make()) return kExitFailed;
  return args.soakHours ? Soak(args, folder) : Play(args, commands, folder);
}
