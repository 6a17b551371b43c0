#include "wot/ServiceEntry.h"

// Placeholder until the wake-on-touch push lands.
void RunWotCheck() {}
