// How a logged line is made safe: one line, in valid UTF-8, whatever the names in it hold.
#pragma once

#include <string>

namespace kest {

// `text` with every control character (below 0x20, and 0x7f) and every byte that is not part of
// valid UTF-8 written as a backslash and three octal digits ("\012" for a newline), and each
// backslash doubled; everything else as it stands.
std::string escaped_for_log(const std::string& text);

}  // namespace kest
