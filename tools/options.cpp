#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace Tools {
namespace {

bool contains(std::vector<std::string_view> const& names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

double parseNumber(std::string const& text, std::string_view option)
{
    char* end = nullptr;
    double const value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size())
        throw UsageError("option " + std::string(option) + " expects a number, not '" + text + "'");
    return value;
}

} // namespace

Options::Options(std::vector<std::string_view> const& args, std::vector<std::string_view> const& flags,
                 std::vector<std::string_view> const& valued)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view const arg = args[i];
        if (arg == "-o" && contains(valued, "--output")) {
            if (i + 1 == args.size())
                throw UsageError("option -o needs a value");
            mValues.emplace_back("--output", std::string(args[++i]));
        } else if (arg.size() < 2 || !arg.starts_with("--")) {
            mPositional.emplace_back(arg);
        } else if (contains(flags, arg)) {
            mFlags.emplace_back(arg);
        } else if (contains(valued, arg)) {
            if (i + 1 == args.size())
                throw UsageError("option " + std::string(arg) + " needs a value");
            mValues.emplace_back(std::string(arg), std::string(args[++i]));
        } else {
            throw UsageError("unknown option '" + std::string(arg) + "'");
        }
    }
}

bool Options::has(std::string_view flag) const
{
    return std::find(mFlags.begin(), mFlags.end(), flag) != mFlags.end();
}

bool Options::given(std::string_view name) const
{
    return has(name) || value(name).has_value();
}

std::string Options::choiceValue(std::string_view option, std::vector<std::string_view> const& valid,
                                 std::string_view fallback) const
{
    std::string const chosen = value(option).value_or(std::string(fallback));
    if (!contains(valid, chosen))
        throw UsageError("unknown value '" + chosen + "' for " + std::string(option) + " (valid: " + joined(valid) + ")");
    return chosen;
}

void Options::refuse(std::vector<std::string_view> const& names, std::string_view form) const
{
    for (std::string_view const name : names) {
        if (given(name))
            throw UsageError("option " + std::string(name) + " does not apply to " + std::string(form));
    }
}

std::string joined(std::vector<std::string_view> const& names)
{
    std::string text;
    for (std::string_view const name : names)
        text.append(text.empty() ? "" : ", ").append(name);
    return text;
}

std::optional<std::string> Options::value(std::string_view option) const
{
    auto const found =
        std::find_if(mValues.rbegin(), mValues.rend(), [&](auto const& entry) { return entry.first == option; });
    if (found == mValues.rend())
        return std::nullopt;
    return found->second;
}

std::size_t Options::unsignedValue(std::string_view option, std::size_t fallback) const
{
    auto const text = value(option);
    if (!text)
        return fallback;
    std::size_t result = 0;
    auto const [end, error] = std::from_chars(text->data(), text->data() + text->size(), result);
    if (error != std::errc() || end != text->data() + text->size())
        throw UsageError("option " + std::string(option) + " expects a whole number, not '" + *text + "'");
    return result;
}

double Options::numberValue(std::string_view option, double fallback) const
{
    auto const text = value(option);
    return text ? parseNumber(*text, option) : fallback;
}

std::optional<std::array<double, 3>> Options::tripleValue(std::string_view option) const
{
    auto const numbers = numberListValue(option, 3, "three numbers as a,b,c");
    if (!numbers)
        return std::nullopt;
    return std::array<double, 3>{(*numbers)[0], (*numbers)[1], (*numbers)[2]};
}

std::optional<std::vector<double>> Options::numberListValue(std::string_view option, std::size_t count,
                                                            std::string_view form) const
{
    auto const text = value(option);
    if (!text)
        return std::nullopt;
    std::vector<double> result;
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t const comma = text->find(',', start);
        if ((i + 1 < count) == (comma == std::string::npos))
            throw UsageError("option " + std::string(option) + " expects " + std::string(form) + ", not '" + *text +
                             "'");
        result.push_back(parseNumber(
            text->substr(start, comma == std::string::npos ? std::string::npos : comma - start), option));
        start = comma + 1;
    }
    return result;
}

} // namespace Tools
