// How a run ended, written for the agent to read after its restart.
#pragma once

#include <string>

namespace kest {

struct run_result {
    std::string
        outcome;  // "installed", "refused", "rolled-back", "rollback-incomplete", "recovered"
    std::string message;  // the err line that decided it, "" when installed or recovered
    std::string cause;    // the last "Cannot write ..." or "Cannot read ..." line, "" when none
    bool agent_running = true;
    std::string started;  // UTC, RFC 3339, as utc_now gives it
    std::string ended;
    std::string version;  // the version text of the start-up line
};

// The current time as RFC 3339 UTC text to the second, "2026-12-10T03:49:10Z".
std::string utc_now();

// Writes `result` to `path` as one JSON object on one line, keys in the order of the struct:
// texts escaped as JSON wants, control characters as \u00XX, and each byte that is not part of
// valid UTF-8 as \u00XX too, so that the file is valid JSON whatever the texts hold. The object
// goes into a new hidden file in the same folder, mode 0644, flushed and renamed over `path`,
// then the folder is flushed, so that a reader sees the old result or the whole new one.
// On failure removes the new file, logs err "Failed to write the result %s: %s" (`path`, the
// system's error text) and changes nothing else. Returns true on success.
bool write_run_result(const std::string& path, const run_result& result);

}  // namespace kest
