#include "install/install_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/file_identity.h"
#include "base/log.h"
#include "install/attempts.h"
#include "install/copy_file.h"
#include "install/file_stream.h"
#include "install/replace_file.h"
#include "shared/landing.h"

namespace kest {
namespace {

bool names_own_executable(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && is_own_executable(identity_of(status));
}

// Tells the notice, when there is one, what is about to change where `destination` lands. A
// landing that cannot be found is left to the write, which fails on it.
copy_result tell(install_state& state, const std::string& destination, bool replacing) {
    if (!state.notice) {
        return {};
    }
    const landing lands = find_landing(destination, write_kind::file, state.known);
    if (lands.error != 0) {
        return {};
    }
    const change_kind kind = replacing              ? change_kind::replace
                             : lands.looked_up == 0 ? change_kind::rewrite
                                                    : change_kind::create_file;
    const int refused = state.notice(kind, lands.target, false);
    return refused == 0 ? copy_result{} : copy_result{copy_destination_unopenable, refused, false};
}

copy_result replace(const std::string& source, const std::string& destination) {
    log_info("Replacing busy file %s", destination.c_str());
    return replace_file(source, destination);
}

}  // namespace

int install_file(const std::string& source, const std::string& destination, mode_t create_mode,
                 install_state& state) {
    bool busy = false;
    copy_result result = tell(state, destination, false);
    if (result.code != copy_ok) {
        return report_failure(source, destination, result, &state.cause);
    }
    result = repeat_attempts([&] {
        const copy_result copied = copy_file(source, destination, create_mode);
        busy = copied.code == copy_destination_unopenable && copied.error == ETXTBSY;
        // No attempt can wait for the updater's own executable to end, and once one busy file
        // has used up its attempts the agent has had its time to end: the attempts stop here and
        // the file is replaced at once. Asked only of a busy file, which is rare.
        const bool at_once = state.waited_for_busy || names_own_executable(destination);
        return busy && at_once ? copy_result{} : copied;
    });
    // A dying agent frees its file within the attempts; a program that outlives the agent's stop
    // does not, and keeps running its old file once the path names the new one.
    if (busy) {
        state.waited_for_busy = state.waited_for_busy || result.code != copy_ok;
        result = tell(state, destination, true);
        if (result.code == copy_ok) {
            result = replace(source, destination);
        }
    }
    return report_failure(source, destination, result, &state.cause);
}

}  // namespace kest
