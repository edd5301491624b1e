// UTF-8: one decoder with a lenient mode (the escape handler and the blank
// test, which must run on any bytes) and a strict mode (the JSON error
// locator, which must name the first byte that is not UTF-8), and the encoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessarin {

enum class Utf8Mode : bool {
    // Any lead byte 0xC2-0xF4 with enough continuation bytes decodes, but for
    // overlong forms: one could hide an ASCII separator from writers that
    // read bytes. Surrogates and values past U+10FFFF pass.
    Lenient,
    // RFC 3629 exactly: the second byte's range is narrowed after 0xE0, 0xED,
    // 0xF0 and 0xF4.
    Strict,
};

struct Utf8Char {
    char32_t code_point;
    std::size_t length;  // bytes consumed; at least 1 in lenient mode
    std::size_t bad;     // strict mode, length 0: offset of the first offending byte
};

// Decodes the scalar value at `pos` (< text.size()). A malformed sequence
// decodes as U+FFFD of length 1 in lenient mode, so callers stay in bounds on
// any input, and as length 0 with `bad` set in strict mode.
template <Utf8Mode mode = Utf8Mode::Lenient>
inline Utf8Char decode_utf8(std::string_view text, std::size_t pos) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const auto malformed = [&](std::size_t at) {
        return mode == Utf8Mode::Strict ? Utf8Char{0, 0, at} : Utf8Char{0xFFFD, 1, 0};
    };
    const unsigned lead = byte(pos);
    if (lead < 0x80) return {lead, 1, 0};
    std::size_t length;
    char32_t value;
    unsigned low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;
        if (mode == Utf8Mode::Strict && lead == 0xED) high = 0x9F;  // encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (mode == Utf8Mode::Strict && lead == 0xF4) high = 0x8F;
    } else {
        return malformed(pos);
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (pos + k >= text.size()) return malformed(pos + k);
        const unsigned next = byte(pos + k);
        if (k == 1 ? (next < low || next > high) : (next & 0xC0) != 0x80) return malformed(pos + k);
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length, 0};
}

void append_utf8(std::string& out, char32_t cp);

bool is_valid_utf8(std::string_view text) noexcept;

// True when the text holds only characters with the Unicode White_Space property.
bool is_blank(std::string_view text) noexcept;

}  // namespace tessarin
