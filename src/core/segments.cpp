#include "core/segments.hpp"

#include <charconv>

namespace tessarin {

SegmentScanner::ScanTables::ScanTables(const Hl7EscapeHandler* handler) {
    if (handler) {
        component = static_cast<char>(handler->component_separator);
        repetition = static_cast<char>(handler->repetition_separator);
        escape = static_cast<char>(handler->escape_character);
        default_cuts = component == '^' && repetition == '~';
    }
    const auto mark = [this](char byte, std::uint8_t kind) {
        byte_kind[static_cast<unsigned char>(byte)] |= kind;
        special.add(static_cast<unsigned char>(byte));
    };
    mark('|', kBar);
    mark(component, kComponent);
    mark(repetition, kRepetition);
    if (handler) mark(escape, kEscape);
}

const SegmentScanner::ScanTables* SegmentScanner::default_tables(const Hl7EscapeHandler* handler) {
    static const Hl7EscapeHandler kDefault = create_default_escape_handler();
    static const ScanTables kWithHandler(&kDefault), kWithoutHandler(nullptr);
    if (!handler) return &kWithoutHandler;
    const bool same = handler->field_separator == kDefault.field_separator &&
                      handler->component_separator == kDefault.component_separator &&
                      handler->repetition_separator == kDefault.repetition_separator &&
                      handler->escape_character == kDefault.escape_character;
    return same ? &kWithHandler : nullptr;
}

SegmentScanner::SegmentScanner(const Hl7EscapeHandler* handler) : handler_(handler), tables_(default_tables(handler)) {
    if (!tables_) tables_ = &own_tables_.emplace(handler);
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
