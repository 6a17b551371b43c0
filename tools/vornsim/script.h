// vornsim's script language: one command a line, '#' starts a comment.
//
//   start | stop                    SCM starts the service / sends the stop control
//   display on | display off        GUID_MONITOR_POWER_ON with data byte 1 / 0
//   power suspend | power resume    PBT_APMSUSPEND / PBT_APMRESUMEAUTOMATIC
//   session change                  SERVICE_CONTROL_SESSIONCHANGE
//   touch N | touch delete          set the logged-on user's "Touch" value / delete it
//   logon NAME | logoff             a user logs on / everybody logs off
//   controller attach [fw=HEX] [pid=HEX] | controller detach
//   controller fault none|mute|late|wrong-report|short-report|fail-write|stuck-write|hang
//   mutex hold | mutex release      another process of the service's session holds "GMutexTouchIC" / lets go
//   wait SECONDS                    let simulated time pass
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornsim {

enum class CommandKind {
  kStart,
  kStop,
  kDisplayOn,
  kDisplayOff,
  kPowerSuspend,
  kPowerResume,
  kSessionChange,
  kTouchSet,
  kTouchDelete,
  kLogOn,
  kLogOff,
  kControllerAttach,
  kControllerDetach,
  kControllerFault,
  kMutexHold,
  kMutexRelease,
  kWait,
};

struct Command {
  CommandKind kind;
  std::string text;                   // the line as written, without comment and outer blanks
  int line = 0;                       // 1-based line number in the script
  uint32_t touchValue = 0;            // touch N
  std::string name;                   // logon NAME; controller fault KIND
  std::optional<uint16_t> firmware;   // controller attach fw=HEX
  std::optional<uint16_t> productId;  // controller attach pid=HEX
  uint64_t waitMs = 0;                // wait SECONDS
};

struct ScriptError {
  int line = 0;
  std::string text;     // the offending line
  std::string message;  // what is wrong with it
};

// The lines of a script that cannot be read: the first kKept of them, and
// how many there are in all.
struct ScriptErrors {
  static constexpr size_t kKept = 20;
  std::vector<ScriptError> first;
  size_t count = 0;
};

// Parses a whole script, every line. Returns false when a line cannot be
// read (`errors` tells which); `commands` then holds only the good lines
// and must not be played.
bool ParseScript(const std::string& script, std::vector<Command>& commands, ScriptErrors& errors);

// The built-in demo: the service starts and pushes the user's setting, follows
// a change of it, sees the display go off and on, loses its controller and
// gets it back, and stops.
const std::string& DemoScript();

}  // namespace vornsim
