// How a run ended, written for the agent to read.
#pragma once

#include <string>
#include <vector>

namespace kest {

enum class outcome {
    installed,            // the new release runs and is kept
    watching,             // the new release started; the run watches it before keeping it
    refused,              // nothing was stopped or changed
    rolled_back,          // the old release is back (and started, after a failed update)
    rollback_incomplete,  // entries could not be put back: the record stays, updates are refused
    recovered,            // a recovery put the old release back
};

// "installed", "watching", "refused", "rolled-back", "rollback-incomplete", "recovered".
const char* outcome_text(outcome what);

struct run_result {
    outcome what = outcome::refused;
    std::string message;  // the err line that decided it, "" when installed or recovered
    std::string cause;    // the last "Cannot write ..." or "Cannot read ..." line, "" when none
    bool agent_running = true;
    std::string started;  // UTC, RFC 3339, as utc_now gives it
    std::string ended;
    std::string version;                    // the version text of the start-up line
    std::string id;                         // the run's own, 128 random bits in hex
    std::vector<std::string> not_restored;  // the paths an incomplete rollback left
};

// The current time as RFC 3339 UTC text to the second, "2026-12-10T03:49:10Z".
std::string utc_now();

// 32 hexadecimal digits of 128 random bits (getrandom), "" when no random bytes can be had.
std::string random_run_id();

// Writes `result` to `path` as one JSON object on one line, keys in the order of the struct
// ("outcome" for `what`, "not_restored" an array of texts): texts escaped as JSON wants, control
// characters as \u00XX, and each byte that is not part of valid UTF-8 as \u00XX too, so that the
// file is valid JSON whatever the texts hold. The object goes into a new hidden file in the same
// folder, mode 0644, flushed and renamed over `path`, then the folder is flushed, so that a reader
// sees the old result or the whole new one. On failure removes the new file, logs err "Failed to
// write the result %s: %s" (`path`, the system's error text) and changes nothing else. Returns
// true on success.
bool write_run_result(const std::string& path, const run_result& result);

}  // namespace kest
