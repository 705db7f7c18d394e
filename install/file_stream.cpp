#include "install/file_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "base/platform.h"
#include "base/retry_on_eintr.h"
#include "base/write_all.h"
#include "install/kernel_copy.h"

namespace kest {
namespace {

// One buffer of 1 MiB for the whole run, in static storage: nothing is allocated per file,
// memory does not grow with the file's size, and only the pages that a read reaches are ever
// touched. Measured against `cp -r` (bench/README.md): a fresh 1 MiB buffer per file costs more
// in page faults than small files take to copy; 64 to 256 KiB make a 1 GiB file 10 to 50%
// slower (more system calls); and reads of exact powers of two were no faster and in many runs
// 2 to 3 times slower, as the page cache then takes large folios for the destination: each read
// asks for one byte less than the buffer holds.
constexpr std::size_t buffer_size = std::size_t{1} << 20;
char buffer[buffer_size];

copy_result copy_through_buffer(int source, int destination) {
    for (;;) {
        const ssize_t got = retry_on_eintr([&] { return read(source, buffer, buffer_size - 1); });
        if (got <= 0) {
            return got == 0 ? copy_result{} : reading_failed(copy_transfer_failed);
        }
        if (!write_all(destination, buffer, static_cast<std::size_t>(got))) {
            return writing_failed(copy_transfer_failed);
        }
    }
}

}  // namespace

copy_result open_staged_file(const std::string& source, staged_file& file) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer, and one put in a staged
    // file's place (between two attempts, say) would hold the update forever. Regular files
    // ignore it.
    file.fd.reset(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.fd.valid() || fstat(file.fd.get(), &file.status) != 0) {
        return reading_failed(copy_source_unopenable);
    }
    if (!S_ISREG(file.status.st_mode)) {
        return {copy_source_unopenable, S_ISDIR(file.status.st_mode) ? EISDIR : EINVAL, true};
    }
    return {};
}

copy_result transfer(const staged_file& source, int destination,
                     const struct stat& destination_status) {
    switch (copy_in_kernel(source.fd.get(), source.status, destination, destination_status)) {
        case kernel_copy_result::complete:
            return {};
        case kernel_copy_result::failed:
            // The kernel does not say which side failed; running out of room, the usual cause
            // (ENOSPC, EDQUOT, EFBIG), is the destination's.
            return writing_failed(copy_transfer_failed);
        case kernel_copy_result::not_done:
            break;
    }
    return copy_through_buffer(source.fd.get(), destination);
}

}  // namespace kest
