// Marks a class as exported by name from the executable (Windows), or as
// visible (elsewhere).
#pragma once

#ifdef _WIN32
#define VORN_EXPORT __declspec(dllexport)
#else
#define VORN_EXPORT __attribute__((visibility("default")))
#endif
