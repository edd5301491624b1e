// Cutting text: line-end normalisation, pieces between separators, and the
// byte set that finds separators sixteen bytes at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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

// The first `c` at or after `from`, or npos. HL7 values are mostly a few
// bytes long, where a plain loop beats the call into memchr.
inline std::size_t find_byte(std::string_view text, char c, std::size_t from = 0) noexcept {
    if (text.size() - from < 32) {
        for (std::size_t i = from; i < text.size(); ++i)
            if (text[i] == c) return i;
        return std::string_view::npos;
    }
    const void* hit = std::memchr(text.data() + from, c, text.size() - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : std::string_view::npos;
}

inline bool contains(std::string_view text, char c) noexcept { return find_byte(text, c) != std::string_view::npos; }

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
            const std::size_t at = find_byte(text, sep, start);
            if (at == std::string_view::npos) break;
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

inline bool is_line_end(char c) noexcept { return c == '\r' || c == '\n'; }

// The first "\r" or "\n" at or after `from`: sixteen bytes a step where
// the processor has SSE2, after a skip over line-free runs of 64 bytes.
// (string_view::find_first_of calls memchr once per byte, and lines are long.)
inline std::size_t find_line_end(std::string_view text, std::size_t from) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i carriage_return = _mm_set1_epi8('\r'), line_feed = _mm_set1_epi8('\n');
    const auto line_ends = [&](std::size_t at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + at));
        return _mm_or_si128(_mm_cmpeq_epi8(bytes, carriage_return), _mm_cmpeq_epi8(bytes, line_feed));
    };
    for (; i + 64 <= text.size(); i += 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(line_ends(i), line_ends(i + 16)),
                                         _mm_or_si128(line_ends(i + 32), line_ends(i + 48)));
        if (_mm_movemask_epi8(any) != 0) break;
    }
    for (; i + 16 <= text.size(); i += 16) {
        const int mask = _mm_movemask_epi8(line_ends(i));
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    for (; i < text.size(); ++i)
        if (is_line_end(text[i])) return i;
    return std::string_view::npos;
}

// Calls visit(line) for every line of replace_eof(text) cut at "\n",
// without making that copy of the text: for readers that need no copy.
template <class Visit>
void for_each_normalised_line(std::string_view text, Visit&& visit) {
    std::size_t line_start = 0;
    for (;;) {
        const std::size_t run_start = find_line_end(text, line_start);
        if (run_start == std::string_view::npos) break;
        std::size_t run_end = run_start + 1;
        while (run_end < text.size() && is_line_end(text[run_end])) ++run_end;
        visit(text.substr(line_start, run_start - line_start));
        // A run of n line ends leaves n - 1 empty lines.
        for (std::size_t n = normalised_run_length(text.substr(run_start, run_end - run_start)); n > 1; --n) visit({});
        line_start = run_end;
    }
    visit(text.substr(line_start));
}

// Copies `size` bytes. Keys and values are mostly a few bytes: overlapping
// fixed-size copies beat a call to memcpy, and never read past the source.
inline void copy_bytes(char* to, const char* from, std::size_t size) noexcept {
    if (size >= 8 && size <= 16) {
        std::uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + size - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4 && size < 8) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + size - 4, &tail, 4);
    } else if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size > 0) {  // 1 to 3 bytes: three stores rather than a loop the compiler makes a call
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
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
