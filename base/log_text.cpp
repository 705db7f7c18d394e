#include "base/log_text.h"

#include <cstddef>

namespace kest {
namespace {

// The length of the valid UTF-8 sequence of more than one byte at `at`, or 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a code point beyond U+10FFFF, a
// sequence cut short).
std::size_t multibyte_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0U;
    };
    const unsigned lead = byte(at);
    std::size_t length = 0;
    unsigned low = 0x80;  // the range of the byte after the lead, which rules out the bad forms
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

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
        if (byte >= 0x80) {
            const std::size_t length = multibyte_length(text, at);
            if (length == 0) {
                append_octal(out, byte);
                ++at;
            } else {
                out.append(text, at, length);
                at += length;
            }
            continue;
        }
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            append_octal(out, byte);
        } else {
            out += static_cast<char>(byte);
        }
        ++at;
    }
    return out;
}

}  // namespace kest
