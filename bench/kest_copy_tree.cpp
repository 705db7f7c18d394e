// kest-copy-tree SRC DST: runs the installer's walk and copy (kest::copy_directory, the same
// functions and log lines the updater uses) from SRC onto DST, for benchmarks and tests. Not
// installed.
// kest-copy-tree --check SRC DST: runs only the updater's trust check of the tree below SRC and
// of the way to its destinations below DST (the same walk, logging nothing); exits with 0 when
// only root and the effective user can change them, else with 1 and "refused: PATH" or
// "unreadable: PATH" on standard error.
//
// Like the detached updater it clears the creation mask first, so created directories get 0770
// and created files the staged permission bits. It logs to the system log (ident "kest-update",
// facility daemon) as the updater does, and the time the copy took ("copy-ms: N") to standard
// error; with --log-stderr the lines go to standard error
// instead, one per line as "info: TEXT" or "err: TEXT". With --peak-memory it writes its peak
// resident memory (VmHWM of /proc/self/status, "peak-memory-kib: N") to standard error at the
// end; the rusage of a waiting parent is no use for this, as it may count the parent's own
// memory when the child was started with vfork. With --flush it then flushes the file systems
// it wrote to, as the updater does after the restart, and writes the time that took
// ("flush-ms: N") to standard error.
//
// With --record DIR it first plans, in an undo record in DIR, what the copy will change (as the
// updater does before the stop) and writes the time that took ("plan-ms: N"), then copies with
// each change noted in the record; with --undo as well it then undoes the copy from the record
// ("undo-ms: N"), as in the boot that made it (an unchanged status is enough); with
// --undo-after-reboot as after a reboot (each file whose status matches is read whole and
// compared). The record is removed at the end.
//
// Exit status: the walk's result negated, so 0 is success, 1, 2 and 3 are the file copy's -1,
// -2 and -3, and 100, 101 and 102 are the walk's -100, -101 and -102; a result outside -254..0
// (there is none today) gives 255. A wrong command line gives 64 and a usage line on standard
// error.
#include <sys/stat.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "base/log.h"
#include "base/written_file_systems.h"
#include "guard/check_tree.h"
#include "install/copy_directory.h"
#include "rollback/plan_before_stop.h"
#include "rollback/undo_record.h"

namespace {

constexpr int exit_usage = 64;
constexpr int exit_unknown_result = 255;

void log_to_stderr(int priority, const std::string& message) {
    (void)std::fprintf(stderr, "%s: %s\n", priority == LOG_ERR ? "err" : "info", message.c_str());
}

void print_peak_memory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        // "VmHWM:	    3144 kB"
        if (line.rfind("VmHWM:", 0) == 0) {
            const std::size_t first = line.find_first_of("0123456789");
            const std::size_t last = line.find_first_not_of("0123456789", first);
            if (first != std::string::npos) {
                (void)std::fprintf(stderr, "peak-memory-kib: %s\n",
                                   line.substr(first, last - first).c_str());
            }
            return;
        }
    }
}

int check_only(const char* source, const char* destination) {
    const kest::update_paths paths{source, destination, "", source, "", "", "", ""};
    kest::update_counts counts;
    const kest::refusal why = kest::check_update_tree(paths, true, counts);
    if (!kest::refused(why)) {
        return 0;
    }
    const bool unreadable = why.reason == kest::refusal_reason::cannot_read;
    (void)std::fprintf(stderr, "%s: %s\n", unreadable ? "unreadable" : "refused", why.path.c_str());
    return 1;
}

double milliseconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The copy of `source` onto `destination` with an undo record in `folder`, timed in parts.
enum class undo_kind { none, same_boot, after_reboot };

int copy_with_record(const char* source, const char* destination, const char* folder,
                     undo_kind undo) {
    const kest::update_paths paths{source, destination, "", source, "", "", folder, ""};
    kest::undo_record record;
    std::string failed;
    auto start = std::chrono::steady_clock::now();
    const int kept = kest::plan_before_stop(paths, false, record, failed);
    (void)std::fprintf(stderr, "plan-ms: %.1f\n", milliseconds_since(start));
    if (kept != 0) {
        (void)std::fprintf(stderr, "cannot keep %s: %s\n", failed.c_str(), std::strerror(kept));
        return -1;
    }
    kest::install_state state;
    state.notice = [&record](kest::change_kind kind, const std::string& target, bool reload) {
        return kest::note_change(record, kind, target, reload);
    };
    start = std::chrono::steady_clock::now();
    const int result = kest::copy_directory(source, destination, "", state);
    (void)std::fprintf(stderr, "copy-ms: %.1f\n", milliseconds_since(start));
    if (undo != undo_kind::none) {
        record.same_boot = undo == undo_kind::same_boot;
        start = std::chrono::steady_clock::now();
        const int not_restored = kest::undo_changes(record, nullptr);
        (void)std::fprintf(stderr, "undo-ms: %.1f (%d not restored)\n", milliseconds_since(start),
                           not_restored);
    }
    (void)kest::remove_undo_record(record);
    return result;
}

int exit_status_for(int result) {
    if (result <= 0 && result >= -254) {
        return -result;
    }
    return exit_unknown_result;
}

}  // namespace

int main(int argc, char* argv[]) {
    bool to_stderr = false;
    bool peak_memory = false;
    bool flush = false;
    undo_kind undo = undo_kind::none;
    const char* record = nullptr;
    int first = 1;
    if (argc == 4 && std::strcmp(argv[1], "--check") == 0) {
        return check_only(argv[2], argv[3]);
    }
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--log-stderr") == 0) {
            to_stderr = true;
        } else if (std::strcmp(argv[first], "--peak-memory") == 0) {
            peak_memory = true;
        } else if (std::strcmp(argv[first], "--flush") == 0) {
            flush = true;
        } else if (std::strcmp(argv[first], "--undo") == 0) {
            undo = undo_kind::same_boot;
        } else if (std::strcmp(argv[first], "--undo-after-reboot") == 0) {
            undo = undo_kind::after_reboot;
        } else if (std::strcmp(argv[first], "--record") == 0 && first + 1 < argc) {
            record = argv[++first];
        } else {
            break;
        }
    }
    if (argc - first != 2) {
        (void)std::fprintf(stderr,
                           "usage: %s [--log-stderr] [--peak-memory] [--flush]"
                           " [--record DIR [--undo|--undo-after-reboot]] SRC DST"
                           " | --check SRC DST\n",
                           argv[0]);
        return exit_usage;
    }
    if (to_stderr) {
        kest::set_log_sink(log_to_stderr);
    } else {
        kest::log_open();
    }
    umask(0);
    int result = 0;
    if (record != nullptr) {
        result = copy_with_record(argv[first], argv[first + 1], record, undo);
    } else {
        const auto start = std::chrono::steady_clock::now();
        result = kest::copy_directory(argv[first], argv[first + 1], "");
        (void)std::fprintf(stderr, "copy-ms: %.1f\n", milliseconds_since(start));
    }
    if (flush) {
        const auto start = std::chrono::steady_clock::now();
        kest::flush_written();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        (void)std::fprintf(stderr, "flush-ms: %.1f\n", took.count());
    }
    if (!to_stderr) {
        kest::log_close();
    }
    if (peak_memory) {
        print_peak_memory();
    }
    return exit_status_for(result);
}
