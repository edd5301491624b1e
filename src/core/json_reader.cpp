#include "core/json_reader.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "core/key_order.hpp"
#include "core/key_place.hpp"
#include "core/per_thread.hpp"
#include "core/utf8.hpp"

namespace tessarin {

static_assert(json_padding() == simdjson::SIMDJSON_PADDING,
              "json_padding() must match the padding simdjson reads past the text");

namespace {

// ---------------------------------------------------------------------------
// Fast path: simdjson On-Demand, no DOM. It only says *that* the input is bad,
// often without a usable position, so failures are re-examined below.

// Documents up to this size reuse their thread's parser and its buffers,
// which for a small file cost more to set up than to fill; larger ones get a
// parser of their own, so no thread keeps a large one.
constexpr std::size_t kReusedParserSize = 256 * 1024;

// The places of the keys seen last, by a hash of their bytes: files repeat a
// few keys many times, and reading one here is cheaper than reading the key
// again. A place depends on the key's text alone, so the memo is kept per
// thread across documents. Keys and values lie in the padded document or
// the parser's padded string buffer.
class KeyPlaces {
public:
    void add(RecordStore& records, std::string_view key, std::string_view value) {
        const std::uint64_t prefix = key_prefix(key);
        // Prefix and suffix hold the whole of a key of up to 16 bytes; size 0 marks a free slot.
        if (key.empty() || key.size() > 16) return records.add(key, value, prefix, key_place(key));
        const std::uint64_t suffix = key.size() > 8 ? key_prefix(key.substr(8)) : 0;
        Seen& seen = seen_[((prefix ^ suffix * 0xFF51AFD7ED558CCDull) * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (seen.prefix != prefix || seen.suffix != suffix || seen.size != key.size())
            seen = {prefix, suffix, key_place(key), static_cast<std::uint32_t>(key.size())};
        records.add_padded(key, value, prefix, seen.place);
    }

private:
    static constexpr unsigned kBits = 10;
    struct Seen {
        std::uint64_t prefix = 0, suffix = 0;
        KeyPlace place;
        std::uint32_t size = 0;
    };
    Seen seen_[std::size_t{1} << kBits];
};

// Apart from its caller, whose error paths cost it registers.
[[gnu::noinline]] simdjson::error_code parse_records(simdjson::padded_string_view json, RecordStore& records) {
    simdjson::ondemand::parser* reused =
        json.size() <= kReusedParserSize ? PerThread<simdjson::ondemand::parser>::get(true) : nullptr;
    std::optional<simdjson::ondemand::parser> own;
    simdjson::ondemand::parser& parser = reused ? *reused : own.emplace();
    simdjson::ondemand::document doc;
    if (auto error = parser.iterate(json).get(doc)) return error;
    simdjson::ondemand::array array;
    if (auto error = doc.get_array().get(array)) return error;
    // Keys and values rarely take more room than the text they came from,
    // an entry ("1.2":"x",) rarely less than 12 bytes of it, and a record
    // rarely less than 256.
    records.reserve(json.size(), json.size() / 12, json.size() / 256 + 1);
    KeyPlaces* places = PerThread<KeyPlaces>::get(true);
    const auto add = [&](std::string_view key, std::string_view value) {
        if (places)
            places->add(records, key, value);
        else  // the memo could not be made
            records.add(key, value);
    };
    for (auto element : array) {
        simdjson::ondemand::object object;
        if (auto error = element.get_object().get(object)) return error;
        for (auto field : object) {
            // A key without a backslash is its raw text, read in place from
            // the padded document; others are unescaped into the parser's
            // string buffer. Both views stay valid until the next document,
            // so the key survives get_string(). Unescaping refuses lone
            // surrogates (UTF-8 of the raw text, and control characters in
            // strings, are checked in stage 1), so only valid UTF-8 is stored.
            std::string_view key;
            if (auto error = field.escaped_key().get(key)) return error;
            if (std::find(key.begin(), key.end(), '\\') != key.end())  // keys are short: no library call
                if (auto error = field.unescaped_key().get(key)) return error;
            std::string_view value;
            if (auto error = field.value().get_string().get(value)) return error;
            add(key, value);
        }
        records.end_record();
    }
    // Iteration stops at the bracket that closes the first array; anything
    // after it ("[] ]", "[]{}") is left unread unless asked for.
    return doc.at_end() ? simdjson::SUCCESS : simdjson::TRAILING_CONTENT;
}

// ---------------------------------------------------------------------------
// Error locator: one forward pass over the raw text that finds the first byte
// at which the input stops being the beginning of an accepted document. The
// accepted shape is only two levels deep, so a flat state machine suffices
// and any nesting depth is refused without recursion.

struct Failure {
    std::size_t offset;
    std::string what;
};

constexpr bool is_json_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string code_point_name(char32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
    return buf;
}

// One character, for messages: printable ASCII quoted, anything else by code point.
std::string describe_char(std::string_view s, std::size_t i) {
    if (i >= s.size()) return "the end of input";
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    const Utf8Char d = decode_utf8<Utf8Mode::Strict>(s, i);
    if (d.length == 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "the byte 0x%02X", static_cast<unsigned>(c));
        return buf;
    }
    if (d.code_point == 0xFEFF) return "a byte order mark (U+FEFF)";
    return code_point_name(d.code_point);
}

// What starts at `i`, named as a JSON value where one begins there.
std::string describe_token(std::string_view s, std::size_t i) {
    if (i >= s.size()) return describe_char(s, i);
    switch (s[i]) {
        case '{': return "an object";
        case '[': return "an array";
        case '"': return "a string";
        case '-': return "a number";
        default: break;
    }
    if (s[i] >= '0' && s[i] <= '9') return "a number";
    for (const char* literal : {"true", "false", "null"}) {
        if (s.substr(i).starts_with(literal)) return std::string("'") + literal + "'";
    }
    return describe_char(s, i);
}

Failure expected(std::string_view what, std::string_view s, std::size_t i) {
    if (i >= s.size()) return {i, "unexpected end of input, expected " + std::string(what)};
    return {i, "expected " + std::string(what) + " but found " + describe_token(s, i)};
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string missing_low_surrogate(std::string_view high) {
    return "lone surrogate in \\u escape: " + std::string(high) +
           " must be followed by a low surrogate \\uDC00-\\uDFFF";
}

enum class Unit { Leading, Trailing };

// Reads the four hex digits of a \u escape at `i`. A digit is refused as soon
// as no continuation could give a valid code unit in this place, so a lone
// surrogate is reported where it becomes certain.
std::optional<Failure> read_hex4(std::string_view s, std::size_t& i, Unit unit, std::string_view high,
                                 unsigned& value) {
    value = 0;
    for (int k = 0; k < 4; ++k, ++i) {
        if (i >= s.size()) return Failure{s.size(), "unterminated string"};
        const int digit = hex_value(s[i]);
        if (digit < 0) {
            return Failure{i, "invalid \\u escape: expected a hex digit but found " + describe_char(s, i)};
        }
        value = (value << 4) | static_cast<unsigned>(digit);
        if (unit == Unit::Leading && k == 1 && value >= 0xDC && value <= 0xDF) {
            return Failure{i,
                           "lone surrogate in \\u escape: a low surrogate \\uDC00-\\uDFFF must follow a high "
                           "surrogate"};
        }
        if (unit == Unit::Trailing && ((k == 0 && value != 0xD) || (k == 1 && value < 0xDC))) {
            return Failure{i, missing_low_surrogate(high)};
        }
    }
    return std::nullopt;
}

// `i` is at a backslash inside a string; on success it moves past the escape.
std::optional<Failure> scan_escape(std::string_view s, std::size_t& i) {
    const std::size_t n = s.size();
    const std::size_t start = i;
    if (i + 1 >= n) return Failure{n, "unterminated string"};
    switch (s[i + 1]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't': i += 2; return std::nullopt;
        case 'u': break;
        default: {
            const auto c = static_cast<unsigned char>(s[i + 1]);
            if (c >= 0x20 && c < 0x7F) {
                return Failure{i + 1, std::string("invalid escape sequence '\\") + static_cast<char>(c) + "'"};
            }
            return Failure{i + 1, "invalid escape sequence: '\\' followed by " + describe_char(s, i + 1)};
        }
    }
    i += 2;
    unsigned unit = 0;
    if (auto failure = read_hex4(s, i, Unit::Leading, {}, unit)) return failure;
    if (unit < 0xD800 || unit > 0xDBFF) return std::nullopt;
    const std::string_view high = s.substr(start, 6);
    if (i >= n) return Failure{n, "unterminated string"};
    if (s[i] != '\\') return Failure{i, missing_low_surrogate(high)};
    if (i + 1 >= n) return Failure{n, "unterminated string"};
    if (s[i + 1] != 'u') return Failure{i + 1, missing_low_surrogate(high)};
    i += 2;
    return read_hex4(s, i, Unit::Trailing, high, unit);
}

// `i` is at an opening quote; on success it moves past the closing one.
std::optional<Failure> scan_string(std::string_view s, std::size_t& i) {
    const std::size_t n = s.size();
    ++i;
    for (;;) {
        if (i >= n) return Failure{n, "unterminated string"};
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"') {
            ++i;
            return std::nullopt;
        }
        if (c < 0x20) return Failure{i, "unescaped control character " + code_point_name(c) + " in string"};
        if (c == '\\') {
            if (auto failure = scan_escape(s, i)) return failure;
        } else if (c < 0x80) {
            ++i;
        } else {
            const Utf8Char d = decode_utf8<Utf8Mode::Strict>(s, i);
            if (d.length == 0) return Failure{d.bad, "invalid UTF-8 in string"};
            i += d.length;
        }
    }
}

std::optional<Failure> locate_first_error(std::string_view s) {
    const std::size_t n = s.size();
    std::size_t i = 0;
    auto skip_space = [&] {
        while (i < n && is_json_space(static_cast<unsigned char>(s[i]))) ++i;
    };
    auto at = [&](char c) { return i < n && s[i] == c; };

    skip_space();
    if (!at('[')) return expected("'['", s, i);
    ++i;
    skip_space();
    if (at(']')) {
        ++i;
    } else {
        for (bool first_element = true;; first_element = false) {
            if (!at('{')) return expected(first_element ? "an object or ']'" : "an object", s, i);
            ++i;
            skip_space();
            if (at('}')) {
                ++i;
            } else {
                for (bool first_member = true;; first_member = false) {
                    if (!at('"')) return expected(first_member ? "a string key or '}'" : "a string key", s, i);
                    if (auto failure = scan_string(s, i)) return failure;
                    skip_space();
                    if (!at(':')) return expected("':'", s, i);
                    ++i;
                    skip_space();
                    if (!at('"')) return expected("a string value", s, i);
                    if (auto failure = scan_string(s, i)) return failure;
                    skip_space();
                    if (at(',')) {
                        ++i;
                        skip_space();
                        continue;
                    }
                    if (at('}')) {
                        ++i;
                        break;
                    }
                    return expected("',' or '}'", s, i);
                }
            }
            skip_space();
            if (at(',')) {
                ++i;
                skip_space();
                continue;
            }
            if (at(']')) {
                ++i;
                break;
            }
            return expected("',' or ']'", s, i);
        }
    }
    skip_space();
    if (i < n) return Failure{i, "trailing characters after the array, found " + describe_token(s, i)};
    return std::nullopt;
}

// Line and column of `offset`, both from 1. Lines end at LF, CRLF or a lone
// CR. Columns count characters (Unicode scalar values), not bytes, so they
// match what an editor shows for non-ASCII text.
std::pair<std::size_t, std::size_t> line_and_column(std::string_view s, std::size_t offset) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\n' || (c == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n'))) {
            ++line;
            column = 1;
        } else if (c != '\r' && (c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return {line, column};
}

Hl7Error invalid_json(std::string_view text, std::size_t offset, const std::string& what) {
    const auto [line, column] = line_and_column(text, offset);
    return Hl7Error::invalid_format("Invalid JSON: " + what + " at line " + std::to_string(line) + " column " +
                                    std::to_string(column));
}

}  // namespace

