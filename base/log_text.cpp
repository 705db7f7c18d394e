#include "base/log_text.h"

#include <cstddef>

#include "base/utf8.h"

namespace kest {
namespace {

void append_octal(std::string& out, unsigned char byte) {
    out += '\\';
    out += static_cast<char>('0' + ((byte >> 6) & 7));
    out += static_cast<char>('0' + ((byte >> 3) & 7));
    out += static_cast<char>('0' + (byte & 7));
}

}  // namespace

std::string escaped_for_log(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_sequence_length(text, at);
        if (byte == '\\') {
            out += "\\\\";
        } else if (length == 0 || byte < 0x20 || byte == 0x7f) {
            append_octal(out, byte);
        } else {
            out.append(text, at, length);
            at += length;
            continue;
        }
        ++at;
    }
    return out;
}

}  // namespace kest
