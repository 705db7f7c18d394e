#include "install/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <fstream>
#include <ostream>

#include "updater/constants.h"

namespace kest {
namespace {

// One input buffer of 1 MiB for the whole run, in static storage: nothing is allocated per file,
// memory does not grow with the file's size, and only the pages that a read reaches are ever
// touched. Measured against `cp -r` (bench/README.md): a fresh 1 MiB buffer per file costs more
// in page faults than small files take to copy; 64 to 256 KiB make a 1 GiB file 10 to 50%
// slower (more system calls); and sizes that make the reads exact powers of two (the filebuf
// reads one byte less than its buffer) were no faster and in many runs 2 to 3 times slower, as
// the page cache then takes large folios for the destination.
constexpr std::size_t input_buffer_size = std::size_t{1} << 20;
char input_buffer[input_buffer_size];

using traits = std::char_traits<char>;

// True when the whole source has been consumed. The stream buffer reports read errors by
// throwing, and the insertion swallows them, so ask the buffer itself.
bool source_exhausted(std::streambuf& source) {
    try {
        return traits::eq_int_type(source.sgetc(), traits::eof());
    } catch (...) {
        return false;
    }
}

// True when `destination` is the very file that `source` names (reached through a staged link,
// say): truncating it for writing would destroy the bytes that are about to be read.
bool same_file(const std::string& source, const std::string& destination) {
    struct stat from {};
    struct stat to {};
    return stat(source.c_str(), &from) == 0 && stat(destination.c_str(), &to) == 0 &&
           from.st_dev == to.st_dev && from.st_ino == to.st_ino;
}

}  // namespace

int copy_file(const std::string& source, const std::string& destination, mode_t create_mode) {
    // Opening a FIFO for reading waits for a writer: one put in a staged file's place (between
    // two attempts, say) would hold the update forever.
    struct stat source_status {};
    if (stat(source.c_str(), &source_status) != 0 || !S_ISREG(source_status.st_mode)) {
        return copy_source_unopenable;
    }
    std::ifstream in;
    in.rdbuf()->pubsetbuf(input_buffer, input_buffer_size);
    in.open(source, std::ios::in);
    if (!in.is_open()) {
        return copy_source_unopenable;
    }
    if (same_file(source, destination)) {
        return copy_ok;  // it already holds these bytes
    }

    // O_NONBLOCK: a FIFO at the destination must fail rather than wait for a reader forever.
    const int fd = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK,
                        create_mode & 0777);
    if (fd < 0) {
        return copy_destination_unopenable;
    }
    __gnu_cxx::stdio_filebuf<char> out_buffer(fd, std::ios::out);
    if (!out_buffer.is_open()) {
        close(fd);
        return copy_destination_unopenable;
    }

    std::ostream out(&out_buffer);
    // An empty source sets failbit here although nothing went wrong; a destination that
    // refuses bytes stops the insertion without any flag. Completeness is judged by whether
    // the source was read to its end and the destination closed cleanly.
    out << in.rdbuf();
    const bool complete = source_exhausted(*in.rdbuf());
    const bool closed = out_buffer.close() != nullptr;
    in.close();
    return complete && closed ? copy_ok : copy_transfer_failed;
}

int copy_file(const std::string& source, const std::string& destination) {
    struct stat status {};
    if (stat(source.c_str(), &status) != 0) {
        return copy_source_unopenable;
    }
    return copy_file(source, destination, status.st_mode);
}

}  // namespace kest
