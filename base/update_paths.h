// Where an update run reads, writes and locks; tests point it at a tree of their own.
#pragma once

#include <string>
#include <vector>

namespace kest {

struct update_paths {
    std::string staging_root;  // the staged tree, entered as the working directory
    std::string destination;   // prefix the staged tree is mirrored under ("" for /)
    std::string unit_folder;   // staged unit files, skipped without systemd
    // The highest directory whose owner and mode are checked on the way to the staging root,
    // to the destinations and to links' targets; the directories above it are taken as safe.
    std::string checked_from = "/";
    std::string lock_file;      // locked while a run goes on, so that runs take turns
    std::string unit_file;      // the agent's unit file, beside which the stop writes its drop-in
    std::string record_folder;  // where the run keeps what it changes, to undo it; "": nowhere
    std::string result_file;    // how the run ended, for the agent; "": not written
    // Where the watch after the restart finds the agent's processes: its executable, and the
    // process lists of its unit's control group; empty: the agent's own (/usr/sbin/kestd,
    // kest.service).
    std::string agent_executable = {};
    std::vector<std::string> agent_process_lists = {};
};

}  // namespace kest
