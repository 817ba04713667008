#include "octree/textpointreader.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace Octree {
namespace {

constexpr std::size_t kPositionColumns = 3;
constexpr std::size_t kColorColumns = 6;
constexpr std::size_t kColorAlphaColumns = 7;
constexpr double kMaxChannel = 255.0;

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t const start = line.find_first_not_of(" \t\r", at);
        if (start == std::string_view::npos)
            break;
        std::size_t const end = std::min(line.find_first_of(" \t\r", start), line.size());
        fields.push_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

bool parseNumber(std::string_view field, double& value)
{
    // from_chars does not take a leading '+'.
    if (!field.empty() && field.front() == '+')
        field.remove_prefix(1);
    auto const [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return error == std::errc() && end == field.data() + field.size() && std::isfinite(value);
}

} // namespace

SourcePoints readTextPoints(std::string_view text, std::string const& fileName)
{
    SourcePoints result;
    std::size_t columns = 0;
    std::size_t lineNumber = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t const end = std::min(text.find('\n', at), text.size());
        std::string_view const line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        std::vector<std::string_view> const fields = splitFields(line);
        if (fields.empty())
            continue;
        double first = 0.0;
        if (lineNumber == 1 && !parseNumber(fields.front(), first))
            continue;
        auto fail = [&](std::string const& problem) {
            throw std::runtime_error(fileName + ": line " + std::to_string(lineNumber) + ": " + problem);
        };
        if (columns == 0) {
            columns = fields.size();
            if (columns != kPositionColumns && columns != kColorColumns && columns != kColorAlphaColumns)
                fail("expected 3, 6 or 7 values, found " + std::to_string(columns));
            result.hasRgb = columns >= kColorColumns;
        }
        if (fields.size() != columns)
            fail("expected " + std::to_string(columns) + " values like the first point, found " +
                 std::to_string(fields.size()));
        SourcePoint point;
        double values[kColorAlphaColumns] = {};
        for (std::size_t i = 0; i < columns; ++i) {
            if (!parseNumber(fields[i], values[i]))
                fail("'" + std::string(fields[i]) + "' is not a number");
        }
        point.position = {values[0], values[1], values[2]};
        if (result.hasRgb) {
            for (std::size_t c = 0; c < 3; ++c) {
                double const channel = values[kPositionColumns + c];
                if (channel < 0.0 || channel > kMaxChannel || channel != std::floor(channel))
                    fail("color value '" + std::string(fields[kPositionColumns + c]) + "' is not an integer 0-255");
                point.rgb[c] = static_cast<std::uint16_t>(channel);
            }
        }
        result.points.push_back(point);
    }
    return result;
}

} // namespace Octree
