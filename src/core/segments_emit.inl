// Template bodies of the segment scanner, kept beside segments.hpp.
#pragma once

namespace tessarin {

template <class Sink>
void SegmentScanner::emit(std::string_view line, Sink& sink) {
    const std::size_t bar = find_byte(line, '|');
    sink.name(line.substr(0, bar));
    if (bar == std::string_view::npos) return;

    // One pass over the bytes: each field is given to the sink as soon as
    // the bar after it is found, with what it holds and where its component
    // separators are, so no value is searched again. The field's separators
    // are kept in a local array while they fit: the sink's stores through
    // char pointers cannot reach it, so its count stays in a register.
    line_ = line.data();
    const char* const data = line.data();
    const std::size_t size = line.size();
    const std::uint8_t* const kinds = tables_->byte_kind;
    std::size_t local[kLocalCarets];
    std::size_t* carets = local;
    std::size_t caret_count = 0, caret_room = kLocalCarets;
    std::size_t start = bar + 1, field = 1;
    std::uint8_t flags = 0;
    const auto field_done = [&](std::size_t end) {
        const std::string_view text(data + start, end - start);
        if (flags == 0) {
            sink.entry(EntryKey{EntryKey::Form::Field, field, 0, 0}, text);
        } else {
            if (flags == kComponent)
                emit_components<false>(text, field, 0, carets, caret_count, 0, sink);
            else
                emit_field(text, field, flags, carets, caret_count, sink);
            caret_count = 0;
        }
        ++field;
        start = end + 1;
        flags = 0;
    };
    const auto mark = [&](std::size_t i) {
        const std::uint8_t kind = kinds[static_cast<unsigned char>(data[i])];
        flags |= kind;
        if (kind & kComponent) {
            if (caret_count == caret_room) {
                carets = more_carets(carets, caret_count);
                caret_room = spill_.size();
            }
            carets[caret_count++] = i;
        }
    };
    // Each block of sixteen bytes gives the positions of its marks; the
    // last block is a copy with a bar put after the line's end, so every
    // field ends at one place in the code.
    const auto block = [&](const char* bytes, std::size_t at, std::size_t count) {
#if defined(__SSE2__)
        (void)count;
        // Without a handler the escape character is no mark: the bar stands in.
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const auto bar_mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('|'))));
        const auto other_mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(handler_ ? kEscapeCharacter : '|')),
                                           _mm_or_si128(_mm_cmpeq_epi8(block, _mm_set1_epi8(kComponentSeparator)),
                                                        _mm_cmpeq_epi8(block, _mm_set1_epi8(kRepetitionSeparator))))));
#else
        unsigned bar_mask = 0, other_mask = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint8_t kind = kinds[static_cast<unsigned char>(bytes[k])];
            if (kind & kBar)
                bar_mask |= 1u << k;
            else if (kind)
                other_mask |= 1u << k;
        }
#endif
        for (unsigned mask = bar_mask | other_mask; mask != 0; mask &= mask - 1) {
            const auto bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (bar_mask >> bit & 1)
                field_done(at + bit);
            else
                mark(at + bit);
        }
    };
    std::size_t i = start;
    for (; i + 16 <= size; i += 16) block(data + i, i, 16);
    char last[16] = {};
    copy_bytes(last, data + i, (size - i) & 15);  // below 16: the mask tells the compiler
    last[size - i] = '|';
    block(last, i, size - i + 1);
}

// A field that holds repetition separators or escape characters, or the
// guard text.
template <class Sink>
void SegmentScanner::emit_field(std::string_view text, std::size_t field, std::uint8_t flags, const std::size_t* carets,
                                std::size_t caret_count, Sink& sink) {
    std::size_t next_caret = 0;  // the first that the next repetition may hold
    using Form = EntryKey::Form;
    // The guard text holds both a component and a repetition separator,
    // and an escape character, which a handler's scan marks.
    const bool guarded = (flags & (kComponent | kRepetition)) == (kComponent | kRepetition) &&
                         (!handler_ || (flags & kEscape)) && contains(text, kGuardText);
    if ((flags & kRepetition) && !guarded) {
        const bool plain_pieces = !(flags & (kComponent | kEscape));
        for_each_piece(
            text, std::string_view(&kRepetitionSeparator, 1), 0, [&](std::string_view piece, std::size_t repetition) {
                if (plain_pieces)
                    sink.entry(EntryKey{Form::Repetition, field, repetition, 0}, piece);
                else
                    emit_value(piece, field, repetition, true, flags & kEscape, carets, caret_count, next_caret, sink);
            });
    } else if (!(flags & (kComponent | kEscape))) {
        sink.entry(EntryKey{Form::Field, field, 0, 0}, text);
    } else if (!handler_ && guarded) {
        sink.entry(EntryKey{Form::Field, field, 0, 0}, text);  // without a handler the guard stops every cut
    } else {
        emit_value(text, field, 0, false, flags & kEscape, carets, caret_count, next_caret, sink);
    }
}

template <class Sink>
void SegmentScanner::emit_value(std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition,
                                bool may_escape, const std::size_t* carets, std::size_t caret_count,
                                std::size_t& next_caret, Sink& sink) {
    using Form = EntryKey::Form;
    // `may_escape`: the field holds an escape character (only marked with a handler).
    if (!(may_escape && contains(raw, kEscapeCharacter))) {
        next_caret = in_repetition
                         ? emit_components<true>(raw, field, repetition, carets, caret_count, next_caret, sink)
                         : emit_components<false>(raw, field, repetition, carets, caret_count, next_caret, sink);
        return;
    }
    scratch_.clear();
    handler_->unescape_into(scratch_, raw);
    const std::string_view value = scratch_;
    if (contains(value, kComponentSeparator)) {
        // `value` may live in scratch_; its pieces are consumed before it changes.
        const Form form = in_repetition ? Form::RepetitionComponent : Form::Component;
        for_each_piece(value, std::string_view(&kComponentSeparator, 1), 1, [&](std::string_view piece, std::size_t c) {
            sink.entry(EntryKey{form, field, repetition, c}, piece);
        });
    } else {
        sink.entry(EntryKey{in_repetition ? Form::Repetition : Form::Field, field, repetition, 0}, value);
    }
}

// A value of the line's own text, the whole field or one of its
// repetitions: its component separators were found by the scan. `k` is the
// first separator it may hold; returns the first after it.
template <bool in_repetition, class Sink>
std::size_t SegmentScanner::emit_components(std::string_view raw, std::size_t field, std::size_t repetition,
                                            const std::size_t* carets, std::size_t count, std::size_t k, Sink& sink) {
    using Form = EntryKey::Form;
    const auto begin = static_cast<std::size_t>(raw.data() - line_), end = begin + raw.size();
    // A whole field holds all of them; a repetition, those between its ends.
    if (in_repetition)
        while (k < count && carets[k] < begin) ++k;
    const auto inside = [&](std::size_t n) { return n < count && (!in_repetition || carets[n] < end); };
    if (inside(k)) {
        constexpr Form form = in_repetition ? Form::RepetitionComponent : Form::Component;
        std::size_t from = begin, component = 1;
        for (; inside(k); ++k) {
            sink.entry(EntryKey{form, field, repetition, component++}, {line_ + from, carets[k] - from});
            from = carets[k] + 1;
        }
        sink.entry(EntryKey{form, field, repetition, component}, {line_ + from, end - from});
    } else {
        sink.entry(EntryKey{in_repetition ? Form::Repetition : Form::Field, field, repetition, 0}, raw);
    }
    return k;
}

}  // namespace tessarin
