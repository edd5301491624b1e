#include "core/segments.hpp"

#include <algorithm>
#include <cassert>
#include <charconv>

namespace tessarin {

SegmentScanner::ScanTables::ScanTables(bool unescapes) {
    const auto mark = [this](char byte, std::uint8_t kind) { byte_kind[static_cast<unsigned char>(byte)] |= kind; };
    mark('|', kBar);
    mark(kComponentSeparator, kComponent);
    mark(kRepetitionSeparator, kRepetition);
    if (unescapes) mark(kEscapeCharacter, kEscape);
}

// Every handler is create_default_escape_handler's (no caller makes
// another), so two tables, built once, serve every scanner.
const SegmentScanner::ScanTables* SegmentScanner::tables_for(const Hl7EscapeHandler* handler) {
    static const ScanTables kUnescaping(true), kPlain(false);
    assert(!handler || (handler->component_separator == U'^' && handler->repetition_separator == U'~' &&
                        handler->escape_character == U'\\'));
    return handler ? &kUnescaping : &kPlain;
}

SegmentScanner::SegmentScanner(const Hl7EscapeHandler* handler) : handler_(handler), tables_(tables_for(handler)) {}

std::size_t* SegmentScanner::more_carets(const std::size_t* carets, std::size_t count) {
    std::vector<std::size_t> more(2 * count);
    std::copy(carets, carets + count, more.begin());
    spill_.swap(more);
    return spill_.data();
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
