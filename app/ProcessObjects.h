// The process's static objects (app/ProcessObjects.cpp), for the programs
// built on the composition root. The product's folders below app/ are handed
// the controller object (VORNAPI::SetTouchIC) and never name it.
#pragma once

#include "touchic/TouchIC.h"

// The process's one controller object, constructed before the debug log starts
// and destroyed after it has shut down.
extern CTouchIC g_TouchIC;
