// Text helpers shared by the converters: line-end normalisation, UTF-8
// decoding and whole-file reading.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "errors.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarin {

// Every "\r\n", then every "\n\r", then every remaining "\r" becomes "\n".
std::string replace_eof(std::string_view text);

// Decodes the scalar value at `pos` and returns the byte length consumed
// (at least 1, never past the end). Malformed bytes decode as U+FFFD, one
// byte each, so callers stay in bounds on any input.
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& cp) noexcept;
void append_utf8(std::string& out, char32_t cp);

bool is_valid_utf8(std::string_view text) noexcept;

// True when the text holds only characters with the Unicode White_Space property.
bool is_blank(std::string_view text) noexcept;

// A few bytes to search for at once: sixteen text bytes per step where the
// processor has SSE2, one at a time elsewhere.
class ByteSet {
public:
    void add(unsigned char byte);
    bool contains(unsigned char byte) const noexcept { return member_[byte]; }
    // Calls visit(position) for every member byte at or after `from`, in order.
    template <class Visit>
    void for_each(std::string_view text, std::size_t from, Visit&& visit) const {
        std::size_t i = from;
#if defined(__SSE2__)
        if (count_ > 0 && count_ <= kCapacity) {
            for (; i + 16 <= text.size(); i += 16) {
                for (unsigned mask = block_mask(text.data() + i); mask != 0; mask &= mask - 1)
                    visit(i + static_cast<std::size_t>(__builtin_ctz(mask)));
            }
        }
#endif
        for (; i < text.size(); ++i)
            if (member_[static_cast<unsigned char>(text[i])]) visit(i);
    }

private:
#if defined(__SSE2__)
    // Bit k set when byte k of the sixteen at `block` is a member.
    unsigned block_mask(const char* block) const noexcept {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        __m128i hits = _mm_cmpeq_epi8(bytes, wanted_[0]);
        for (std::size_t k = 1; k < count_; ++k) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, wanted_[k]));
        return static_cast<unsigned>(_mm_movemask_epi8(hits));
    }
#endif

    static constexpr std::size_t kCapacity = 12;
#if defined(__SSE2__)
    __m128i wanted_[kCapacity] = {};  // each member byte in all sixteen lanes
#endif
    std::array<bool, 256> member_{};
    std::array<unsigned char, kCapacity> bytes_{};
    std::size_t count_ = 0;
};

// Reads the whole file as UTF-8 text. `padding` extra bytes of capacity are
// reserved so that a parser needing readable bytes past the end can run in place.
Result<std::string> read_text_file(std::string_view path, std::size_t padding = 0);

}  // namespace tessarin
