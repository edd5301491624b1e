#include "core/utf8.hpp"

#include <simdjson.h>

namespace tessarin {

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool is_valid_utf8(std::string_view text) noexcept { return simdjson::validate_utf8(text.data(), text.size()); }

bool is_blank(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        const char32_t cp = c.code_point;
        i += c.length;
        const bool white = (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
                           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
                           cp == 0x205F || cp == 0x3000;
        if (!white) return false;
    }
    return true;
}

}  // namespace tessarin
