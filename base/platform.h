// The few platform services that the update sequence's decisions depend on, reached through
// replaceable closures: production uses the real ones, unit tests install recorders. Only these
// go through them: the pauses, the wait for processes to end, the systemd question, the shell,
// the pidfd and its signals, the executable this process runs from, the statx of the checks, the
// stat of the staged tree's walk, the flushes, the kernel's copy, the boot's id, and the mkdir and
// open of the drop-in, the lock and the flags ioctl. Everything else (the copy's own opens, reads
// and writes, the walk's listing, renames) calls the system directly: tests change what it meets
// on disk instead.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

struct pollfd;
struct stat;
struct statx;

namespace kest::platform {

// Where a file lives: its device and inode.
struct file_identity {
    dev_t device;
    ino_t inode;
};

// The real services.
namespace real {
void pause_for(std::chrono::milliseconds duration);
int wait_until_readable(pollfd* fds, std::size_t count, std::chrono::milliseconds timeout);
bool systemd_present();
int shell(const char* command);
int status_of(const char* path, struct stat* status);
int make_directory(const char* path, mode_t mode);
int open_file(const char* path, int flags, mode_t mode);
int open_pidfd(long pid);
int send_signal(int pidfd, long pid, int signal);
// Read once, from /proc/self/exe.
file_identity own_executable();
int stat_extended(const char* path, int flags, struct statx* status);
int flush_file_system(int fd);
int flush_file(int fd);
std::string boot_id();
ssize_t copy_range(int in, int out, std::size_t length);
// The detachment from the caller, defined by the entry (updater/detach_from_caller.cpp).
void detach(const char* directory);
}  // namespace real

// The services in use, each the real one unless a test replaced it.
struct services {
    // Sleeps for the given time, resuming after interruptions.
    std::function<void(std::chrono::milliseconds duration)> pause_for = real::pause_for;
    // Waits until each of the `count` descriptors at `fds` is readable (a pidfd is once its process
    // has ended) or `timeout` has passed, resuming after interruptions; sets each one's revents (0
    // for one not readable) and returns how many are not readable, or -1 with errno.
    std::function<int(pollfd* fds, std::size_t count, std::chrono::milliseconds timeout)>
        wait_until_readable = real::wait_until_readable;
    // Whether systemd runs this host: /run/systemd/system is a directory (systemd makes it at boot;
    // a host that merely has systemd installed, or was booted with another init, lacks it).
    std::function<bool()> systemd_present = real::systemd_present;
    // Runs a command line through the system shell and returns its raw wait status.
    std::function<int(const char* command)> shell = real::shell;
    // stat(2) of `path`, symbolic links followed: how the walk of a staged tree reads each entry;
    // 0 or -1 with errno.
    std::function<int(const char* path, struct stat* status)> status_of = real::status_of;
    // Creates one directory level as mkdir(2): `mode` less the creation mask (zero once detached)
    // or the parent's default ACL, set-group-ID added where the parent has it; 0 or -1 with errno.
    std::function<int(const char* path, mode_t mode)> make_directory = real::make_directory;
    // Opens `path` as open(2) does (`mode` applies when the file is created), resuming after
    // interruptions; a descriptor, or -1 with errno.
    std::function<int(const char* path, int flags, mode_t mode)> open_file = real::open_file;
    // Opens a pidfd for process `pid` (close-on-exec); a descriptor, or -1 with errno.
    std::function<int(long pid)> open_pidfd = real::open_pidfd;
    // Sends `signal` through `pidfd` when it is valid (>= 0), else to `pid`; 0 or -1 with errno.
    std::function<int(int pidfd, long pid, int signal)> send_signal = real::send_signal;
    // The executable file this process runs from; {0, 0}, which names no file, when unknown.
    std::function<file_identity()> own_executable = real::own_executable;
    // statx(2) of `path` (type, mode, ids, size, blocks, attributes, mount id), symbolic links
    // followed unless `flags` has AT_SYMLINK_NOFOLLOW, made without the C library's wrapper, which
    // older libraries lack; 0 or -1 with errno (ENOSYS on kernels before 4.11).
    std::function<int(const char* path, int flags, struct statx* status)> stat_extended =
        real::stat_extended;
    // Writes the file system that `fd` is on to disk (syncfs(2)); 0 or -1 with errno.
    std::function<int(int fd)> flush_file_system = real::flush_file_system;
    // Writes the data of the file open as `fd` to disk (fdatasync(2)); 0 or -1 with errno.
    std::function<int(int fd)> flush_file = real::flush_file;
    // The id of the running boot (/proc/sys/kernel/random/boot_id), "" when it cannot be read.
    std::function<std::string()> boot_id = real::boot_id;
    // Copies up to `length` bytes from `in` to `out` inside the kernel, each at its own file
    // offset, which it advances (copy_file_range(2) without offsets); the number of bytes copied, 0
    // at the end of `in`, or -1 with errno: ENOSYS where the kernel lacks the call.
    std::function<ssize_t(int in, int out, std::size_t length)> copy_range = real::copy_range;
    // Detaches from the caller (detach_from_caller).
    std::function<void(const char* directory)> detach = real::detach;
};
extern services seams;

// Puts every real service back into `seams`.
void reset_services();

}  // namespace kest::platform
