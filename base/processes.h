// The host's processes as /proc shows them: enough to tell the agent's processes, and those that
// run a given file, from the others.
#pragma once

#include <string>
#include <vector>

#include "base/platform.h"

namespace kest {

struct process_facts {
    long pid = 0;
    // The file it runs; {0, 0} when /proc cannot tell (a kernel thread, a zombie).
    platform::file_identity executable{0, 0};
    // The first two words of its command line; empty where it has fewer.
    std::string first_word;
    std::string second_word;
};

// Every process in /proc, in no given order. A process that ends while it is read is left out;
// empty when /proc cannot be read.
std::vector<process_facts> list_processes();

// The file that process `pid` runs now; {0, 0} when it has ended or /proc cannot tell.
platform::file_identity executable_of(long pid);

// The facts of process `pid` now; false when it has ended (or never was).
bool read_process(long pid, process_facts& facts);

// The parent of process `pid`; 0 when it has ended or its parent is outside this pid namespace.
long parent_of(long pid);

// Whether process `pid` has ended: no process has that pid, or it is a zombie that runs nothing
// and only waits for its parent to collect it.
bool process_ended(long pid);

}  // namespace kest
