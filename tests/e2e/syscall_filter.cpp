// Runs a command under a seccomp filter that makes chosen system calls fail, to stand in for a
// kernel or a disk that the test machine does not have. The filter passes to every child of the
// command, so keep what the test itself needs (the log listener) outside it.
//
//   syscall-filter PRESET COMMAND [ARG...]
//
// Presets:
//   old-kernel   every system call newer than Linux 3.10 fails with ENOSYS, as it does there
//   new-refused  the same calls fail with EPERM, as a container's filter refuses them
//   pidfd-signals-refused
//                pidfd_send_signal fails with EPERM, while pidfd_open works
//   full-disk    the calls that write file data fail with ENOSPC when their output descriptor
//                (the first argument) is above 2; the standard streams still work
//
// Exits with 2 on bad usage, 1 when the filter cannot be installed, 127 when COMMAND cannot run.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#if !defined(__x86_64__)
#error "the presets use the system call numbers of x86-64"
#endif

namespace {

constexpr std::uint32_t any_descriptor = UINT32_MAX;
// finit_module (313) is the newest call of Linux 3.10 on x86-64.
constexpr std::uint32_t newer_than_3_10 = 314;

// Calls numbered first..last fail with `error`; only those whose first argument is above
// `descriptors_above`, unless that is any_descriptor.
struct rule {
    std::uint32_t first;
    std::uint32_t last;
    int error;
    std::uint32_t descriptors_above = any_descriptor;
};

rule on_output(std::uint32_t number) {
    return {number, number, ENOSPC, 2};
}

const std::map<std::string, std::vector<rule>> presets{
    {"old-kernel", {{newer_than_3_10, UINT32_MAX, ENOSYS}}},
    {"new-refused", {{newer_than_3_10, UINT32_MAX, EPERM}}},
    {"pidfd-signals-refused", {{SYS_pidfd_send_signal, SYS_pidfd_send_signal, EPERM}}},
    {"full-disk",
     {on_output(SYS_write), on_output(SYS_pwrite64), on_output(SYS_writev), on_output(SYS_pwritev),
      on_output(SYS_pwritev2), on_output(SYS_fallocate), on_output(SYS_sendfile),
      on_output(SYS_copy_file_range), on_output(SYS_splice)}},
};

// Calls of other architectures pass; each rule's calls fail with its error.
std::vector<sock_filter> compile(const std::vector<rule>& rules) {
    std::vector<sock_filter> program{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    for (const rule& r : rules) {
        const bool on_descriptor = r.descriptors_above != any_descriptor;
        // What a call outside the range skips: the descriptor test and the return.
        const std::uint8_t body = on_descriptor ? 4 : 1;
        const std::uint8_t past_body = on_descriptor ? 5 : 2;
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, r.first, 0, past_body));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, r.last, body, 0));
        if (on_descriptor) {
            // The low half of the first argument, where a descriptor lives.
            program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args)));
            program.push_back(BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, r.descriptors_above, 1, 0));
            program.push_back(BPF_STMT(BPF_JMP | BPF_JA | BPF_K, 1));
        }
        program.push_back(
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(r.error)));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return program;
}

}  // namespace

int main(int argc, char* argv[]) {
    const auto chosen = argc >= 3 ? presets.find(argv[1]) : presets.end();
    if (chosen == presets.end()) {
        std::string usage = "usage: syscall-filter PRESET COMMAND [ARG...]\npresets:";
        for (const auto& [name, rules] : presets) {
            usage += " " + name;
        }
        (void)std::fprintf(stderr, "%s\n", usage.c_str());
        return 2;
    }
    std::vector<sock_filter> program = compile(chosen->second);
    const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    // prctl rather than seccomp(2), which Linux 3.10 lacks. No new privileges: required of an
    // unprivileged caller, and a set-id program must not escape the filter either.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("syscall-filter: installing the filter");
        return 1;
    }
    execvp(argv[2], &argv[2]);
    std::perror("syscall-filter: running the command");
    return 127;
}
