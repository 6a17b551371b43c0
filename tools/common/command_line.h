// The tools' command lines: CLI11's parse, with the tools' exit statuses.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace tools {

// A usage error: an unknown or malformed option, an option that does not
// apply, a missing value.
constexpr int kExitUsage = 2;

// Parses argv into `app`'s options. Returns -1 to go on, 0 after printing
// the help (--help), kExitUsage after saying what is wrong on stderr.
inline int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\n(%s --help shows the usage)\n", app.get_name().c_str(), error.what(),
                 app.get_name().c_str());
    return kExitUsage;
  }
  return -1;
}

}  // namespace tools
