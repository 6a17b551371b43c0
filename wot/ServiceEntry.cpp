#include "wot/ServiceEntry.h"

// Placeholders until the service object lands.
void RunService() {}
void RunWotCheck() {}
