// Which bytes of a text are valid UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace kest {

// The length of the valid UTF-8 sequence that starts at `at` of `text`: 1 for an ASCII byte, 2 to
// 4 for a valid sequence of more bytes, 0 when there is none there (a stray continuation byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF, a sequence cut short by the end of the
// text, `at` at or beyond the end).
std::size_t utf8_sequence_length(const std::string& text, std::size_t at);

}  // namespace kest
