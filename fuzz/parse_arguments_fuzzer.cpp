// Fuzzes the entry's argument checks: the input is split at NUL bytes into command-line
// arguments. parse_pid is held against an independent reading of the text, and run_update's
// result against the exit statuses it promises, on a staging root that does not exist (so a
// run whose arguments pass stops right after its start-up line, before anything is touched).
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/constants.h"
#include "base/log.h"
#include "base/platform.h"
#include "fuzz/fuzz_check.h"
#include "updater/run_update.h"

namespace {

std::vector<std::string> logged;

void record(int, const std::string& text) {
    logged.push_back(text);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The pid a text stands for, read the way the entry documents it: blanks, a sign, base-10
// digits to the end (an empty text is 0, out-of-range values are clamped); none otherwise.
std::optional<long> expected_pid(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    std::size_t i = 0;
    while (i < text.size() && is_blank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t first_digit = i;
    constexpr __int128 limit = static_cast<__int128>(LONG_MAX) + 1;
    __int128 value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > limit) {
            value = limit;
        }
        ++i;
    }
    if (i == first_digit || i != text.size()) {
        return std::nullopt;
    }
    if (negative) {
        return static_cast<long>(-value);  // -limit is LONG_MIN
    }
    return static_cast<long>(value > LONG_MAX ? LONG_MAX : value);
}

int never_shell(const char*) {
    FUZZ_CHECK(!"a command ran");
    return 0;
}

void never_detach(const char*) {
    FUZZ_CHECK(!"the run detached");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kest::set_log_sink(record);
    kest::platform::seams.shell = never_shell;
    kest::platform::seams.detach = never_detach;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (std::size_t start = 0; args.size() < 6;) {
        const std::size_t end = input.find('\0', start);
        args.push_back(input.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }

    for (const std::string& arg : args) {
        long parsed = 12345;
        const bool accepted = kest::parse_pid(arg.c_str(), parsed);
        const std::optional<long> expected = expected_pid(arg);
        FUZZ_CHECK(accepted == expected.has_value());
        FUZZ_CHECK(!accepted || parsed == *expected);
    }

    // Every argument list has a program name; the input's texts follow it.
    std::vector<const char*> argv = {"kest-update"};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
                   [](const std::string& arg) { return arg.c_str(); });
    logged.clear();
    const int argc = static_cast<int>(argv.size());
    const int result = kest::run_update(
        argc, argv.data(),
        {"/nonexistent/kest-fuzz", "/nonexistent/target", "-", "/", "/nonexistent/kest-fuzz.lock",
         "/nonexistent/kest.service", "/nonexistent/undo", ""});
    if (argc == 2 && args[0] == "--recover") {
        // Alone, the recovery: it logs its start, and cannot take the lock here.
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(logged.size() == 2);
        FUZZ_CHECK(logged[1].rfind("Failed to take the update lock /nonexistent/", 0) == 0);
    } else if (argc == 2 && args[0] == "--check") {
        // Alone, the check: it logs nothing, and cannot enter the staging root here.
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(logged.empty());
    } else if (argc != 3) {
        FUZZ_CHECK(result == kest::result_bad_argument_count);
        FUZZ_CHECK(logged.empty());
    } else if (!expected_pid(args[1])) {
        FUZZ_CHECK(result == kest::result_bad_pid);
        FUZZ_CHECK(logged.empty());
    } else {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(logged.size() == 2);
        FUZZ_CHECK(logged[1] == "Failed to change the current update directory");
    }
    return 0;
}
