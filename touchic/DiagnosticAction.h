// One-shot diagnostic actions of the command line, against the touch controller.
#pragma once

// Action codes in the order of their command-line words.
enum EDiagnosticAction {
  kDiagFwCheck = 0,  // fwchk
  kDiagSleep = 1,    // sleep
  kDiagWake = 2,     // wake
  kDiagReset = 3,    // reset
  kDiagWotOn = 4,    // woton
  kDiagWotOff = 5,   // wotoff
};

// Runs on the controller object handed to VORNAPI::SetTouchIC.
int RunDiagnosticAction(int nAction);
