// The service process: the one service object's life under the service
// control dispatcher, and how the process ends when a watcher outlives it.
#pragma once

#include <cstdio>

class CSampleService;

// The service start: runs the service under the service control dispatcher
// and returns when it has stopped (or the dispatcher could not start).
void RunService();

// The same, printing the dispatcher's failure to pOut (the wide standard
// output in the executable).
void RunServiceTo(FILE* pOut);

// A service object whose watchers did not end within the teardown bound: it
// is never destroyed, and stays in reach here until the process ends.
extern CSampleService* g_pLeftService;