std::size_t json_size_limit() noexcept { return simdjson::SIMDJSON_MAXSIZE_BYTES; }

Hl7Error json_too_large(std::size_t size) {
    return Hl7Error::invalid_format("JSON document of " + std::to_string(size) +
                                    " bytes is over the reader's limit of " + std::to_string(json_size_limit()) +
                                    " bytes");
}

// Running out of memory throws std::bad_alloc, here also when simdjson reports
// it as an error code, like any other allocation of the core (errors.hpp).
Result<RecordStore> read_json_store(const std::string& text) { return read_json_store(text, text.capacity()); }

Result<RecordStore> read_json_store(std::string_view text, std::size_t capacity) {
    RecordStore records;
    if (Status status = read_json_store(text, capacity, records); !status) return std::move(status).error();
    return records;
}

Status read_json_store(std::string_view text, std::size_t capacity, RecordStore& records) {
    // Past the cap the parser fails with no position of its own to report.
    if (text.size() > json_size_limit()) return json_too_large(text.size());
    simdjson::padded_string copy;
    simdjson::padded_string_view view;
    if (capacity >= text.size() + simdjson::SIMDJSON_PADDING) {
        view = simdjson::padded_string_view(text.data(), text.size(), capacity);
    } else {
        copy = simdjson::padded_string(text.data(), text.size());
        if (copy.data() == nullptr) throw std::bad_alloc();
        view = copy;
    }
    // simdjson skips a leading byte order mark, which RFC 8259 forbids and
    // the reader has always refused; the locator reports it.
    const simdjson::error_code error =
        text.starts_with("\xEF\xBB\xBF") ? simdjson::TAPE_ERROR : parse_records(view, records);
    if (error == simdjson::SUCCESS) return Ok{};
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    records = {};
    if (auto failure = locate_first_error(text)) return invalid_json(text, failure->offset, failure->what);
    // The locator accepts every document simdjson should; a disagreement
    // (a limit of simdjson's other than its size cap) still gets a position.
    return invalid_json(text, text.size(), simdjson::error_message(error));
}

}  // namespace tessarin
