// The assembler over random records, escaped and not, against a plain model
// of the key-reading and gap-filling rules built from std::map. The model also
// bounds the output: nothing beyond the highest numbers is ever written.
#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <optional>

#include "fuzz_check.hpp"
#include "core/json_hl7.hpp"
#include "reference_model.hpp"

using namespace tessarin;
using fuzz::SegmentRecord;

namespace {

std::optional<std::uint64_t> model_index(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text.size() > 20) return std::nullopt;
    unsigned __int128 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > UINT64_MAX) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::optional<Place> model_place(std::string_view key) {
    if (auto n = model_index(key)) return Place{*n, 0, 0};
    const auto open = key.find('['), close = key.find(']');
    if (open != key.npos && close != key.npos) {
        if (close < open) return std::nullopt;
        auto n = model_index(key.substr(0, open));
        auto r = model_index(key.substr(open + 1, close - open - 1));
        if (!n || !r) return std::nullopt;
        if (close + 1 == key.size() || key[close + 1] != '.') return Place{*n, *r, 0};
        auto c = model_index(key.substr(close + 2));
        if (!c) return std::nullopt;
        return Place{*n, *r, *c};
    }
    const auto pieces = fuzz::split(key, '.');
    if (pieces.size() != 2) return std::nullopt;
    auto n = model_index(pieces[0]), c = model_index(pieces[1]);
    if (!n || !c) return std::nullopt;
    return Place{*n, 0, *c};
}

// The message the rules ask for, or nullopt where the assembler must refuse.
std::optional<std::string> model_message(const std::vector<SegmentRecord>& records, const Hl7EscapeHandler& handler,
                                         bool escape) {
    std::string message;
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::map<std::uint64_t, std::map<std::uint64_t, std::map<std::uint64_t, std::string>>> tree;
        std::optional<std::string> name;
        for (const auto& [key, value] : records[i]) {
            if (key == "segment_name") {
                if (escape && value.find_first_of("|\r\n") != std::string::npos) return std::nullopt;
                name = value;
                continue;
            }
            const auto place = model_place(key);
            if (!place) continue;
            if (place->field > kMaxIndex || place->repetition > kMaxIndex || place->component > kMaxIndex)
                return std::nullopt;
            std::string text = value;
            if (escape) {
                text.clear();
                handler.escape_into(text, value);
            }
            tree[place->field][place->repetition][place->component] = std::move(text);
        }
        std::vector<std::string> parts;
        if (name) parts.push_back(*name);
        const std::uint64_t last_field = tree.empty() ? 0 : tree.rbegin()->first;
        for (std::uint64_t n = 1; n <= last_field; ++n) {
            std::string part;
            if (auto field = tree.find(n); field != tree.end()) {
                for (std::uint64_t r = 0; r <= field->second.rbegin()->first; ++r) {
                    if (r > 0) part += '~';
                    auto repetition = field->second.find(r);
                    if (repetition == field->second.end()) continue;
                    const auto& components = repetition->second;
                    const std::uint64_t last_component = components.rbegin()->first;
                    if (last_component == 0) {
                        part += components.at(0);
                        continue;
                    }
                    for (std::uint64_t c = 1; c <= last_component; ++c) {
                        if (c > 1) part += '^';
                        if (auto text = components.find(c); text != components.end()) part += text->second;
                    }
                }
            }
            parts.push_back(part);
        }
        if (i > 0) message += '\n';
        for (std::size_t p = 0; p < parts.size(); ++p) {
            if (p > 0) message += '|';
            message += parts[p];
        }
    }
    return message;
}

// An index costs as many separators as it counts. Their sum over one input
// is held to a budget that grows with the input's size, so each execution's
// work stays linear and the fuzzer keeps its speed; a large input can still
// reach the index limit.
class Numbers {
public:
    Numbers(FuzzedDataProvider& in, std::size_t size) : in_(in), budget_(64 * size) {}

    std::string next() {
        std::string text = draw();
        const std::optional<std::uint64_t> value = model_index(text);
        if (!value || *value > kMaxIndex) return text;  // refused before anything is written
        if (*value <= budget_) {
            budget_ -= *value;
            return text;
        }
        return std::to_string(*value % 16);
    }

private:
    std::string draw() {
        switch (in_.ConsumeIntegralInRange(0, 63)) {
            case 0: return "+" + std::to_string(in_.ConsumeIntegralInRange(0, 12));
            case 1: return "00" + std::to_string(in_.ConsumeIntegralInRange(0, 12));
            case 2: return std::to_string(in_.ConsumeIntegralInRange<std::uint64_t>(65530, 65540));
            case 3:
            case 6: return std::to_string(in_.ConsumeIntegral<std::uint64_t>()) + (in_.ConsumeBool() ? "9" : "");
            case 4:
            case 7: return in_.ConsumeRandomLengthString(4);
            default: return std::to_string(in_.ConsumeIntegralInRange(0, 12));
        }
    }

    FuzzedDataProvider& in_;
    std::uint64_t budget_;
};

std::string key(FuzzedDataProvider& in, Numbers& numbers) {
    switch (in.ConsumeIntegralInRange(0, 6)) {
        case 0: return numbers.next();
        case 1: return numbers.next() + "." + numbers.next();
        case 2: return numbers.next() + "[" + numbers.next() + "]";
        case 3: return numbers.next() + "[" + numbers.next() + "]." + numbers.next();
        case 4: return "segment_name";
        case 5: return numbers.next() + "[" + numbers.next() + "]" + in.ConsumeRandomLengthString(3);
        default: return in.ConsumeRandomLengthString(8);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static const Hl7EscapeHandler handler = create_default_escape_handler();
    FuzzedDataProvider in(data, size);
    Numbers numbers(in, size);
    std::vector<SegmentRecord> records(in.ConsumeIntegralInRange(0, 6));
    for (SegmentRecord& record : records) {
        const int entries = in.ConsumeIntegralInRange(0, 16);
        for (int e = 0; e < entries; ++e) {
            std::string k = key(in, numbers);
            record.emplace_back(std::move(k), in.ConsumeRandomLengthString(24));
        }
        fuzz::sort_record(record);
    }
    // The same records in the flat store that JsonHl7 holds.
    RecordStore store;
    for (const SegmentRecord& record : records) {
        for (const auto& [key, value] : record) store.add(key, value);
        store.end_record();
    }
    for (bool escape : {false, true}) {
        const std::optional<std::string> expected = model_message(records, handler, escape);
        Result<std::string> message = assemble_message(records, handler, escape);
        FUZZ_CHECK(message.has_value() == expected.has_value());
        if (expected) FUZZ_CHECK(message.value() == *expected);
        Result<std::string> from_store = assemble_message(store, handler, escape);
        FUZZ_CHECK(from_store.has_value() == expected.has_value());
        if (expected) FUZZ_CHECK(from_store.value() == *expected);
    }
    return 0;
}
