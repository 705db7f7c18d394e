#include "base/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/log_text.h"

namespace kest {
namespace {

// The system logger keeps a pointer to the ident rather than a copy, so it must outlive the
// channel: a static array does.
constexpr char log_ident[] = "kest-update";

log_sink current_sink;
std::string last_err;

// Formats the line, then escapes it: a name may hold a newline that would start a line of its
// own, posing as another program's, or bytes a log reader cannot show.
void log_v(int priority, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return;
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    if (std::vsnprintf(text.data(), text.size(), format, args) != length) {
        return;
    }
    const std::string line = escaped_for_log(std::string(text.data(), static_cast<size_t>(length)));
    if (priority == LOG_ERR) {
        last_err = line;
    }
    if (current_sink) {
        current_sink(priority, line);
    } else {
        syslog(priority, "%s", line.c_str());
    }
}

}  // namespace

void log_open() {
    openlog(log_ident, 0, LOG_DAEMON);
}

void log_close() {
    closelog();
}

// printf-style on purpose: the format attribute lets the compiler check every message.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void log_info(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_INFO, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void log_warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_WARNING, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp)
void log_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    log_v(LOG_ERR, format, args);
    va_end(args);
}

const std::string& last_err_line() {
    return last_err;
}

log_sink set_log_sink(log_sink sink) {
    last_err.clear();
    return std::exchange(current_sink, std::move(sink));
}

}  // namespace kest
