// Fuzzes the staged tree installer: the input describes a staging tree (directories, files,
// links of every kind, FIFOs) and, optionally, entries already at the destination; the tree is
// built in a fresh temporary directory and mirrored into another. Nothing sleeps and no command
// runs. Checks: the walk ends, its result and its log agree, and after a success every staged
// file is at the destination with its bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "fuzz/fuzz_check.h"
#include "install/copy_directory.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> logged;
int pauses = 0;
bool systemd_answer = true;

void record(int, const std::string& text) {
    logged.push_back(text);
}
void count_pause(std::chrono::milliseconds) {
    ++pauses;
}
int never_shell(const char*) {
    FUZZ_CHECK(!"a command ran");
    return 0;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A name for an entry: the fuzzer's bytes less '/' and NUL, never "." or "..", never empty.
std::string entry_name(FuzzedDataProvider& input, int& counter) {
    const std::string bytes = input.ConsumeRandomLengthString(24);
    std::string name;
    std::copy_if(bytes.begin(), bytes.end(), std::back_inserter(name),
                 [](char c) { return c != '/' && c != '\0'; });
    if (name.empty() || name == "." || name == "..") {
        name = "n" + std::to_string(counter++);
    }
    return name;
}

// Builds the staging tree below `stage` (and some destination entries below `target`);
// returns the staged regular files, relative path to content.
std::map<std::string, std::string> build_tree(FuzzedDataProvider& input, const std::string& stage,
                                              const std::string& target) {
    std::map<std::string, std::string> files;
    std::vector<std::string> dirs = {""};  // relative paths of staged directories
    std::vector<std::string> stack = {""};
    int counter = 0;
    int directory_links = 0;
    for (int step = 0; step < 48 && input.remaining_bytes() > 0; ++step) {
        const std::string& here = stack.back();
        const std::string relative = here + "/" + entry_name(input, counter);
        const std::string path = stage + relative;
        struct stat existing {};
        if (lstat(path.c_str(), &existing) == 0) {
            continue;
        }
        switch (input.ConsumeIntegralInRange(0, 9)) {
            case 0:
            case 1:
                if (stack.size() < 8 && mkdir(path.c_str(), 0755) == 0) {
                    dirs.push_back(relative);
                    stack.push_back(relative);
                }
                break;
            case 2:
            case 3: {
                const std::string content = input.ConsumeRandomLengthString(4096);
                std::ofstream(path, std::ios::binary) << content;
                files[relative] = content;
                break;
            }
            case 4: {  // a link to a staged directory: a loop when it is an ancestor
                if (directory_links++ < 3) {
                    const std::string& to =
                        dirs[input.ConsumeIntegralInRange<std::size_t>(0, dirs.size() - 1)];
                    (void)symlink((stage + to).c_str(), path.c_str());
                }
                break;
            }
            case 5: {  // a link relative to its own directory, within the staged tree
                static const char* const targets[] = {".", "missing", "..", "../.."};
                const auto pick = input.ConsumeIntegralInRange<std::size_t>(0, 3);
                if (pick < 2 || stack.size() > pick - 1) {
                    (void)symlink(targets[pick], path.c_str());
                }
                break;
            }
            case 6:
                if (!files.empty()) {  // a link to a staged file
                    auto file = files.begin();
                    std::advance(file,
                                 input.ConsumeIntegralInRange<std::size_t>(0, files.size() - 1));
                    (void)symlink((stage + file->first).c_str(), path.c_str());
                }
                break;
            case 7:
                (void)mkfifo(path.c_str(), 0644);
                break;
            case 8:
                if (stack.size() > 1) {
                    stack.pop_back();
                }
                break;
            default: {  // something already at the destination, perhaps in the tree's way
                const std::string at = target + relative;
                if (input.ConsumeBool()) {
                    (void)mkdir(at.c_str(), 0700);
                } else {
                    std::ofstream(at, std::ios::binary) << "old";
                }
                break;
            }
        }
    }
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kest::set_log_sink(record);
    kest::platform::pause_for = count_pause;
    kest::platform::shell = never_shell;
    umask(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string top = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    top += "/kest-fuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(top.data()) != nullptr);
    const std::string stage = top + "/stage";
    const std::string target = top + "/target";
    FUZZ_CHECK(mkdir(stage.c_str(), 0755) == 0);
    FUZZ_CHECK(mkdir(target.c_str(), 0755) == 0);

    systemd_answer = input.ConsumeBool();
    const std::map<std::string, std::string> files = build_tree(input, stage, target);
    logged.clear();
    pauses = 0;
    const std::string unit_folder = stage + "/etc";
    const int result = kest::copy_directory(stage, target, systemd_answer ? "" : unit_folder);

    FUZZ_CHECK(!logged.empty() && logged.front() == "Copy to directory " + stage);
    const auto failures = std::count_if(logged.begin(), logged.end(), [](const std::string& line) {
        return starts_with(line, "Failed to copy ");
    });
    if (result == 0) {
        FUZZ_CHECK(failures == 0);
        for (const auto& [relative, content] : files) {
            if (!systemd_answer && starts_with(relative + "/", "/etc/")) {
                continue;  // the unit folder is skipped without systemd
            }
            FUZZ_CHECK(read_file(target + relative) == content);
        }
    } else {
        // One entry gave up after its attempts, and said so last.
        FUZZ_CHECK(failures == 1);
        FUZZ_CHECK(starts_with(logged.back(), "Failed to copy "));
        FUZZ_CHECK(pauses == 9);
    }

    std::error_code error;
    fs::remove_all(top, error);
    FUZZ_CHECK(!error);
    return 0;
}
