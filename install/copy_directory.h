// Mirrors a staged directory tree onto a destination tree (the walk of shared/walk_tree.h).
#pragma once

#include <string>

#include "install/install_state.h"

namespace kest {

// Copies every regular file below `source` to the same relative path below `destination`
// (child paths are "%s/%s" of parent and name, so an empty destination mirrors onto /),
// creating missing destination directories with mode 0770. Symbolic links are followed;
// directory loops are skipped; other file types, entries that vanished, dangling links and link
// loops are skipped. Nothing is deleted. The folder `skipped_folder` is skipped ("" skips none):
// the staged unit files on a host without systemd.
// A failing entry is attempted 10 times in all, 0.5 s apart, before the walk gives up; a busy
// file is replaced instead (install_file).
// Logs its progress at info and a given-up entry at err.
// Returns 0 on success (also for a source directory that is missing or unreadable), or the code
// of the entry that failed: -1, -2, -3 from the file copy, and -1 too for a staged entry whose
// status cannot be read (no permission, an I/O error, a path longer than the system allows), a
// directory that cannot be opened for want of descriptors or memory and a directory whose
// listing cannot be read to its end; -100 (a directory cannot be created), -101 (a
// destination's status cannot be read), -102 (a destination is not a directory).
int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& skipped_folder);

// As above, with the state of the run's copy: each change is told to `state.notice` before it is
// made (see install_file; a directory about to be made is told as create_directory, and a notice
// that fails stops it with -100), and `state.cause` says why the failed entry failed.
int copy_directory(const std::string& source, const std::string& destination,
                   const std::string& skipped_folder, install_state& state);

}  // namespace kest
