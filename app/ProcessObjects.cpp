// The process's static objects. Their lives must nest: the controller object
// exists before the debug log starts, and the log shuts down before the
// controller object goes, so that nothing logged while the controller object
// is destroyed reaches the file. Objects of one translation unit are built in
// the order they are defined, and DbgLogInit registers DbgLogShutdown with
// atexit after the controller's destructor was registered; so both are
// defined here, in this order, and nowhere else.
#include "log/DbgLog.h"
#include "touchic/TouchIC.h"

namespace {

class CDbgLogSession {
 public:
  CDbgLogSession() { DbgLogInit(); }
  CDbgLogSession(const CDbgLogSession&) = delete;
  CDbgLogSession& operator=(const CDbgLogSession&) = delete;
};

}  // namespace

CTouchIC g_TouchIC;
static CDbgLogSession g_DbgLogSession;
