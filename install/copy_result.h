// What one step of the installation came to, and why when it failed.
#pragma once

#include <cerrno>

namespace kest {

// Results of the installer: 0, then the file copy's and the walk's failures.
inline constexpr int copy_ok = 0;
inline constexpr int copy_source_unopenable = -1;
inline constexpr int copy_destination_unopenable = -2;
inline constexpr int copy_transfer_failed = -3;
inline constexpr int copy_mkdir_failed = -100;
inline constexpr int copy_stat_failed = -101;
inline constexpr int copy_not_a_directory = -102;

struct copy_result {
    int code = 0;              // 0, or one of the installer's result codes above
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
