#include "install/attempts.h"

#include "updater/constants.h"
#include "updater/log.h"
#include "updater/platform.h"

namespace kest {

int repeat_attempts(const std::function<int()>& step) {
    int result = step();
    for (int attempt = 1; result != copy_ok && attempt < attempts_per_entry; ++attempt) {
        platform::pause_for(pause_between_attempts);
        result = step();
    }
    return result;
}

int report_failure(const std::string& source, int result) {
    if (result != copy_ok) {
        log_err("Failed to copy %s: error %d", source.c_str(), result);
    }
    return result;
}

int with_retries(const std::string& source, const std::function<int()>& step) {
    return report_failure(source, repeat_attempts(step));
}

}  // namespace kest
