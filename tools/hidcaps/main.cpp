// hidcaps HEX: parses a HID report descriptor with winsim's parser and prints
// what HidP_GetCaps, HidP_GetButtonCaps and HidP_GetValueCaps report.
#include "caps_report.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hidcaps HEX\n  HEX: the report descriptor as hexadecimal bytes\n");
    return 2;
  }
  const auto bytes = hidcaps::ParseHex(argv[1]);
  if (!bytes || bytes->empty()) {
    std::fprintf(stderr, "hidcaps: not a hexadecimal byte string: %s\n", argv[1]);
    return 2;
  }
  std::string error;
  const auto report = hidcaps::CapsReport(*bytes, error);
  if (!report) {
    std::fprintf(stderr, "hidcaps: cannot parse the descriptor: %s\n", error.c_str());
    return 1;
  }
  std::fputs(report->c_str(), stdout);
  return 0;
}
