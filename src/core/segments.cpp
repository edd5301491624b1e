#include "segments.hpp"

#include <charconv>

#include "utils.hpp"

namespace tessarin {

namespace detail {

Separators separators_of(const Hl7EscapeHandler* escape_handler) {
    Separators seps{"^", "~"};
    if (escape_handler) {
        seps.component.clear();
        seps.repetition.clear();
        append_utf8(seps.component, escape_handler->component_separator);
        append_utf8(seps.repetition, escape_handler->repetition_separator);
    }
    return seps;
}

}  // namespace detail

namespace {

// One repetition of a field: never itself repeated.
Hl7Field repetition_from_string(std::string_view piece, const Hl7EscapeHandler* handler, std::string_view component_sep) {
    Hl7Field field;
    field.value = handler ? handler->unescape(piece) : std::string(piece);
    if (detail::contains(field.value, component_sep)) {
        field.components.emplace();
        split_pieces(field.value, component_sep, *field.components);
    }
    return field;
}

}  // namespace

Hl7Field Hl7Field::from_string(std::string_view text, const Hl7EscapeHandler* handler) {
    const detail::Separators seps = detail::separators_of(handler);
    const bool guarded = detail::contains(text, kGuardText);
    Hl7Field field;
    if (detail::contains(text, seps.repetition) && !guarded) {
        field.value = std::string(text);
        field.repetitions.emplace();
        detail::for_each_piece(text, seps.repetition, 0, [&](std::string_view piece, std::size_t) {
            field.repetitions->push_back(repetition_from_string(piece, handler, seps.component));
        });
        return field;
    }
    if (!handler) {
        field.value = std::string(text);
        if (!guarded && detail::contains(text, seps.component)) {
            field.components.emplace();
            split_pieces(text, seps.component, *field.components);
        }
        return field;
    }
    // With a handler components are cut in the unescaped text, guard or not.
    return repetition_from_string(text, handler, seps.component);
}

Hl7Segment Hl7Segment::from_string(std::string_view line, const Hl7EscapeHandler* handler) {
    Hl7Segment segment;
    const std::size_t bar = line.find('|');
    segment.name = std::string(line.substr(0, bar));
    if (bar == std::string_view::npos) return segment;
    detail::for_each_piece(line.substr(bar + 1), "|", 1, [&](std::string_view piece, std::size_t) {
        segment.fields.push_back(Hl7Field::from_string(piece, handler));
    });
    return segment;
}

SegmentRecord Hl7Segment::to_json() const {
    SegmentRecord record;
    for_each_entry(
        *this, [&](const EntryKey& key, const std::string& value) { record.emplace_back(key.text(), value); },
        [&](const std::string& segment_name) { record.emplace_back("segment_name", segment_name); });
    sort_record(record);
    return record;
}

SegmentScanner::SegmentScanner(const Hl7EscapeHandler* handler) : handler_(handler) {
    if (handler) {
        plain_ = handler->component_separator < 0x80 && handler->repetition_separator < 0x80 &&
                 handler->escape_character < 0x80;
        component_ = static_cast<char>(handler->component_separator);
        repetition_ = static_cast<char>(handler->repetition_separator);
        escape_ = static_cast<char>(handler->escape_character);
        default_cuts_ = component_ == '^' && repetition_ == '~';
    }
    const auto mark = [this](char byte, std::uint8_t kind) {
        byte_kind_[static_cast<unsigned char>(byte)] |= kind;
        special_.add(static_cast<unsigned char>(byte));
    };
    mark('|', kBar);
    mark(component_, kComponent);
    mark(repetition_, kRepetition);
    if (handler) mark(escape_, kEscape);
}

std::size_t EntryKey::write(char* out) const noexcept {
    char* const begin = out;
    const auto number = [&](std::size_t value) { out = std::to_chars(out, begin + kMaxText, value).ptr; };
    number(field);
    if (form == Form::Repetition || form == Form::RepetitionComponent) {
        *out++ = '[';
        number(repetition);
        *out++ = ']';
    }
    if (form == Form::Component || form == Form::RepetitionComponent) {
        *out++ = '.';
        number(component);
    }
    return static_cast<std::size_t>(out - begin);
}

std::string EntryKey::text() const {
    char buffer[kMaxText];
    return std::string(buffer, write(buffer));
}

}  // namespace tessarin
