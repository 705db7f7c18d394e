// What one step of the installation came to, and why when it failed.
#pragma once

#include <cerrno>

namespace kest {

struct copy_result {
    int code = 0;              // 0, or one of the installer's result codes (constants.h)
    int error = 0;             // the system's error of the call that failed
    bool staged_side = false;  // it failed reading the staged tree, not writing the destination
};

// A failure with `code`, caused by the error in errno now.
inline copy_result reading_failed(int code) {
    return {code, errno, true};
}
inline copy_result writing_failed(int code) {
    return {code, errno, false};
}

}  // namespace kest
