// The JSON file reader. Either it yields records, and then a small strict
// model parser accepts the same text and finds the same records, or it fails
// with "Invalid JSON: ... at line L column C" where (L, C) lies inside the
// input, and the model refuses the text too.
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

#include "fuzz_check.hpp"
#include "core/json_reader.hpp"
#include "reference_model.hpp"

using namespace tessarin;
using fuzz::SegmentRecord;

namespace {

// Recursive descent over exactly the accepted shape: [ {"k": "v", ...}, ... ].
class Model {
public:
    explicit Model(std::string_view s) : s_(s) {}

    std::optional<std::vector<SegmentRecord>> parse() {
        std::vector<SegmentRecord> records;
        space();
        if (!take('[')) return std::nullopt;
        space();
        if (!take(']')) {
            do {
                space();
                auto record = object();
                if (!record) return std::nullopt;
                records.push_back(std::move(*record));
                space();
            } while (take(','));
            if (!take(']')) return std::nullopt;
        }
        space();
        if (i_ != s_.size()) return std::nullopt;
        return records;
    }

private:
    std::optional<SegmentRecord> object() {
        if (!take('{')) return std::nullopt;
        std::map<std::string, std::string> members;
        space();
        if (!take('}')) {
            do {
                space();
                auto key = string();
                space();
                if (!key || !take(':')) return std::nullopt;
                space();
                auto value = string();
                if (!value) return std::nullopt;
                members[*key] = *value;  // the later duplicate wins
                space();
            } while (take(','));
            if (!take('}')) return std::nullopt;
        }
        return SegmentRecord(members.begin(), members.end());
    }

    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) return std::nullopt;
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') break;
            if (c < 0x20) return std::nullopt;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (i_ >= s_.size()) return std::nullopt;
            const char e = s_[i_++];
            const char* simple = "\"\\/bfnrt";
            const char* meaning = "\"\\/\b\f\n\r\t";
            if (const char* at = std::strchr(simple, e); at && e) {
                out += meaning[at - simple];
                continue;
            }
            if (e != 'u') return std::nullopt;
            auto unit = hex4();
            if (!unit) return std::nullopt;
            std::uint32_t cp = *unit;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (!take('\\') || !take('u')) return std::nullopt;
                auto low = hex4();
                if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
                cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
            }
            tessarin::append_utf8(out, cp);
        }
        if (!fuzz::is_utf8(out)) return std::nullopt;  // raw bytes must have been UTF-8 too
        return out;
    }

    std::optional<std::uint32_t> hex4() {
        if (i_ + 4 > s_.size()) return std::nullopt;
        std::uint32_t value = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return value;
    }

    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool take(char c) {
        if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
        return false;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// Characters per line, where lines end at LF, CRLF or a lone CR.
std::vector<std::size_t> line_lengths(std::string_view s) {
    std::vector<std::size_t> lengths{0};
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\n' || (c == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')))
            lengths.push_back(0);
        else if (c != '\r' && (c & 0xC0) != 0x80)
            ++lengths.back();
    }
    return lengths;
}

void check_position(const std::string& text, std::string_view input) {
    constexpr std::string_view prefix = "HL7 invalid format: Invalid JSON: ";
    FUZZ_CHECK(text.starts_with(prefix));
    const std::size_t at = text.rfind(" at line ");
    FUZZ_CHECK(at != std::string::npos && at > prefix.size());
    unsigned long line = 0, column = 0;
    FUZZ_CHECK(std::sscanf(text.c_str() + at, " at line %lu column %lu", &line, &column) == 2);
    const std::vector<std::size_t> lengths = line_lengths(input);
    FUZZ_CHECK(line >= 1 && line <= lengths.size());
    FUZZ_CHECK(column >= 1 && column <= lengths[line - 1] + 1);
    // A reason of the reader's own: simdjson's texts would mean the two disagreed.
    const std::string_view what = std::string_view(text).substr(prefix.size());
    const std::string_view own[] = {"expected", "unexpected end", "unterminated", "unescaped",
                                    "invalid",  "lone",           "trailing"};
    FUZZ_CHECK(std::any_of(std::begin(own), std::end(own), [&](std::string_view p) { return what.starts_with(p); }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    // Once with a string that has no spare capacity (the reader copies) and
    // once with room for the padding (the reader parses in place).
    std::string tight(input);
    tight.shrink_to_fit();
    std::string roomy;
    roomy.reserve(size + json_padding());
    roomy.assign(input);

    const std::optional<std::vector<SegmentRecord>> expected = Model(input).parse();
    for (const std::string* text : {&tight, &roomy}) {
        Result<RecordStore> store = read_json_store(*text);
        FUZZ_CHECK(store.has_value() == expected.has_value());
        if (store)
            FUZZ_CHECK(fuzz::records_of(store.value()) == *expected);
        else
            check_position(store.error().display(), input);
    }
    return 0;
}
