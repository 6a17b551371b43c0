// hidcaps HEX | hidcaps --file FILE [--binary]: parses a HID report
// descriptor with winsim's parser and prints what HidP_GetCaps,
// HidP_GetButtonCaps and HidP_GetValueCaps report.
//
// Exit status: 0 printed, 1 the parser refused the descriptor, 2 a bad
// command line or input that is not a descriptor's bytes.
#include "caps_report.h"
#include "common/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kExitBadInput = tools::kExitUsage;
constexpr int kExitUnparsed = 1;
// A descriptor has at most 65535 bytes (its length is a 16-bit field); as hex
// text with blanks and line breaks that stays well under this bound, which
// also keeps a device file or a pipe without end from being read for ever.
constexpr size_t kMaxInputBytes = 1 << 20;

struct Arguments {
  std::string hex;   // HEX
  std::string file;  // --file FILE; "-" standard input
  bool binary = false;
};

// -1 to go on, otherwise the exit status.
int ParseArguments(int argc, char** argv, Arguments& args) {
  CLI::App app("hidcaps: what winsim's HID parser makes of a report descriptor", "hidcaps");
  app.footer(
      "Give the descriptor as HEX (hexadecimal bytes, blanks allowed between them\n"
      "within the one argument) or with --file: hexadecimal text, or with --binary the\n"
      "descriptor's raw bytes (as in a device's report_descriptor file).");
  auto* file = app.add_option("-f,--file", args.file, "read the descriptor from FILE (- for standard input)")
                   ->type_name("FILE");
  app.add_flag("--binary", args.binary, "FILE holds the descriptor's raw bytes, not hexadecimal text")->needs(file);
  app.add_option("HEX", args.hex, "the descriptor as hexadecimal bytes")->excludes(file);
  if (const int status = tools::ParseCommandLine(app, argc, argv); status >= 0) return status;
  if (args.hex.empty() && args.file.empty()) {
    std::fprintf(stderr, "hidcaps: no descriptor: give HEX or --file FILE\n(hidcaps --help shows the usage)\n");
    return kExitBadInput;
  }
  return -1;
}

// Up to kMaxInputBytes of `in`; nullopt (after saying why) past that or on a read error.
std::optional<std::string> ReadBounded(std::istream& in, const std::string& name) {
  std::string text(kMaxInputBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    std::fprintf(stderr, "hidcaps: cannot read %s\n", name.c_str());
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxInputBytes) {
    std::fprintf(stderr, "hidcaps: %s is larger than %zu bytes: not a report descriptor\n", name.c_str(), kMaxInputBytes);
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> ReadInput(const std::string& file) {
  if (file == "-") return ReadBounded(std::cin, "standard input");
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) {
    std::fprintf(stderr, "hidcaps: cannot read %s: it is a folder\n", file.c_str());
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "hidcaps: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  return ReadBounded(in, file);
}

// The descriptor's bytes; nullopt (after saying why) when there are none.
std::optional<std::vector<uint8_t>> Descriptor(const Arguments& args) {
  const std::optional<std::string> text = args.file.empty() ? args.hex : ReadInput(args.file);
  if (!text) return std::nullopt;
  const std::string source = args.file.empty() ? "HEX" : args.file == "-" ? "standard input" : args.file;
  auto bytes = args.binary ? std::optional(std::vector<uint8_t>(text->begin(), text->end())) : hidcaps::ParseHex(*text);
  if (!bytes)
    std::fprintf(stderr, "hidcaps: %s: not a hexadecimal byte string%s\n", source.c_str(),
                 args.file.empty() ? "" : " (--binary reads a descriptor's raw bytes)");
  else if (bytes->empty())
    std::fprintf(stderr, "hidcaps: %s: the descriptor is empty\n", source.c_str());
  return bytes && !bytes->empty() ? bytes : std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (const int status = ParseArguments(argc, argv, args); status >= 0) return status;
  const auto bytes = Descriptor(args);
  if (!bytes) return kExitBadInput;
  std::string error;
  const auto report = hidcaps::CapsReport(*bytes, error);
  if (!report) {
    std::fprintf(stderr, "hidcaps: cannot parse the descriptor: %s\n", error.c_str());
    return kExitUnparsed;
  }
  std::fputs(report->c_str(), stdout);
  return 0;
}
