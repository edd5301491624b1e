#include "core/escape.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/utf8.hpp"
#include "core/utils.hpp"

namespace tessarin {

namespace {

struct CodeRange {
    char32_t first, last;
};

constexpr CodeRange kAlnumRanges[] = {
#include "core/unicode_alnum.inc"
};

std::string utf8_of(char32_t cp) {
    std::string out;
    append_utf8(out, cp);
    return out;
}

}  // namespace

bool is_unicode_alnum(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= '0' && cp <= '9') || ((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z');
    const auto* range = std::upper_bound(std::begin(kAlnumRanges), std::end(kAlnumRanges), cp,
                                         [](char32_t value, const CodeRange& r) { return value < r.first; });
    return range != std::begin(kAlnumRanges) && cp <= std::prev(range)->last;
}

namespace {

constexpr std::pair<std::string_view, std::string_view> kDefaultSequences[] = {
    {"E", "\\"},   {"F", "|"},    {"R", "~"},    {"S", "^"},        {"T", "&"},
    {"X09", "\t"}, {"X0A", "\n"}, {"X0D", "\r"}, {"X0D0A", "\r\n"}, {"X20", " "},
};

}  // namespace

Hl7EscapeHandler create_default_escape_handler() {
    Hl7EscapeHandler handler;
    handler.escape_sequences = kDefaultSequences;
    return handler;
}

std::optional<std::string_view> Hl7EscapeHandler::find_sequence(std::string_view body) const noexcept {
    const auto it = std::lower_bound(escape_sequences.begin(), escape_sequences.end(), body,
                                     [](const auto& entry, std::string_view key) { return entry.first < key; });
    if (it == escape_sequences.end() || it->first != body) return std::nullopt;
    return it->second;
}

std::string_view escape_letters(const Hl7EscapeHandler& handler, char32_t cp) noexcept {
    if (cp == handler.field_separator) return "F";
    if (cp == handler.component_separator) return "S";
    if (cp == handler.repetition_separator) return "R";
    if (cp == handler.subcomponent_separator) return "T";
    if (cp == handler.escape_character) return "E";
    if (cp == U'\t') return "X09";
    if (cp == U'\n') return "X0A";
    if (cp == U'\r') return "X0D";
    if (cp == U' ') return "X20";
    return {};
}

namespace {

// The escape character itself is doubled rather than written as "\E\".
std::string escape_sequence(const std::string& esc, std::string_view letters) {
    return letters == "E" ? esc + esc : esc + std::string(letters) + esc;
}

}  // namespace

std::string Hl7EscapeHandler::escape(std::string_view text) const {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    escape_into(out, text);
    return out;
}

void Hl7EscapeHandler::escape_into(std::string& out, std::string_view text) const {
    const std::string esc = utf8_of(escape_character);
    std::size_t copied = 0;
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        const std::string_view letters = escape_letters(*this, c.code_point);
        if (!letters.empty()) {
            out.append(text, copied, i - copied);
            out += escape_sequence(esc, letters);
            copied = i + c.length;
        }
        i += c.length;
    }
    out.append(text, copied, text.size() - copied);
}

EscapeWriter::EscapeWriter(const Hl7EscapeHandler& handler) : handler_(handler) {
    for (char32_t member : {handler.field_separator, handler.component_separator, handler.repetition_separator,
                            handler.subcomponent_separator, handler.escape_character})
        ascii_ = ascii_ && member < 0x80;
    const std::string esc = utf8_of(handler.escape_character);
    // The longest sequence is two escape characters around three letters.
    max_expansion_ = 2 * esc.size() + 3;
    if (!ascii_) return;
    std::size_t special_count = 0;
    // Only these characters can have a sequence; the first rule that names one wins.
    for (char32_t byte : {handler.field_separator, handler.component_separator, handler.repetition_separator,
                          handler.subcomponent_separator, handler.escape_character, U'\t', U'\n', U'\r', U' '}) {
        if (special_.contains(static_cast<unsigned char>(byte))) continue;
        const std::string_view letters = escape_letters(handler, byte);
        if (letters.empty()) continue;
        special_.add(static_cast<unsigned char>(byte));
        special_blocks_[special_count++].fill(static_cast<unsigned char>(byte));
        const std::string sequence = escape_sequence(esc, letters);
        Replacement& replacement = replacement_[byte];
        std::memcpy(replacement.text, sequence.data(), sequence.size());
        replacement.size = static_cast<std::uint8_t>(sequence.size());
    }
    for (std::size_t k = special_count; k < kSpecialSlots && special_count > 0; ++k)
        special_blocks_[k] = special_blocks_[0];
}

const EscapeWriter* EscapeWriter::shared_for(const Hl7EscapeHandler& handler) {
    // A default-made handler has the default separators, so the test below
    // compares with constants and only the writer needs a guard.
    constexpr Hl7EscapeHandler kSeparators{};
    static const Hl7EscapeHandler kDefault = create_default_escape_handler();
    static const EscapeWriter kWriter(kDefault);
    const bool is_default = handler.field_separator == kSeparators.field_separator &&
                            handler.component_separator == kSeparators.component_separator &&
                            handler.repetition_separator == kSeparators.repetition_separator &&
                            handler.escape_character == kSeparators.escape_character &&
                            handler.subcomponent_separator == kSeparators.subcomponent_separator;
    // The table takes no part in escaping.
    return is_default ? &kWriter : nullptr;
}

void EscapeWriter::write(std::string& out, std::string_view text) const {
    const std::size_t start = out.size();
    out.resize(start + text.size() * max_expansion_ + kReplacementRoom);
    char* const end = write(out.data() + start, text);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::size_t EscapeWriter::escaped_size(std::string_view text) const {
    if (!ascii_) {
        std::string escaped;
        handler_.escape_into(escaped, text);
        return escaped.size();
    }
    std::size_t size = text.size();
    special_.scan(text, [&](std::size_t i) { size += replacement_[static_cast<unsigned char>(text[i])].size - 1u; });
    return size;
}

char* EscapeWriter::write(char* out, std::string_view text) const {
    if (!ascii_) {
        std::string escaped;
        handler_.escape_into(escaped, text);
        if (!escaped.empty()) std::memcpy(out, escaped.data(), escaped.size());
        return out + escaped.size();
    }
    const char* const data = text.data();
    const std::size_t size = text.size();
    // A sequence is written as its whole 8-byte slot; the bytes past it are
    // overwritten next or lie in the room past the text.
    const auto replace = [&](unsigned char byte) {
        static_assert(sizeof(Replacement) == kReplacementRoom);
        std::memcpy(out, &replacement_[byte], kReplacementRoom);
        out += replacement_[byte].size;
    };
    // Byte by byte: the whole of a short value, and the stretch after each
    // special byte of a long one, since special bytes (spaces, mostly) come
    // close together.
    const auto copy_bytewise = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            const unsigned char byte = static_cast<unsigned char>(data[i]);
            if (special_.contains(byte))
                replace(byte);
            else
                *out++ = static_cast<char>(byte);
        }
    };
    if (size < 16) {
        copy_bytewise(0, size);
        return out;
    }
    constexpr std::size_t kStretch = 16;
    std::size_t copied = 0;
    for (std::size_t hit = special_.find(text, 0); hit < size; hit = special_.find(text, copied)) {
        copy_bytes(out, data + copied, hit - copied);
        out += hit - copied;
        replace(static_cast<unsigned char>(data[hit]));
        copied = std::min(size, hit + 1 + kStretch);
        copy_bytewise(hit + 1, copied);
    }
    copy_bytes(out, data + copied, size - copied);
    return out + (size - copied);
}

