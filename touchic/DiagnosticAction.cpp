#include "touchic/DiagnosticAction.h"

// Placeholder until the controller layer lands.
int RunDiagnosticAction(int /*nAction*/) { return 0; }
