#include "install/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/file_identity.h"
#include "base/unique_fd.h"
#include "base/written_file_systems.h"
#include "install/file_stream.h"
#include "install/kernel_copy.h"

namespace kest {
namespace {

// O_NONBLOCK: a FIFO at the destination must fail rather than wait for a reader forever.
constexpr int write_flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;

// Whether the last destination was missing. An update mostly writes a whole new tree or over
// the tree it wrote before, so this tells what the next one will be: a destination expected to be
// missing is created outright, one lookup of its path fewer than looking first, which counts with
// many small files (bench/README.md).
bool expect_missing = false;

// Opens `destination` into `out`, truncated, for the bytes of `in`. Returns 0, with `out` left
// closed when `destination` is the staged file itself (it holds these bytes already); -2 when it
// cannot be opened for writing.
copy_result open_destination(const std::string& destination, const staged_file& in, mode_t mode,
                             unique_fd& out) {
    if (expect_missing) {
        // O_EXCL opens only a file it creates, which is neither the staged file nor this program.
        out.reset(open(destination.c_str(), write_flags | O_EXCL, mode));
        if (out.valid() || errno != EEXIST) {
            return out.valid() ? copy_result{} : writing_failed(copy_destination_unopenable);
        }
    }
    struct stat existing {};
    expect_missing = stat(destination.c_str(), &existing) != 0;
    if (!expect_missing) {
        // Reached through a staged link, say: truncating it would destroy the bytes about to be
        // read.
        if (same_file(identity_of(existing), identity_of(in.status))) {
            return {};
        }
        // Truncating the running updater would rewrite its pages under it where the file system
        // lets it (overlayfs does): busy, as a running executable is elsewhere.
        if (is_own_executable(identity_of(existing))) {
            return {copy_destination_unopenable, ETXTBSY, false};
        }
    }
    out.reset(open(destination.c_str(), write_flags | O_TRUNC, mode));
    return out.valid() ? copy_result{} : writing_failed(copy_destination_unopenable);
}

}  // namespace

void forget_copy_guesses() {
    expect_missing = false;
    forget_kernel_copy_verdicts();
}

copy_result copy_file(const std::string& source, const std::string& destination,
                      mode_t create_mode) {
    staged_file in;
    const copy_result opened = open_staged_file(source, in);
    if (opened.code != copy_ok) {
        return opened;
    }
    unique_fd out;
    const copy_result writable = open_destination(destination, in, create_mode & 0777, out);
    if (writable.code != copy_ok || !out.valid()) {
        return writable;
    }
    struct stat written {};
    if (fstat(out.get(), &written) != 0) {
        return writing_failed(copy_destination_unopenable);
    }
    note_written(written.st_dev, destination);
    const copy_result result = transfer(in, out.get(), written);
    if (result.code != copy_ok) {
        return result;
    }
    return close(out.release()) == 0 ? copy_result{} : writing_failed(copy_transfer_failed);
}

}  // namespace kest
