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
    // separators are, so no value is searched again.
    carets_.clear();
    line_ = line.data();
    next_caret_ = 0;
    const char* const data = line.data();
    const std::size_t size = line.size();
    const std::uint8_t* const kinds = tables_->byte_kind;
    std::size_t start = bar + 1, field = 1;
    std::uint8_t flags = 0;
    const auto field_done = [&](std::size_t end) {
        const std::string_view text(data + start, end - start);
        if (flags == 0)
            sink.entry(EntryKey{EntryKey::Form::Field, field, 0, 0}, text);
        else if (flags == kComponent)
            emit_components<false>(text, field, 0, sink);
        else
            emit_field(text, field, flags, sink);
        ++field;
        start = end + 1;
        flags = 0;
    };
    const auto mark = [&](std::size_t i) {
        const std::uint8_t kind = kinds[static_cast<unsigned char>(data[i])];
        flags |= kind;
        if (kind & kComponent) carets_.push_back(i);
    };
    std::size_t i = start;
#if defined(__SSE2__)
    // Without a handler the escape character is no mark: the bar stands in.
    const __m128i bars = _mm_set1_epi8('|'), components = _mm_set1_epi8(kComponentSeparator),
                  repetitions = _mm_set1_epi8(kRepetitionSeparator),
                  escapes = _mm_set1_epi8(handler_ ? kEscapeCharacter : '|');
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const auto bar_mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, bars)));
        const auto other_mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, escapes),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, components), _mm_cmpeq_epi8(bytes, repetitions)))));
        if (other_mask == 0) {
            // Only bars: the common case of plain fields.
            for (unsigned mask = bar_mask; mask != 0; mask &= mask - 1)
                field_done(i + static_cast<std::size_t>(__builtin_ctz(mask)));
            continue;
        }
        for (unsigned mask = bar_mask | other_mask; mask != 0; mask &= mask - 1) {
            const auto bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (bar_mask >> bit & 1)
                field_done(i + bit);
            else
                mark(i + bit);
        }
    }
#endif
    for (; i < size; ++i) {
        const std::uint8_t kind = kinds[static_cast<unsigned char>(data[i])];
        if (kind & kBar)
            field_done(i);
        else if (kind)
            mark(i);
    }
    field_done(size);
}

// A field that holds repetition separators or escape characters, or the
// guard text.
template <class Sink>
void SegmentScanner::emit_field(std::string_view text, std::size_t field, std::uint8_t flags, Sink& sink) {
    using Form = EntryKey::Form;
    // The guard text holds both a component and a repetition separator,
    // and an escape character, which a handler's scan marks.
    const bool guarded = (flags & (kComponent | kRepetition)) == (kComponent | kRepetition) &&
                         (!handler_ || (flags & kEscape)) && contains(text, kGuardText);
    if ((flags & kRepetition) && !guarded) {
        const bool plain_pieces = !(flags & (kComponent | kEscape));
        for_each_piece(text, std::string_view(&kRepetitionSeparator, 1), 0,
                       [&](std::string_view piece, std::size_t repetition) {
                           if (plain_pieces)
                               sink.entry(EntryKey{Form::Repetition, field, repetition, 0}, piece);
                           else
                               emit_value(piece, field, repetition, true, flags & kEscape, sink);
                       });
    } else if (!(flags & (kComponent | kEscape))) {
        sink.entry(EntryKey{Form::Field, field, 0, 0}, text);
    } else if (!handler_ && guarded) {
        sink.entry(EntryKey{Form::Field, field, 0, 0}, text);  // without a handler the guard stops every cut
    } else {
        emit_value(text, field, 0, false, flags & kEscape, sink);
    }
}

template <class Sink>
void SegmentScanner::emit_value(std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition,
                                bool may_escape, Sink& sink) {
    using Form = EntryKey::Form;
    // `may_escape`: the field holds an escape character (only marked with a handler).
    if (!(may_escape && contains(raw, kEscapeCharacter)))
        return in_repetition ? emit_components<true>(raw, field, repetition, sink)
                             : emit_components<false>(raw, field, repetition, sink);
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

// A value of the line's own text: its component separators were found by
// the scan, in carets_.
template <bool in_repetition, class Sink>
void SegmentScanner::emit_components(std::string_view raw, std::size_t field, std::size_t repetition, Sink& sink) {
    using Form = EntryKey::Form;
    const auto begin = static_cast<std::size_t>(raw.data() - line_), end = begin + raw.size();
    const std::size_t* const carets = carets_.begin();
    const std::size_t count = carets_.size();
    std::size_t k = next_caret_;
    while (k < count && carets[k] < begin) ++k;
    if (k < count && carets[k] < end) {
        constexpr Form form = in_repetition ? Form::RepetitionComponent : Form::Component;
        std::size_t from = begin, component = 1;
        for (; k < count && carets[k] < end; ++k) {
            sink.entry(EntryKey{form, field, repetition, component++}, {line_ + from, carets[k] - from});
            from = carets[k] + 1;
        }
        sink.entry(EntryKey{form, field, repetition, component}, {line_ + from, end - from});
    } else {
        sink.entry(EntryKey{in_repetition ? Form::Repetition : Form::Field, field, repetition, 0}, raw);
    }
    next_caret_ = k;
}

}  // namespace tessarin
