// Template bodies of the segment scanner, kept beside segments.hpp.
#pragma once

namespace tessarin {

template <class Sink>
void SegmentScanner::emit(std::string_view line, Sink& sink) {
    const std::size_t bar = find_byte(line, '|');
    sink.name(line.substr(0, bar));
    if (bar == std::string_view::npos) return;

    // One pass over the bytes finds every field, what each one holds and
    // where its component separators are, so no value is searched again.
    fields_.clear();
    carets_.clear();
    line_ = line.data();
    next_caret_ = 0;
    std::size_t start = bar + 1;
    std::uint8_t flags = 0;
    tables_->special.for_each(line, start, [&](std::size_t i) {
        const std::uint8_t kind = tables_->byte_kind[static_cast<unsigned char>(line[i])];
        if (kind & kBar) {
            fields_.push_back({start, i, flags});
            start = i + 1;
            flags = 0;
        } else {
            flags |= kind;
            if (kind & kComponent) carets_.push_back(i);
        }
    });
    fields_.push_back({start, line.size(), flags});

    using Form = EntryKey::Form;
    for (std::size_t n = 0; n < fields_.size(); ++n) {
        const FieldSpan& span = fields_[n];
        const std::size_t field = n + 1;
        const std::string_view text(line.data() + span.start, span.end - span.start);  // inside the line
        // The guard text holds both a component and a repetition separator,
        // and an escape character, which a handler's scan marks.
        const bool guarded = (span.flags & (kComponent | kRepetition)) == (kComponent | kRepetition) &&
                             (!handler_ || (span.flags & kEscape)) && contains(text, kGuardText);
        if ((span.flags & kRepetition) && !guarded) {
            const bool plain_pieces = !(span.flags & (kComponent | kEscape));
            for_each_piece(text, std::string_view(&kRepetitionSeparator, 1), 0,
                           [&](std::string_view piece, std::size_t repetition) {
                               if (plain_pieces)
                                   sink.entry(EntryKey{Form::Repetition, field, repetition, 0}, piece);
                               else
                                   emit_value(piece, field, repetition, true, span.flags & kEscape, sink);
                           });
        } else if (!(span.flags & (kComponent | kEscape))) {
            sink.entry(EntryKey{Form::Field, field, 0, 0}, text);
        } else if (!handler_ && guarded) {
            sink.entry(EntryKey{Form::Field, field, 0, 0}, text);  // without a handler the guard stops every cut
        } else {
            emit_value(text, field, 0, false, span.flags & kEscape, sink);
        }
    }
}

template <class Sink>
void SegmentScanner::emit_value(std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition,
                                bool may_escape, Sink& sink) {
    using Form = EntryKey::Form;
    // `may_escape`: the field holds an escape character (only marked with a handler).
    if (!(may_escape && contains(raw, kEscapeCharacter))) {
        // The value is the line's own text: its separators were found in the first pass.
        const auto begin = static_cast<std::size_t>(raw.data() - line_), end = begin + raw.size();
        std::size_t k = next_caret_;
        while (k < carets_.size() && carets_[k] < begin) ++k;
        if (k < carets_.size() && carets_[k] < end) {
            const Form form = in_repetition ? Form::RepetitionComponent : Form::Component;
            std::size_t from = begin, component = 1;
            for (; k < carets_.size() && carets_[k] < end; ++k) {
                sink.entry(EntryKey{form, field, repetition, component++}, {line_ + from, carets_[k] - from});
                from = carets_[k] + 1;
            }
            sink.entry(EntryKey{form, field, repetition, component}, {line_ + from, end - from});
        } else {
            sink.entry(EntryKey{in_repetition ? Form::Repetition : Form::Field, field, repetition, 0}, raw);
        }
        next_caret_ = k;
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

}  // namespace tessarin