char* EscapeWriter::write_masked(char* out, std::string_view text) const {
#if defined(__SSE2__)
    if (special_.empty()) return write(out, text);  // the unused slots would match NUL bytes
    const char* const data = text.data();
    const std::size_t size = text.size();
    // Bit i marks a special byte at i; the blocks may read past the value
    // into the 16 bytes that follow it, which the last mask drops.
    std::uint64_t mask = 0;
    for (std::size_t at = 0; at < size; at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        __m128i hits = _mm_setzero_si128();
        for (std::size_t k = 0; k < kSpecialSlots; ++k)
            hits = _mm_or_si128(
                hits,
                _mm_cmpeq_epi8(block, _mm_load_si128(reinterpret_cast<const __m128i*>(special_blocks_[k].data()))));
        mask |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(hits))) << at;
    }
    if (size < 64) mask &= (std::uint64_t{1} << size) - 1;
    std::size_t copied = 0;
    for (; mask != 0; mask &= mask - 1) {
        const auto hit = static_cast<std::size_t>(__builtin_ctzll(mask));
        copy_bytes(out, data + copied, hit - copied);
        out += hit - copied;
        const auto byte = static_cast<unsigned char>(data[hit]);
        std::memcpy(out, &replacement_[byte], kReplacementRoom);
        out += replacement_[byte].size;
        copied = hit + 1;
    }
    copy_bytes(out, data + copied, size - copied);
    return out + (size - copied);
