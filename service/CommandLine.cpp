#include "service/CommandLine.h"

#include <cwchar>

namespace {

struct SSwitch {
  const WCHAR* pszWord;
  ECommand eCommand;
  int nAction;
};

// In the order of comparison; the diagnostic words carry action codes 0 to 5.
const SSwitch kSwitches[] = {
    {L"install", ECommand::kInstall, 0},    {L"remove", ECommand::kRemove, 0},
    {L"fwchk", ECommand::kDiagnostic, 0},   {L"sleep", ECommand::kDiagnostic, 1},
    {L"wake", ECommand::kDiagnostic, 2},    {L"reset", ECommand::kDiagnostic, 3},
    {L"woton", ECommand::kDiagnostic, 4},   {L"wotoff", ECommand::kDiagnostic, 5},
    {L"wotchk", ECommand::kWotCheck, 0},
};

WCHAR FoldAscii(WCHAR ch) { return (ch >= L'A' && ch <= L'Z') ? static_cast<WCHAR>(ch - L'A' + L'a') : ch; }

// pszWord is lower-case ASCII.
bool EqualsIgnoringCase(const WCHAR* pszArg, const WCHAR* pszWord) {
  for (; *pszArg && *pszWord; ++pszArg, ++pszWord)
    if (FoldAscii(*pszArg) != *pszWord) return false;
  return *pszArg == L'\0' && *pszWord == L'\0';
}

}  // namespace

SCommand ParseCommandLine(int argc, const WCHAR* const* argv) {
  if (argc < 2 || !argv || !argv[1]) return {ECommand::kServiceStart, 0};
  const WCHAR* pszArg = argv[1];
  if (pszArg[0] != L'-' && pszArg[0] != L'/') return {ECommand::kServiceStart, 0};
  for (const SSwitch& entry : kSwitches)
    if (EqualsIgnoringCase(pszArg + 1, entry.pszWord)) return {entry.eCommand, entry.nAction};
  return {ECommand::kUnknownSwitch, 0};
}

void PrintUsage(FILE* pOut) {
  std::fwprintf(pOut, L"Parameters:\n");
  std::fwprintf(pOut, L" -install  to install the service.\n");
  std::fwprintf(pOut, L" -remove   to remove the service.\n");
  std::fflush(pOut);
}
