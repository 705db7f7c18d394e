// The installer's repeated attempts at one entry, shared by the walk and the file installation.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "install/copy_result.h"

namespace kest {

inline constexpr int attempts_per_entry = 10;
inline constexpr std::chrono::milliseconds pause_between_attempts{500};

// Runs `step` until its code is 0 or it has run `attempts_per_entry` times, pausing
// `pause_between_attempts` (through the platform's pause) before each repeat. Returns the last
// result. Logs nothing.
copy_result repeat_attempts(const std::function<copy_result()>& step);

// When `result` is a failure, logs at err why, "Cannot read %s: %s" with `source` or "Cannot
// write %s: %s" with `destination` and the system's error text (when it has one), then "Failed
// to copy %s: error %d" with `source` and the code; the first line also goes to `cause` when
// given. Returns the code.
int report_failure(const std::string& source, const std::string& destination,
                   const copy_result& result, std::string* cause = nullptr);

// repeat_attempts, then report_failure: a used-up entry is logged once.
int with_retries(const std::string& source, const std::string& destination,
                 const std::function<copy_result()>& step, std::string* cause = nullptr);

}  // namespace kest
