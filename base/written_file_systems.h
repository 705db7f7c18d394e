// The file systems a run has written to, flushed to disk once at its end.
#pragma once

#include <sys/types.h>

#include <string>

namespace kest {

// Remembers that the run wrote `path`, on the file system `device`, so that flush_written
// flushes that file system. Keeps one descriptor (close-on-exec, read-only) per file system,
// opened on a path noted there: when one cannot be opened, the next path noted is tried; when
// none could be, that file system cannot be flushed, and flush_written says so.
void note_written(dev_t device, const std::string& path);

// As note_written, for the file open as `fd`.
void note_written_file(int fd, const std::string& path);

// Flushes each file system noted since the last call (syncfs, once each) and forgets them.
// A file system that fails to flush, or could not be opened to be flushed, is logged at err,
// "Failed to flush %s: %s" with its mount point and the system's error text; nothing else is
// reported.
void flush_written();

}  // namespace kest
