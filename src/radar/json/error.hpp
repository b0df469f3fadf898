// Error values shared by every layer: the reader's JsonError and the one
// error of the system, RadarError. Nothing below the binding throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace radar {

struct JsonError {
    std::string message;
    // line 0: no position (errors raised while walking an already parsed value)
    uint64_t line = 0;
    uint64_t column = 0;

    // "{message} at line {line} column {column}", or the message alone
    std::string to_text() const;
};

enum class ErrorKind : uint8_t { Parse, BadSpec };

struct RadarError {
    ErrorKind kind = ErrorKind::Parse;
    std::string message;

    static RadarError parse(std::string message) { return {ErrorKind::Parse, std::move(message)}; }
    static RadarError bad_spec(std::string message) { return {ErrorKind::BadSpec, std::move(message)}; }
    static RadarError from_json(const JsonError& e) { return parse(e.to_text()); }

    // "parse: {}" or "bad spec: {}"
    std::string render() const;
};

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(RadarError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    RadarError& error() { return std::get<1>(v_); }
    const RadarError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, RadarError> v_;
};

}  // namespace radar
