// Error values of the converter core. Every failure that the input can cause
// is a value: an operation that can fail returns Result<T>, and the Python
// layer turns the error into an exception at exactly one place. The core
// throws only when a resource runs out: std::bad_alloc from any allocation
// (json_reader.cpp also throws it when simdjson reports MEMALLOC) and
// std::length_error from a container asked for more than it can hold. The
// binding's `guarded` turns both into MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace tessarin {

enum class Hl7ErrorKind : std::uint8_t {
    IoError,
    InvalidFormat,
    EmptyMessage,
    InvalidSegment,
    ParsingError,
    ValidationError,
    ValidationFailed,
    FieldError,
    ComponentError,
    InvalidEscapeSequence,
    FieldTooLong,
    ComponentTooLong,
    MissingRequiredSegment,
    InvalidSegmentName,
    InvalidFieldSeparators,
    JsonError,
    UnsupportedVersion,
    EncodingError,
    ConfigurationError,
};

// One tagged value for all kinds: `text` and `text2` hold the kind's text
// members in template order, `count` its counts. Unused members stay empty.
class Hl7Error {
public:
    static Hl7Error io(std::string description) { return {Hl7ErrorKind::IoError, std::move(description)}; }
    static Hl7Error invalid_format(std::string detail) { return {Hl7ErrorKind::InvalidFormat, std::move(detail)}; }
    static Hl7Error empty_message() { return {Hl7ErrorKind::EmptyMessage, {}}; }
    static Hl7Error invalid_segment(std::string detail) { return {Hl7ErrorKind::InvalidSegment, std::move(detail)}; }
    static Hl7Error parsing(std::size_t line, std::string message) {
        return {Hl7ErrorKind::ParsingError, std::move(message), {}, {line, 0}};
    }
    static Hl7Error validation_error(std::string detail) { return {Hl7ErrorKind::ValidationError, std::move(detail)}; }
    static Hl7Error validation_failed(std::string detail) {
        return {Hl7ErrorKind::ValidationFailed, std::move(detail)};
    }
    static Hl7Error field(std::string segment, std::size_t field, std::string message) {
        return {Hl7ErrorKind::FieldError, std::move(segment), std::move(message), {field, 0}};
    }
    static Hl7Error component(std::string segment, std::size_t field, std::size_t component, std::string message) {
        return {Hl7ErrorKind::ComponentError, std::move(segment), std::move(message), {field, component}};
    }
    static Hl7Error invalid_escape_sequence(std::string sequence, std::size_t position) {
        return {Hl7ErrorKind::InvalidEscapeSequence, std::move(sequence), {}, {position, 0}};
    }
    static Hl7Error field_too_long(std::size_t length, std::size_t max_length) {
        return {Hl7ErrorKind::FieldTooLong, {}, {}, {length, max_length}};
    }
    static Hl7Error component_too_long(std::size_t length, std::size_t max_length) {
        return {Hl7ErrorKind::ComponentTooLong, {}, {}, {length, max_length}};
    }
    static Hl7Error missing_required_segment(std::string detail) {
        return {Hl7ErrorKind::MissingRequiredSegment, std::move(detail)};
    }
    // `rule` replaces the module's own rule in the text, for a validator that
    // follows other rules; empty keeps the module's.
    static Hl7Error invalid_segment_name(std::string name, std::string rule = {}) {
        return {Hl7ErrorKind::InvalidSegmentName, std::move(name), std::move(rule)};
    }
    static Hl7Error invalid_field_separators(std::string value, std::string rule = {}) {
        return {Hl7ErrorKind::InvalidFieldSeparators, std::move(value), std::move(rule)};
    }
    static Hl7Error json(std::string description) { return {Hl7ErrorKind::JsonError, std::move(description)}; }
    static Hl7Error unsupported_version(std::string version, std::string supported) {
        return {Hl7ErrorKind::UnsupportedVersion, std::move(version), std::move(supported)};
    }
    static Hl7Error encoding(std::string detail) { return {Hl7ErrorKind::EncodingError, std::move(detail)}; }
    static Hl7Error configuration(std::string detail) { return {Hl7ErrorKind::ConfigurationError, std::move(detail)}; }

    Hl7ErrorKind kind() const noexcept { return kind_; }
    // The display text of the kind's template, filled with the members.
    std::string display() const;

private:
    struct Counts {
        std::size_t first, second;
    };
    Hl7Error(Hl7ErrorKind kind, std::string text, std::string text2 = {}, Counts counts = {0, 0})
        : kind_(kind), text_(std::move(text)), text2_(std::move(text2)), counts_(counts) {}

    Hl7ErrorKind kind_;
    std::string text_;
    std::string text2_;
    Counts counts_;
};

// A value or the error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Hl7Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    Hl7Error& error() & { return std::get<1>(state_); }
    Hl7Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Hl7Error> state_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace tessarin
