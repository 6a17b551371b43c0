// vornsim --soak HOURS [--seed N]: a random but reproducible story played
// against the service for HOURS of simulated time, checked against the
// service's invariants after every quiet period.
//
// The story is a run of episodes: a burst of 3 to 8 machine events a few
// seconds apart (display off/on, suspend/resume, session changes of every
// type, logons of users not logged on, user switches, logoffs of the console
// user, of others and of everyone, the "Touch" value of the console user or of
// another user set to 0, 1, 2, odd numbers, data of other types and lengths,
// deleted, the key deleted, the controller detached and attached, re-plugged
// once or a few times in quick succession, a mouse coming and going, its
// faults switched on and off, another process holding the controller's mutex,
// the service stopped and started; most bursts end with the mutex let go, the
// service running, the controller back and the screen on), then a quiet
// period longer than the service's longest reaction, then the checks. From
// the third hour on, every six hours, the machine is left alone for an idle
// hour. All of it is drawn from a seeded generator (random.h), so a seed is a
// story.
//
// Invariants, the first that fails ends the soak (exit status 1) with the
// seed, the step (the story's event count) and the end of the timeline:
//  1. After each quiet period, whenever the service runs and a controller is
//     attached without a fault, the controller holds the low byte of the
//     setting of the user at the console, and got it since it was last
//     attached, unless the story did something after which the service must
//     not or cannot push (soak_model.h says what); the summary counts the
//     checks in step and why the others were not held to it.
//  2. Every "Enable Wake-on-touch" / "Disable Wake-on-touch" event entry
//     follows a wake-on-touch command of the same push, and says "Enable"
//     exactly when the byte sent was 1.
//  3. The service answers every control within the SCM's wait, is RUNNING or
//     STOPPED as the story left it, and after a stop its process ends on its
//     own (exit code 0) before its wait for its watcher runs could run out:
//     not through the ExitProcess that follows a wait that ran out (with
//     --debug-log, the log must not say it left its service object behind
//     either).
//  4. At rest (nothing left to retry), the simulated process's handles,
//     LocalAlloc blocks and threads (its entry's, ServiceMain's, the thread
//     pool's work items) do not grow from one quiet period to the next of the
//     same kind (service stopped, running with or without a watcher); the
//     sessions' processes are the machine's, not the service's.
//  5. An idle hour costs the service's threads no wake-up (winsim's virtual
//     clock counts every simulated thread's wake-ups).
#pragma once

#include "run_record.h"

#include <winsim/sim/machine.h>

#include <cstdint>
#include <string>

namespace vornsim {

struct SoakOptions {
  double hours = 0;
  uint64_t seed = 1;
  bool verbose = false;   // print the whole timeline, not only its end on a failure
  bool debugLog = false;  // keep the service's debug log on (every line flushed to disk: slow)
};

// Plays the soak on a machine of `config` (its folder must be usable) and
// returns the exit status: 0 when every check held, 1 at the first failure.
// `record`, when given, receives every timeline line, band change and check.
int RunSoak(const SoakOptions& options, const winsim::MachineConfig& config, RunRecord* record);

}  // namespace vornsim
