// The updater's only output channel: the system log, ident "kest-update", facility daemon.
#pragma once

#include <functional>
#include <string>

namespace kest {

// Opens the system log with the updater's ident, no option flags and the daemon facility.
void log_open();
// Closes the system log.
void log_close();

// Log one printf-style line at info, warning or err priority. The line is escaped as a whole
// (escaped_for_log): whatever a path or command in it holds, it stays one line of valid UTF-8.
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The last line logged at err, as logged; "" before the first.
const std::string& last_err_line();

// Replaces the system log with `sink` (for tests, and for a run that only checks); nullptr
// restores the system log. A new log begins: last_err_line is "" again. Returns the sink it
// replaced, nullptr for the system log.
using log_sink = std::function<void(int priority, const std::string& message)>;
log_sink set_log_sink(log_sink sink);

}  // namespace kest
