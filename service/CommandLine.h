// The command line of VornPalmixSvc: which action the first argument asks for.
#pragma once

#include "platform/win32.h"

#include <cstdio>

enum class ECommand {
  kServiceStart,   // no switch: usage text, then the service start
  kUnknownSwitch,  // a switch character with any other word: nothing at all
  kInstall,
  kRemove,
  kDiagnostic,     // one of the six diagnostic actions, see nAction
  kWotCheck,
};

struct SCommand {
  ECommand eCommand;
  int nAction;  // the diagnostic action code for kDiagnostic, else 0
};

// Looks at the first argument only: '-' or '/' followed by a switch word,
// compared whole and ignoring ASCII letter case.
SCommand ParseCommandLine(int argc, const WCHAR* const* argv);

// The three usage lines printed before every service start.
void PrintUsage(FILE* pOut);
