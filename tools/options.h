#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Tools {

// A small command-line reader: flags, options with one value, and positional
// arguments, in any order. Unknown options and missing values are errors; "-o" stands
// for "--output" wherever a command has that option.
class Options {
public:
    Options(std::vector<std::string_view> const& args, std::vector<std::string_view> const& flags,
            std::vector<std::string_view> const& valued);

    bool has(std::string_view flag) const;
    // Whether the flag or the option was given at all.
    bool given(std::string_view name) const;
    std::optional<std::string> value(std::string_view option) const;
    std::vector<std::string> const& positional() const { return mPositional; }

    std::size_t unsignedValue(std::string_view option, std::size_t fallback) const;
    double numberValue(std::string_view option, double fallback) const;
    // "a,b,c" as three numbers.
    std::optional<std::array<double, 3>> tripleValue(std::string_view option) const;
    // Exactly `count` comma-separated numbers; `form` describes them in the error message, e.g.
    // "three numbers as a,b,c".
    std::optional<std::vector<double>> numberListValue(std::string_view option, std::size_t count,
                                                       std::string_view form) const;
    // The option's value, which must be one of `valid` (the message of an unknown one lists
    // them all); `fallback` when absent.
    std::string choiceValue(std::string_view option, std::vector<std::string_view> const& valid,
                            std::string_view fallback) const;
    // Throws a UsageError when any of `names` was given: they do not apply to `form`, e.g.
    // "'panorama make'".
    void refuse(std::vector<std::string_view> const& names, std::string_view form) const;

private:
    std::vector<std::string> mFlags;
    std::vector<std::pair<std::string, std::string>> mValues;
    std::vector<std::string> mPositional;
};

// A usage error: the message goes to standard error with exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names joined with ", ", as lists of valid values are shown.
std::string joined(std::vector<std::string_view> const& names);

} // namespace Tools
