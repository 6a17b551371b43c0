// Entry points of the wake-on-touch service that the command line runs.
#pragma once

// The service start: runs the service under the service control dispatcher
// and returns when it has stopped (or the dispatcher could not start).
void RunService();

// -wotchk: one push of the enabling selection to the controller.
void RunWotCheck();
