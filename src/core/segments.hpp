// One segment line of an HL7 v2 message read as the entries of its segment
// record: the key scheme (N, N.C, N[R], N[R].C) and the scanner that finds
// the entries in the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/escape.hpp"
#include "core/small_vector.hpp"
#include "core/utils.hpp"

namespace tessarin {

// The default encoding characters as they stand in an MSH line. A field that
// holds them is never cut, so the header survives a parse without a handler.
inline constexpr std::string_view kGuardText = "^~\\&";

// Position of one record entry: N, N.C, N[R] or N[R].C.
struct EntryKey {
    enum class Form : std::uint8_t { Field, Component, Repetition, RepetitionComponent };
    Form form;
    std::size_t field;
    std::size_t repetition;
    std::size_t component;

    // Longest key text: two 20-digit numbers and "[", "]", "." besides the field.
    static constexpr std::size_t kMaxText = 3 * 20 + 3;
    // Writes the key text into `out` (at least kMaxText bytes) and returns its length.
    std::size_t write(char* out) const noexcept;
};

// Reads the entries of segment lines straight from the text: `name(view)`
// once per line, then `entry(key, view)` per entry in field order (not key
// order). Views are valid only during the call. Built once per conversion; it
// reuses its buffers across lines. The handler, if any, is
// create_default_escape_handler's: no caller makes another.
class SegmentScanner {
public:
    explicit SegmentScanner(const Hl7EscapeHandler* escape_handler);

    template <class Sink>
    void emit(std::string_view line, Sink& sink);

private:
    static constexpr std::uint8_t kBar = 1, kComponent = 2, kRepetition = 4, kEscape = 8;
    static constexpr char kComponentSeparator = '^', kRepetitionSeparator = '~', kEscapeCharacter = '\\';
    // What the scan looks for: built once per kind and shared, so a small
    // message does not pay for them.
    struct ScanTables {
        std::uint8_t byte_kind[256] = {};
        explicit ScanTables(bool unescapes);
    };
    static const ScanTables* tables_for(const Hl7EscapeHandler* handler);
    template <class Sink>
    void emit_field(std::string_view text, std::size_t field, std::uint8_t flags, const std::size_t* carets,
                    std::size_t caret_count, Sink& sink);
    template <class Sink>
    void emit_value(std::string_view raw, std::size_t field, std::size_t repetition, bool in_repetition,
                    bool may_escape, const std::size_t* carets, std::size_t caret_count, std::size_t& next_caret,
                    Sink& sink);
    template <bool in_repetition, class Sink>
    std::size_t emit_components(std::string_view raw, std::size_t field, std::size_t repetition,
                                const std::size_t* carets, std::size_t count, std::size_t k, Sink& sink);
    // Room for a field's component separators past the local array: a copy
    // of the `count` at `carets` in spill_, twice as long.
    std::size_t* more_carets(const std::size_t* carets, std::size_t count);

    const Hl7EscapeHandler* handler_;
    const ScanTables* tables_;
    static constexpr std::size_t kLocalCarets = 64;
    const char* line_ = nullptr;      // the current line; separators are positions in it
    std::vector<std::size_t> spill_;  // a field's separators past kLocalCarets
    std::string scratch_;
};

}  // namespace tessarin

#include "core/segments_emit.inl"
