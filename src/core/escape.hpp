// HL7 escape sequences: "\F\" and friends to the characters they stand for
// and back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_scan.hpp"
#include "core/utils.hpp"

namespace tessarin {

// Sequence bodies (the text between the escape characters) and their
// replacements, sorted by body. The table is constant data: a handler refers
// to it rather than copying it, which keeps building a converter cheap.
using EscapeTable = std::span<const std::pair<std::string_view, std::string_view>>;

struct Hl7EscapeHandler {
    char32_t field_separator = U'|';
    char32_t component_separator = U'^';
    char32_t repetition_separator = U'~';
    char32_t escape_character = U'\\';
    char32_t subcomponent_separator = U'&';
    EscapeTable escape_sequences;  // sorted by body

    std::string escape(std::string_view text) const;
    void escape_into(std::string& out, std::string_view text) const;
    std::string unescape(std::string_view text) const;
    void unescape_into(std::string& out, std::string_view text) const;
    std::vector<std::string> parse_field_with_escaping(std::string_view field) const;

    // The replacement for a sequence body, or nullopt when the table lacks it.
    std::optional<std::string_view> find_sequence(std::string_view body) const noexcept;
};

Hl7EscapeHandler create_default_escape_handler();

// What `escape` writes for one character: the letters of its sequence, "E"
// standing for the doubled escape character, or nothing when it stays as is.
std::string_view escape_letters(const Hl7EscapeHandler& handler, char32_t cp) noexcept;

// `escape` for many values in a row: a byte table built once replaces the
// per-character tests when every special character is ASCII.
class EscapeWriter {
public:
    explicit EscapeWriter(const Hl7EscapeHandler& handler);
    // A writer built once for the default handler, or nullptr when `handler`
    // differs from it: building one costs more than writing a short message.
    static const EscapeWriter* shared_for(const Hl7EscapeHandler& handler);
    void write(std::string& out, std::string_view text) const;
    // Writes the escaped text at `out`, which has room for
    // max_expansion() bytes per byte of text and kReplacementRoom more, and
    // returns its end.
    static constexpr std::size_t kReplacementRoom = 8;
    char* write(char* out, std::string_view text) const;
    // The same for text followed by at least 16 readable bytes, with 16
    // bytes of room past the escaped text: a short value without special
    // bytes is then one block copy.
    char* write_padded(char* out, std::string_view text) const {
        if (text.empty()) return out;  // an empty store has no bytes to read
        if (ascii_ && text.size() <= 16) {
            if (special_.copy_if_clean16(out, text.data(), text.size())) return out + text.size();
        } else if (ascii_ && text.size() <= kMaskedSize && vector_width() != VectorWidth::Bytes1) {
            return write_masked(out, text);
        }
        return write(out, text);
    }
    std::size_t max_expansion() const noexcept { return max_expansion_; }
    // The size of the escaped text, found by counting its special bytes.
    std::size_t escaped_size(std::string_view text) const;

private:
    struct Replacement {
        char text[7];
        std::uint8_t size;
    };
    // Values of 17 bytes up to this size, followed by 16 readable bytes, find
    // their special bytes as one bit mask rather than by searches and a byte
    // at a time after each; shorter ones go a byte at a time, which costs
    // less where special bytes lie close.
#if defined(__SSE2__)
    static constexpr std::size_t kMaskedSize = 64;
#else
    static constexpr std::size_t kMaskedSize = 0;
#endif
    char* write_masked(char* out, std::string_view text) const;

    const Hl7EscapeHandler& handler_;
    bool ascii_ = true;
    // Each member of special_ (at most the nine bytes that can have a
    // sequence) sixteen times, for comparing a block at once; the slots left
    // over repeat the first member, so all nine are always compared.
    static constexpr std::size_t kSpecialSlots = 9;
    alignas(16) std::array<std::array<unsigned char, 16>, kSpecialSlots> special_blocks_{};
    std::size_t max_expansion_ = 1;
    AsciiByteSet special_;                      // bytes >= 0x80 are never special
    std::array<Replacement, 128> replacement_;  // filled for the special bytes only
};

// Alphanumeric in the Unicode sense: Alphabetic, or numeric (Nd, Nl, No).
bool is_unicode_alnum(char32_t cp) noexcept;

}  // namespace tessarin
