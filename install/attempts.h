// The installer's repeated attempts at one entry, shared by the walk and the file installation.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kest {

inline constexpr int attempts_per_entry = 10;
inline constexpr std::chrono::milliseconds pause_between_attempts{500};

// Runs `step` until it returns 0 or has run `attempts_per_entry` times, pausing
// `pause_between_attempts` (through the platform's pause) before each repeat. Returns the last
// result. Logs nothing.
int repeat_attempts(const std::function<int()>& step);

// Logs "Failed to copy %s: error %d" at err with `source` when `result` is not 0; returns it.
int report_failure(const std::string& source, int result);

// repeat_attempts, then report_failure: a used-up entry is logged once.
int with_retries(const std::string& source, const std::function<int()>& step);

}  // namespace kest
