// Starts the debug log during static initialisation.
#pragma once

#include "log/DbgLog.h"

// Define exactly one instance per executable, directly after the process's
// controller object and in the same translation unit: objects of one
// translation unit are constructed in order, and DbgLogInit registers
// DbgLogShutdown with atexit after that object's destructor was registered,
// so the log starts after the controller exists and shuts down before it goes.
class CDbgLogSession {
 public:
  CDbgLogSession() { DbgLogInit(); }
  CDbgLogSession(const CDbgLogSession&) = delete;
  CDbgLogSession& operator=(const CDbgLogSession&) = delete;
};
