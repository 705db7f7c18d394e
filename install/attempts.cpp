#include "install/attempts.h"

#include <cstring>

#include "base/log.h"
#include "base/platform.h"

namespace kest {

copy_result repeat_attempts(const std::function<copy_result()>& step) {
    copy_result result = step();
    for (int attempt = 1; result.code != copy_ok && attempt < attempts_per_entry; ++attempt) {
        platform::seams.pause_for(pause_between_attempts);
        result = step();
    }
    return result;
}

int report_failure(const std::string& source, const std::string& destination,
                   const copy_result& result, std::string* cause) {
    if (result.code == copy_ok) {
        return copy_ok;
    }
    if (result.error != 0) {
        const std::string why =
            (result.staged_side ? "Cannot read " + source : "Cannot write " + destination) + ": " +
            std::strerror(result.error);
        log_err("%s", why.c_str());
        if (cause != nullptr) {
            *cause = why;
        }
    }
    log_err("Failed to copy %s: error %d", source.c_str(), result.code);
    return result.code;
}

int with_retries(const std::string& source, const std::string& destination,
                 const std::function<copy_result()>& step, std::string* cause) {
    return report_failure(source, destination, repeat_attempts(step), cause);
}

}  // namespace kest
