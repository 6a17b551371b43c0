// Installation and removal of the service with the service control manager.
// Each prints its outcome, or the failing call with its error code, to pOut
// (the console's wide standard output in the executable).
#pragma once

#include <cstdio>

// Registers the running executable as an automatically started service of
// its own process under LocalSystem.
void InstallService(FILE* pOut);

// Stops the service if it runs (waiting while it is stop-pending) and deletes it.
void UninstallService(FILE* pOut);
