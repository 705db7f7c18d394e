// The host's processes as /proc shows them: enough to tell the agent's processes, and those that
// run a given file, from the others.
#pragma once

#include <string>
#include <vector>

#include "base/platform.h"

namespace kest {

struct process_facts {
    long pid = 0;
    // The file it runs.
    platform::file_identity executable{0, 0};
    // The first two words of its command line; empty where it has fewer.
    std::string first_word;
    std::string second_word;
};

// Every process in /proc that runs a file, in no given order: kernel threads, zombies and
// processes that end while they are read are left out. Empty when /proc cannot be read.
std::vector<process_facts> list_processes();

// The file that process `pid` runs now; {0, 0} when it has ended or /proc cannot tell.
platform::file_identity executable_of(long pid);

// The facts of process `pid` now; false when it runs no file: it has ended (or never was), or is
// a kernel thread or a zombie.
bool read_process(long pid, process_facts& facts);

// The parent of process `pid`; 0 when it has ended or its parent is outside this pid namespace.
long parent_pid_of(long pid);

// Whether process `pid` has ended: no process has that pid, or it is a zombie that runs nothing
// and only waits for its parent to collect it.
bool process_ended(long pid);

}  // namespace kest
