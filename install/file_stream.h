// How the installer reads a staged file and writes its bytes: one stream transfer shared by the
// in-place copy and the replacement of busy files.
#pragma once

#include <fstream>
#include <string>

namespace kest {

// Opens the regular file `source` for reading through the installer's single input buffer, so
// only one such stream may be open at a time. Memory use does not depend on the file's size.
// Returns 0, or -1 when `source` is not a regular file (a FIFO is refused without waiting for a
// writer) or cannot be opened.
int open_staged_file(const std::string& source, std::ifstream& in);

// True when both paths name the same existing file.
bool same_file(const std::string& first, const std::string& second);

// Writes the rest of `in` into `fd` and closes `fd`, which it takes over in every case.
// Returns 0 when `in` was read to its end, every byte written and `fd` closed cleanly;
// -3 when reading, writing or closing failed part way; -2 when `fd` cannot carry a stream.
int stream_into(std::ifstream& in, int fd);

}  // namespace kest
