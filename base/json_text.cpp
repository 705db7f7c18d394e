#include "base/json_text.h"

#include <cstdio>

#include "base/utf8.h"

namespace kest {

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_sequence_length(text, at);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
            // A stray byte becomes the code point of the same number, as Latin-1 reads it.
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(text, at, length);
            at += length;
            continue;
        }
        ++at;
    }
    return out + "\"";
}

}  // namespace kest
