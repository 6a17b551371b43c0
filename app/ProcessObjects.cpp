// The process's static objects. Their lives must nest: the controller object
// exists before the debug log starts, and the log shuts down before the
// controller object goes, so that nothing logged while the controller object
// is destroyed reaches the file. Objects of one translation unit are built in
// the order they are defined, and DbgLogInit registers DbgLogShutdown with
// atexit after the controller's destructor was registered; so both are
// defined here, in this order, and nowhere else. The facade holds the
// controller object for the same span: from before the log starts until
// after it has shut down.
#include "app/ProcessObjects.h"

#include "log/DbgLog.h"
#include "touchic/VornApi.h"

namespace {

class CDbgLogSession {
 public:
  CDbgLogSession() { DbgLogInit(); }
  CDbgLogSession(const CDbgLogSession&) = delete;
  CDbgLogSession& operator=(const CDbgLogSession&) = delete;
};

class CTouchICHandOver {
 public:
  explicit CTouchICHandOver(CTouchIC& touchIC) { VORNAPI::SetTouchIC(&touchIC); }
  ~CTouchICHandOver() { VORNAPI::SetTouchIC(nullptr); }
  CTouchICHandOver(const CTouchICHandOver&) = delete;
  CTouchICHandOver& operator=(const CTouchICHandOver&) = delete;
};

}  // namespace

CTouchIC g_TouchIC;
static CTouchICHandOver g_TouchICHandOver(g_TouchIC);
static CDbgLogSession g_DbgLogSession;
