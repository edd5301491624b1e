#include "segments.hpp"

#include <charconv>

namespace tessarin {

SegmentScanner::SegmentScanner(const Hl7EscapeHandler* handler) : handler_(handler) {
    if (handler) {
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

}  // namespace tessarin
