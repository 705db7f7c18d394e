#include "shared/unit_drop_in.h"

#include <fstream>
#include <iterator>

namespace kest {
namespace {

constexpr const char* marker = "KillMode=process";

}  // namespace

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        return {};
    }
    try {
        std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        return in.bad() ? std::string{} : text;
    } catch (...) {
        return {};
    }
}

bool drop_in_needed(const std::string& unit_file) {
    return read_text_file(unit_file).find(marker) == std::string::npos;
}

std::string drop_in_directory(const std::string& unit_file) {
    return unit_file + ".d";
}

std::string drop_in_file(const std::string& unit_file) {
    return drop_in_directory(unit_file) + "/" + override_name;
}

}  // namespace kest
