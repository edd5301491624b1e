// The reference model the fuzz targets compare the core against: the segment
// tree (Hl7Segment and Hl7Field, built whole, then rendered by to_json), the
// validator's rules over that tree, and records as separate strings. Written for plainness, not speed; the product
// reads the same things straight from the text (SegmentScanner, Hl7Validator).
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/escape.hpp"
#include "core/key_order.hpp"
#include "core/record.hpp"
#include "core/segments.hpp"
#include "core/utf8.hpp"
#include "core/utils.hpp"
#include "core/validation.hpp"

namespace fuzz {

using namespace tessarin;

// One segment record as separate strings.
using SegmentRecord = std::vector<std::pair<std::string, std::string>>;

// Key order; of several entries with one key the one added last survives.
inline void sort_record(SegmentRecord& record) {
    record.erase(sort_keeping_last(
                     record.begin(), record.end(), [](const auto& entry) { return key_prefix(entry.first); },
                     [](const auto& entry) { return std::string_view(entry.first); }),
                 record.end());
}

inline std::string key_text(const EntryKey& key) {
    char buffer[EntryKey::kMaxText];
    return std::string(buffer, key.write(buffer));
}

// The records of a store, copied out.
inline std::vector<SegmentRecord> records_of(const RecordStore& store) {
    std::vector<SegmentRecord> records;
    for (std::size_t i = 0; i < store.size(); ++i) {
        SegmentRecord& record = records.emplace_back();
        for (const auto& [key, value] : store[i]) record.emplace_back(key, value);
    }
    return records;
}

struct Hl7Field {
    std::string value;
    std::optional<std::vector<std::string>> components;
    std::optional<std::vector<Hl7Field>> repetitions;

    static Hl7Field from_string(std::string_view text, const Hl7EscapeHandler* handler) {
        std::string component = "^", repetition = "~";
        if (handler) {
            component.clear();
            repetition.clear();
            append_utf8(component, handler->component_separator);
            append_utf8(repetition, handler->repetition_separator);
        }
        // One repetition of a field: never itself repeated.
        const auto repetition_of = [&](std::string_view piece) {
            Hl7Field field;
            field.value = handler ? handler->unescape(piece) : std::string(piece);
            if (contains(field.value, component)) split_pieces(field.value, component, field.components.emplace());
            return field;
        };
        const bool guarded = contains(text, kGuardText);
        if (contains(text, repetition) && !guarded) {
            Hl7Field field;
            field.value = std::string(text);
            field.repetitions.emplace();
            for_each_piece(text, repetition, 0, [&](std::string_view piece, std::size_t) {
                field.repetitions->push_back(repetition_of(piece));
            });
            return field;
        }
        if (!handler) {
            Hl7Field field;
            field.value = std::string(text);
            if (!guarded && contains(text, component)) split_pieces(text, component, field.components.emplace());
            return field;
        }
        // With a handler components are cut in the unescaped text, guard or not.
        return repetition_of(text);
    }
};

struct Hl7Segment {
    std::string name;
    std::vector<Hl7Field> fields;  // fields[i] is field index i + 1

    static Hl7Segment from_string(std::string_view line, const Hl7EscapeHandler* handler) {
        Hl7Segment segment;
        const std::size_t bar = line.find('|');
        segment.name = std::string(line.substr(0, bar));
        if (bar == std::string_view::npos) return segment;
        for_each_piece(line.substr(bar + 1), "|", 1, [&](std::string_view piece, std::size_t) {
            segment.fields.push_back(Hl7Field::from_string(piece, handler));
        });
        return segment;
    }

