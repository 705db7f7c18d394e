// The updater's entry: checks the arguments and runs the update sequence.
#pragma once

#include "base/update_paths.h"

namespace kest {

// Results of the entry point; they become exit statuses 254 and 253.
inline constexpr int result_bad_argument_count = -2;
inline constexpr int result_bad_pid = -3;

// Parses a process id the way strtol does in base 10 (leading blanks and a sign accepted, an
// empty text is 0, out-of-range values clamped). False when anything follows the number.
bool parse_pid(const char* text, long& pid);

// Runs the updater for the command line `argv`. With the single argument "--recover": resolves
// a record left by a run that ended before it finished (recover_interrupted_update) under the
// update lock, writes the result when there was one, and returns 0, or 1 when the lock is held
// by another update or entries could not be restored. With the single argument "--check": makes
// the checks of an update and nothing else, and prints what it would do (check_update).
// Otherwise `argv` is the program name, the start command and the agent pid, and an update runs
// on the fixed staging root, mirrored onto /. Returns -2 for a wrong argument count and -3 for
// a pid text that is not a number (nothing logged); 1 when the staging root cannot be entered or
// is open to other users, when another update holds the update lock or it cannot be taken
// safely, when a record of an earlier run could not be restored whole, when other users can
// change a directory above the staging root, anything the installation would read, or a
// directory on the way to what it would write, when the update cannot be installed or its
// record kept; after the detachment (from then on the result is seen by nobody) 1 when the
// update was rolled back, 0 when it is installed. The lock is held until the run ends.
int run_update(int argc, const char* const argv[]);

// As above, on the given paths.
int run_update(int argc, const char* const argv[], const update_paths& paths);

}  // namespace kest
