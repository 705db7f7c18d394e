// New files made beside the file they will replace, under a hidden name that says which program
// and which process made them, so that what a run cut short leaves can be found and removed.
#pragma once

#include <sys/types.h>

#include <string>

namespace kest {

// How many names a process tries for its new files beside one file.
inline constexpr unsigned hidden_names_to_try = 100;

// The hidden name of the new file number `number` that process `pid` makes beside `name` for
// `tag`: "." + name + "." + tag + "." + pid + "." + number, `name` cut so that the whole fits
// within NAME_MAX.
std::string hidden_sibling_name(const std::string& name, const std::string& tag, long pid,
                                unsigned number);

// Creates a new file beside `name` in the open folder `folder`, with `mode`, under the first of
// this process's hidden names for `tag` that is free (O_EXCL: a file or link already there is
// never opened), and puts its name in `created`. Returns the descriptor (write-only,
// close-on-exec), or -1 with errno (EEXIST when every name is taken).
int create_hidden_sibling(int folder, const std::string& name, const std::string& tag, mode_t mode,
                          std::string& created);

}  // namespace kest
