// Texts written into JSON.
#pragma once

#include <string>

namespace kest {

// `text` as a JSON string, quotes included: `"` and `\` escaped with a backslash, control
// characters as \u00XX, and each byte that is not part of valid UTF-8 as \u00XX too (the code
// point of the same number), so that the result is valid JSON whatever the text holds.
std::string json_text(const std::string& text);

}  // namespace kest
