// The wake-on-touch action that the command line runs besides the service.
#pragma once

// -wotchk: one push of the enabling selection to the controller.
void RunWotCheck();
