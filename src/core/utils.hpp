// Cutting text: line-end normalisation, pieces between separators, and the
// byte set that finds separators sixteen bytes at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarin {

// Every "\r\n", then every "\n\r", then every remaining "\r" becomes "\n".
std::string replace_eof(std::string_view text);
// How many "\n" replace_eof makes of a run of "\r" and "\n" bytes.
std::size_t normalised_run_length(std::string_view run);

inline bool contains(std::string_view text, char c) noexcept {
    return !text.empty() && std::memchr(text.data(), c, text.size()) != nullptr;
}

inline bool contains(std::string_view text, std::string_view needle) noexcept {
    return text.find(needle) != std::string_view::npos;
}

// Calls visit(piece, index) for the pieces of `text` cut at every `separator`,
// empty pieces included, index counting from `first`.
template <class Visit>
void for_each_piece(std::string_view text, std::string_view separator, std::size_t first, Visit&& visit) {
    std::size_t start = 0;
    std::size_t index = first;
    if (separator.size() == 1) {
        const char sep = separator[0];
        for (;;) {
            const void* hit = std::memchr(text.data() + start, sep, text.size() - start);
            if (!hit) break;
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
            visit(text.substr(start, at - start), index++);
            start = at + 1;
        }
    } else {
        for (;;) {
            const std::size_t at = text.find(separator, start);
            if (at == std::string_view::npos) break;
            visit(text.substr(start, at - start), index++);
            start = at + separator.size();
        }
    }
    visit(text.substr(start), index);
}

// The pieces of `text` cut at every `separator`, empty pieces included.
template <class Piece>
void split_pieces(std::string_view text, std::string_view separator, std::vector<Piece>& pieces) {
    for_each_piece(text, separator, 0, [&](std::string_view piece, std::size_t) { pieces.emplace_back(piece); });
}

// Calls visit(line) for every piece of `text` cut at "\n", empty ones included.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    for_each_piece(text, "\n", 0, [&](std::string_view line, std::size_t) { visit(line); });
}

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
    std::size_t count_ = 0;
};

}  // namespace tessarin
