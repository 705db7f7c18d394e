// The drop-in that makes stopping the agent's unit spare every process of it but the main one:
// where it lives and whether a unit needs it. The stop writes it; the checks and the undo record
// look at it.
#pragma once

#include <string>

namespace kest {

// The drop-in's name in its directory, and what it holds, byte for byte.
inline constexpr const char* override_name = "override.conf";
inline constexpr const char* override_content = "[Service]\nKillMode=process\n";

// The file's whole content, or the empty text when it cannot be read.
std::string read_text_file(const std::string& path);

// Whether the unit file at `unit_file` lacks "KillMode=process" (or cannot be read), so that the
// stop writes the drop-in.
bool drop_in_needed(const std::string& unit_file);
// Where the drop-in for `unit_file` lives: the directory, and the file in it.
std::string drop_in_directory(const std::string& unit_file);
std::string drop_in_file(const std::string& unit_file);

}  // namespace kest
