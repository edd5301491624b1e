// The lines of a message text as Hl7Json walks them (line ends normalised,
// then cut at "\n"), read in place without copying the text.
#pragma once

#include <cstddef>
#include <string_view>

#include "utils.hpp"

namespace tessarin::columns {

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
// without making that copy of the text.
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

}  // namespace tessarin::columns