    SegmentRecord to_json() const {
        using Form = EntryKey::Form;
        SegmentRecord record{{"segment_name", name}};
        const auto add = [&](EntryKey key, const std::string& value) { record.emplace_back(key_text(key), value); };
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::size_t n = i + 1;
            const Hl7Field& field = fields[i];
            if (field.repetitions) {
                for (std::size_t r = 0; r < field.repetitions->size(); ++r) {
                    const Hl7Field& repetition = (*field.repetitions)[r];
                    if (!repetition.components)
                        add({Form::Repetition, n, r, 0}, repetition.value);
                    else
                        for (std::size_t c = 0; c < repetition.components->size(); ++c)
                            add({Form::RepetitionComponent, n, r, c + 1}, (*repetition.components)[c]);
                }
            } else if (field.components) {
                for (std::size_t c = 0; c < field.components->size(); ++c)
                    add({Form::Component, n, 0, c + 1}, (*field.components)[c]);
            } else {
                add({Form::Field, n, 0, 0}, field.value);
            }
        }
        sort_record(record);
        return record;
    }
};

// The validator's rules over parsed segments, in the order they are checked;
// the display text of the first failure, or nullopt when all hold.
// With hl7_syntax, rules 3 and 8 are the feed command's.
inline std::optional<std::string> validation_failure(const std::vector<Hl7Segment>& segments, bool strict,
                                                     bool required, bool hl7_syntax = false) {
    const auto failed = [](const Hl7Error& error) { return std::optional<std::string>(error.display()); };
    if (segments.empty()) return failed(Hl7Error::validation_error("Message contains no segments"));
    const Hl7Segment& header = segments.front();
    if (header.name != "MSH") return failed(Hl7Error::missing_required_segment("MSH (Message Header)"));
    if (header.fields.size() < 11)
        return failed(Hl7Error::validation_failed("MSH segment must have at least 12 fields"));
    const std::string& separators = header.fields[0].value;
    if (hl7_syntax && separators.size() != 4 && separators.size() != 5)
        return "Invalid field separators: " + separators +
               " (must be 4 characters, or 5 with the truncation character)";
    if (!hl7_syntax && separators.size() != 4) return failed(Hl7Error::invalid_field_separators(separators));
    const std::string& version = header.fields[10].value;
    const std::vector<std::string> versions = {"2.1", "2.2", "2.3", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.8", "2.9"};
    if (strict && std::find(versions.begin(), versions.end(), version) == versions.end())
        return failed(Hl7Error::unsupported_version(version, "2.1, 2.2, 2.3, 2.4, 2.5, 2.5.1, 2.6, 2.7, 2.8, 2.9"));
    const std::string& message_type = header.fields[7].value;
    if (strict && std::count(message_type.begin(), message_type.end(), '^') < 2)
        return failed(Hl7Error::validation_failed(
            "Message type (field 8) must have at least 3 components: event^structure^version"));
    if (required && std::none_of(segments.begin(), segments.end(), [](const Hl7Segment& s) { return s.name == "PID"; }))
        return failed(Hl7Error::missing_required_segment("PID (Patient Identification)"));
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::string& name = segments[i].name;
        if (name.empty())
            return failed(Hl7Error::validation_failed("Segment " + std::to_string(i + 1) + " has empty segment name"));
        const bool letters = std::all_of(name.begin(), name.end(),
                                         [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
        const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
        const auto upper_or_digit = [&](char c) { return upper(c) || (c >= '0' && c <= '9'); };
        if (hl7_syntax && (name.size() != 3 || !upper(name[0]) || !upper_or_digit(name[1]) || !upper_or_digit(name[2])))
            return "Invalid segment name: " + name +
                   " (must be 3 characters: an uppercase letter, then uppercase letters or digits)";
        if (!hl7_syntax && (name.size() != 3 || !letters)) return failed(Hl7Error::invalid_segment_name(name));
        for (const Hl7Field& field : segments[i].fields) {
            if (field.value.size() > kMaxValueLength)
                return failed(Hl7Error::field_too_long(field.value.size(), kMaxValueLength));
            if (field.components)
                for (const std::string& component : *field.components)
                    if (component.size() > kMaxValueLength)
                        return failed(Hl7Error::component_too_long(component.size(), kMaxValueLength));
        }
    }
    return std::nullopt;
}

}  // namespace fuzz