#else
    return write(out, text);
#endif
}

std::string Hl7EscapeHandler::unescape(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    unescape_into(out, text);
    return out;
}

void Hl7EscapeHandler::unescape_into(std::string& out, std::string_view text) const {
    const std::string esc = utf8_of(escape_character);
    const auto escape_at = [&](std::size_t pos) { return text.compare(pos, esc.size(), esc) == 0; };
    std::size_t i = 0;
    for (;;) {
        const std::size_t at = esc.size() == 1 ? text.find(esc[0], i) : text.find(esc, i);
        if (at == std::string_view::npos) {
            out.append(text, i, text.size() - i);
            return;
        }
        out.append(text, i, at - i);
        const std::size_t body_start = at + esc.size();
        if (body_start >= text.size()) {
            out += esc;  // a lone escape character at the end stays
            return;
        }
        if (escape_at(body_start)) {
            out += esc;  // a doubled escape character stands for one
            i = body_start + esc.size();
            continue;
        }
        // The first character joins the body whatever it is; then alphanumerics.
        std::size_t end = body_start + decode_utf8(text, body_start).length;
        std::size_t terminator_length = 0;
        while (end < text.size()) {
            const unsigned char byte = static_cast<unsigned char>(text[end]);
            if (byte < 0x80) {  // most bodies are ASCII letters and digits
                const bool alnum = (byte >= '0' && byte <= '9') || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z');
                if (!alnum) {
                    terminator_length = 1;
                    break;
                }
                ++end;
                continue;
            }
            const Utf8Char c = decode_utf8(text, end);
            if (!is_unicode_alnum(c.code_point)) {
                terminator_length = c.length;
                break;
            }
            end += c.length;
        }
        const std::string_view body = text.substr(body_start, end - body_start);
        const std::optional<std::string_view> replacement =
            escape_sequences.empty() ? std::nullopt : find_sequence(body);
        if (replacement) {
            out += *replacement;
        } else {
            out += esc;
            out += body;
        }
        if (terminator_length == 0) return;  // the body ran to the end of the text
        // A closing escape character is consumed even after an unknown body.
        if (!escape_at(end)) out.append(text, end, terminator_length);
        i = end + terminator_length;
    }
}

std::vector<std::string> Hl7EscapeHandler::parse_field_with_escaping(std::string_view field) const {
    const std::string value = unescape(field);
    std::vector<std::string> components;
    split_pieces(value, utf8_of(component_separator), components);
    return components;
}

}  // namespace tessarin
