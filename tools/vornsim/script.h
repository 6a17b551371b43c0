// vornsim's script language: one command a line, '#' starts a comment.
//
//   start | stop                    SCM starts the service / sends the stop control
//   display on | display off        GUID_MONITOR_POWER_ON with data byte 1 / 0
//   power suspend | power resume    PBT_APMSUSPEND / PBT_APMRESUMEAUTOMATIC
//   session change [TYPE]           SERVICE_CONTROL_SESSIONCHANGE of TYPE (logon, logoff, lock,
//                                   unlock, console-connect, console-disconnect, remote-connect,
//                                   remote-disconnect; lock when none) for the console's session
//   touch N [NAME] | touch delete [NAME]   set NAME's (default: the console user's) "Touch" value / delete it
//   logon NAME                      NAME logs on at the console (a session with its explorer.exe;
//                                   it takes the console); NAME logged on already is an error
//   switch NAME                     the console moves to NAME's session (fast user switching)
//   logoff NAME | logoff            NAME's session ends / every session ends
//   mouse attach | mouse detach     a mouse of another maker comes / goes
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

// A bare "session change" is a lock (WTS_SESSION_LOCK), a change the
// service does nothing about.
constexpr uint32_t kBareSessionEvent = 0x7;

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
  kSwitch,
  kLogOff,  // name empty: everybody
  kControllerAttach,
  kControllerDetach,
  kControllerFault,
  kMutexHold,
  kMutexRelease,
  kMouseAttach,
  kMouseDetach,
  kWait,
};

struct Command {
  CommandKind kind;
  std::string text;                   // the line as written, without comment and outer blanks
  int line = 0;                       // 1-based line number in the script
  uint32_t touchValue = 0;            // touch N
  std::string name;                   // logon, switch, logoff and touch: NAME; controller fault KIND
  uint32_t sessionEvent = kBareSessionEvent;  // session change: WTS_* of TYPE
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
// and must not be played. A logon of a user whom the script has logged on
// (or who is logged on at boot, as the default machine's user is) and not
// off since is such a line.
bool ParseScript(const std::string& script, std::vector<Command>& commands, ScriptErrors& errors);

// The TYPE of "session change TYPE" for a WTS_* event type ("lock",
// "console-connect", ...); "type N" for one without a name.
std::string SessionEventName(uint32_t sessionEvent);

// The built-in demo: the service starts and pushes the user's setting, follows
// a change of it, sees the display go off and on, loses its controller and
// gets it back, and stops.
const std::string& DemoScript();

}  // namespace vornsim
