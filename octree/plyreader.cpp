#include "octree/plyreader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace Ply {
namespace {

constexpr std::string_view kEndHeader = "end_header";

enum class Slot { None, X, Y, Z, Red, Green, Blue, Intensity, Classification };

struct Property {
    std::string type;
    std::size_t size = 0;
    Slot slot = Slot::None;
};

struct Element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<Property> properties;
    bool hasList = false;
};

std::size_t typeSize(std::string const& type)
{
    if (type == "char" || type == "uchar" || type == "int8" || type == "uint8")
        return 1;
    if (type == "short" || type == "ushort" || type == "int16" || type == "uint16")
        return 2;
    if (type == "int" || type == "uint" || type == "int32" || type == "uint32" || type == "float" || type == "float32")
        return 4;
    if (type == "double" || type == "float64")
        return 8;
    return 0;
}

Slot slotOf(std::string const& name)
{
    if (name == "x") return Slot::X;
    if (name == "y") return Slot::Y;
    if (name == "z") return Slot::Z;
    if (name == "red") return Slot::Red;
    if (name == "green") return Slot::Green;
    if (name == "blue") return Slot::Blue;
    if (name == "intensity" || name == "scalar_intensity") return Slot::Intensity;
    if (name == "classification" || name == "scalar_classification") return Slot::Classification;
    return Slot::None;
}

double readBinary(std::string_view bytes, std::size_t at, std::string const& type)
{
    auto load = [&](auto value) {
        std::memcpy(&value, bytes.data() + at, sizeof(value));
        return static_cast<double>(value);
    };
    if (type == "char" || type == "int8") return load(std::int8_t{});
    if (type == "uchar" || type == "uint8") return load(std::uint8_t{});
    if (type == "short" || type == "int16") return load(std::int16_t{});
    if (type == "ushort" || type == "uint16") return load(std::uint16_t{});
    if (type == "int" || type == "int32") return load(std::int32_t{});
    if (type == "uint" || type == "uint32") return load(std::uint32_t{});
    if (type == "float" || type == "float32") return load(float{});
    return load(double{});
}

void store(Octree::SourcePoint& point, Slot slot, double value)
{
    auto const narrow16 = [](double v) { return Octree::clampedInteger<std::uint16_t>(v); };
    switch (slot) {
    case Slot::X: point.position.x() = value; break;
    case Slot::Y: point.position.y() = value; break;
    case Slot::Z: point.position.z() = value; break;
    case Slot::Red: point.rgb[0] = narrow16(value); break;
    case Slot::Green: point.rgb[1] = narrow16(value); break;
    case Slot::Blue: point.rgb[2] = narrow16(value); break;
    case Slot::Intensity: point.intensity = narrow16(value); break;
    case Slot::Classification: point.classification = Octree::clampedInteger<std::uint8_t>(value); break;
    case Slot::None: break;
    }
}

} // namespace

Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName)
{
    auto fail = [&](std::string const& problem) -> void { throw std::runtime_error(fileName + ": " + problem); };
    if (bytes.substr(0, 4) != "ply\n" && bytes.substr(0, 5) != "ply\r\n")
        fail("not a PLY file");

    std::size_t at = 0;
    bool binary = false;
    bool formatSeen = false;
    std::vector<Element> elements;
    for (;;) {
        std::size_t const end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            fail("the header has no end_header line");
        std::string line(bytes.substr(at, end - at));
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == kEndHeader)
            break;
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "format") {
            std::string format;
            words >> format;
            if (format == "binary_little_endian")
                binary = true;
            else if (format != "ascii")
                fail("format '" + format + "' is not supported");
            formatSeen = true;
        } else if (keyword == "element") {
            Element element;
            if (!(words >> element.name >> element.count))
                fail("malformed element line '" + line + "'");
            elements.push_back(element);
        } else if (keyword == "property") {
            if (elements.empty())
                fail("property before any element");
            std::string type;
            words >> type;
            if (type == "list") {
                elements.back().hasList = true;
                continue;
            }
            std::string name;
            words >> name;
            Property property{type, typeSize(type), slotOf(name)};
            if (property.size == 0)
                fail("property '" + name + "' has unknown type '" + type + "'");
            elements.back().properties.push_back(property);
        }
    }
    if (!formatSeen)
        fail("the header names no format");

    Octree::SourcePoints result;
    for (Element const& element : elements) {
        bool const isVertex = element.name == "vertex";
        if (!isVertex) {
            if (element.count > 0)
                fail("element '" + element.name + "' before the vertices is not supported");
            continue;
        }
        if (element.hasList)
            fail("list properties in vertices are not supported");
        bool hasSlot[9] = {};
        std::size_t recordSize = 0;
        for (Property const& property : element.properties) {
            hasSlot[static_cast<int>(property.slot)] = true;
            recordSize += property.size;
        }
        if (!hasSlot[static_cast<int>(Slot::X)] || !hasSlot[static_cast<int>(Slot::Y)] || !hasSlot[static_cast<int>(Slot::Z)])
            fail("vertices have no x, y and z");
        result.hasRgb = hasSlot[static_cast<int>(Slot::Red)] && hasSlot[static_cast<int>(Slot::Green)] &&
                        hasSlot[static_cast<int>(Slot::Blue)];
        result.hasIntensity = hasSlot[static_cast<int>(Slot::Intensity)];
        result.hasClassification = hasSlot[static_cast<int>(Slot::Classification)];

        if (binary && element.count > (bytes.size() - at) / recordSize)
            fail(std::to_string(element.count) + " vertices do not fit in the file");
        std::istringstream text(binary ? std::string() : std::string(bytes.substr(at)));
        result.points.resize(binary ? element.count : 0);
        for (std::uint64_t i = 0; i < element.count; ++i) {
            Octree::SourcePoint point;
            for (Property const& property : element.properties) {
                double value = 0.0;
                if (binary) {
                    value = readBinary(bytes, at, property.type);
                    at += property.size;
                } else if (!(text >> value)) {
                    fail("vertex " + std::to_string(i) + " is missing or malformed");
                }
                store(point, property.slot, value);
            }
            if (!point.position.allFinite())
                fail("vertex " + std::to_string(i) + " has a coordinate that is not a finite number");
            if (binary)
                result.points[i] = point;
            else
                result.points.push_back(point);
        }
        return result;
    }
    fail("the file has no vertex element");
    return result;
}

} // namespace Ply
