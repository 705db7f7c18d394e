#include "install/file_stream.h"

#include <sys/stat.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

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

}  // namespace

int open_staged_file(const std::string& source, std::ifstream& in) {
    // Opening a FIFO for reading waits for a writer: one put in a staged file's place (between
    // two attempts, say) would hold the update forever.
    struct stat status {};
    if (stat(source.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return copy_source_unopenable;
    }
    in.rdbuf()->pubsetbuf(input_buffer, input_buffer_size);
    in.open(source, std::ios::in);
    return in.is_open() ? copy_ok : copy_source_unopenable;
}

bool same_file(const std::string& first, const std::string& second) {
    struct stat one {};
    struct stat other {};
    return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &other) == 0 &&
           one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

int stream_into(std::ifstream& in, int fd) {
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
    return complete && closed ? copy_ok : copy_transfer_failed;
}

}  // namespace kest
