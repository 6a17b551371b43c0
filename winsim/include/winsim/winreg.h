// Emulated winreg subset: declarations are added by the part that implements them.
#pragma once

#include <winsim/kernel32.h>
