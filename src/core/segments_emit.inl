// Template body of emit_segment_entries, kept beside segments.hpp.
#pragma once

#include <cstring>

namespace tessarin::detail {

inline bool contains(std::string_view text, char c) noexcept {
    return !text.empty() && std::memchr(text.data(), c, text.size()) != nullptr;
}

inline bool contains(std::string_view text, std::string_view needle) noexcept {
    return text.find(needle) != std::string_view::npos;
}

// Calls visit(piece, index) for the pieces of `text` cut at `separator`,
// index counting from `first`.
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

struct Separators {
    std::string component;
    std::string repetition;
};

Separators separators_of(const Hl7EscapeHandler* escape_handler);

}  // namespace tessarin::detail

namespace tessarin {

template <class Sink>
void emit_segment_entries(std::string_view line, const Hl7EscapeHandler* handler, std::string& scratch,
                          Sink& sink) {
    using Form = EntryKey::Form;
    const detail::Separators seps = detail::separators_of(handler);
    const std::string_view component_sep = seps.component;
    const std::string_view repetition_sep = seps.repetition;

    // The text of a value: the raw piece, or its unescaped form in `scratch`.
    const auto unescaped = [&](std::string_view raw) -> std::string_view {
        if (!handler || !handler->may_need_unescape(raw)) return raw;
        scratch.clear();
        handler->unescape_into(scratch, raw);
        return scratch;
    };
    // One repetition, or one whole field that is not cut into repetitions.
    const auto emit_value = [&](std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition,
                                bool guard_exempt) {
        const std::string_view value = unescaped(raw);
        if (!guard_exempt && detail::contains(value, component_sep)) {
            // `value` may live in scratch; pieces are consumed before it changes.
            const Form form = in_repetition ? Form::RepetitionComponent : Form::Component;
            detail::for_each_piece(value, component_sep, 1, [&](std::string_view piece, std::size_t c) {
                sink.entry(EntryKey{form, field, repetition, c}, piece);
            });
        } else {
            sink.entry(EntryKey{in_repetition ? Form::Repetition : Form::Field, field, repetition, 0}, value);
        }
    };

    const std::size_t bar = line.find('|');
    sink.name(line.substr(0, bar));
    if (bar == std::string_view::npos) return;
    detail::for_each_piece(line.substr(bar + 1), "|", 1, [&](std::string_view text, std::size_t field) {
        const bool has_repetitions = detail::contains(text, repetition_sep);
        const bool guarded = (has_repetitions || !handler) && detail::contains(text, kGuardText);
        if (has_repetitions && !guarded) {
            detail::for_each_piece(text, repetition_sep, 0, [&](std::string_view piece, std::size_t repetition) {
                emit_value(piece, field, repetition, true, false);
            });
        } else {
            // Without a handler the guard text also stops the component cut.
            emit_value(text, field, 0, false, guarded && !handler);
        }
    });
}

}  // namespace tessarin
