#include "octree/potreemetadata.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <stdexcept>
#include <utility>

namespace PoTree {
namespace {

using Json = nlohmann::json;

// Sizes the decoder relies on for the attributes it reads; a different size would make it
// read past the record.
struct KnownAttribute {
    std::string_view name;
    std::size_t size;
};
constexpr KnownAttribute kKnownAttributes[] = {
    {"position", 12},      {"rgb", 6},        {"intensity", 2},   {"ScanIndex", 4}, {"classification", 1},
    {"visibility", 1},     {"normal_oct16", 2}, {"NormalX", 8},   {"NormalY", 8},   {"NormalZ", 8},
    {"point source id", 2},
};

constexpr std::size_t kMaxAttributeBytes = 4096;
constexpr std::size_t kBrotliPositionBytes = 16;
constexpr std::size_t kBrotliRgbBytes = 8;

class FieldReader {
public:
    explicit FieldReader(std::string const& fileName) : mFileName(fileName) {}

    [[noreturn]] void fail(std::string const& field, std::string const& problem) const
    {
        throw std::runtime_error(mFileName + ": field '" + field + "' " + problem);
    }

    Json const& member(Json const& object, std::string const& key, std::string const& field) const
    {
        auto const it = object.find(key);
        if (it == object.end())
            fail(field, "is missing");
        return *it;
    }

    double number(Json const& object, std::string const& key, std::string const& field) const
    {
        Json const& value = member(object, key, field);
        if (!value.is_number())
            fail(field, "is not a number");
        double const result = value.get<double>();
        if (!std::isfinite(result))
            fail(field, "is not finite");
        return result;
    }

    std::uint64_t unsignedNumber(Json const& object, std::string const& key, std::string const& field) const
    {
        Json const& value = member(object, key, field);
        if (!value.is_number_unsigned())
            fail(field, "is not a non-negative integer");
        return value.get<std::uint64_t>();
    }

    std::string text(Json const& object, std::string const& key, std::string const& field) const
    {
        Json const& value = member(object, key, field);
        if (!value.is_string())
            fail(field, "is not a string");
        return value.get<std::string>();
    }

    Math::Point<double, 3> vector3(Json const& object, std::string const& key, std::string const& field) const
    {
        Json const& value = member(object, key, field);
        if (!value.is_array() || value.size() != 3)
            fail(field, "is not an array of 3 numbers");
        Math::Point<double, 3> result;
        for (int i = 0; i < 3; ++i) {
            if (!value[static_cast<std::size_t>(i)].is_number())
                fail(field, "is not an array of 3 numbers");
            result[i] = value[static_cast<std::size_t>(i)].get<double>();
            if (!std::isfinite(result[i]))
                fail(field, "is not finite");
        }
        return result;
    }

    // First element of an optional numeric array such as "min".
    double firstElement(Json const& object, std::string const& key, std::string const& field) const
    {
        auto const it = object.find(key);
        if (it == object.end())
            return 0.0;
        if (!it->is_array() || it->empty() || !it->front().is_number())
            fail(field, "is not an array of numbers");
        return it->front().get<double>();
    }

private:
    std::string const& mFileName;
};

} // namespace

Attribute const* Metadata::find(std::string_view name) const
{
    for (Attribute const& attribute : attributes) {
        if (attribute.name == name)
            return &attribute;
    }
    return nullptr;
}

std::size_t Metadata::brotliBytesPerPoint() const
{
    std::size_t bytes = 0;
    for (Attribute const& attribute : attributes) {
        if (attribute.name == "position")
            bytes += kBrotliPositionBytes;
        else if (attribute.name == "rgb")
            bytes += kBrotliRgbBytes;
        else
            bytes += attribute.size;
    }
    return bytes;
}

Math::NBoundingBox<double, 3> Metadata::pointBounds() const
{
    return mPositionRange ? *mPositionRange : boundingBox;
}

Metadata Metadata::parse(std::string_view jsonText, std::string const& fileName)
{
    FieldReader const reader(fileName);
    Json root;
    try {
        root = Json::parse(jsonText.begin(), jsonText.end());
    } catch (Json::exception const& error) {
        throw std::runtime_error(fileName + ": not valid JSON (" + error.what() + ")");
    }
    if (!root.is_object())
        throw std::runtime_error(fileName + ": not a JSON object");

    Metadata metadata;
    std::string const encoding = reader.text(root, "encoding", "encoding");
    if (encoding == "BROTLI")
        metadata.encoding = Encoding::Brotli;
    else if (encoding == "DEFAULT")
        metadata.encoding = Encoding::Default;
    else
        reader.fail("encoding", "names an unknown encoding '" + encoding + "'");

    Json const& hierarchy = reader.member(root, "hierarchy", "hierarchy");
    if (!hierarchy.is_object())
        reader.fail("hierarchy", "is not an object");
    metadata.firstChunkSize = reader.unsignedNumber(hierarchy, "firstChunkSize", "hierarchy.firstChunkSize");

    metadata.offset = reader.vector3(root, "offset", "offset");
    metadata.scale = reader.vector3(root, "scale", "scale");
    if ((metadata.scale.array() <= 0.0).any())
        reader.fail("scale", "is not positive");
    metadata.spacing = reader.number(root, "spacing", "spacing");
    if (metadata.spacing <= 0.0)
        reader.fail("spacing", "is not positive");
    metadata.points = reader.unsignedNumber(root, "points", "points");
    if (root.contains("projection"))
        metadata.projection = reader.text(root, "projection", "projection");

    Json const& box = reader.member(root, "boundingBox", "boundingBox");
    if (!box.is_object())
        reader.fail("boundingBox", "is not an object");
    metadata.boundingBox = {reader.vector3(box, "min", "boundingBox.min"), reader.vector3(box, "max", "boundingBox.max")};
    if ((metadata.boundingBox.min().array() > metadata.boundingBox.max().array()).any())
        reader.fail("boundingBox", "has a minimum above its maximum");

    Json const& attributes = reader.member(root, "attributes", "attributes");
    if (!attributes.is_array())
        reader.fail("attributes", "is not an array");
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        std::string const field = "attributes[" + std::to_string(i) + "]";
        Json const& entry = attributes[i];
        if (!entry.is_object())
            reader.fail(field, "is not an object");
        Attribute attribute;
        attribute.name = reader.text(entry, "name", field + ".name");
        attribute.size = reader.unsignedNumber(entry, "size", field + ".size");
        if (entry.contains("type"))
            attribute.type = reader.text(entry, "type", field + ".type");
        if (attribute.size > kMaxAttributeBytes)
            reader.fail(field + ".size", "is larger than " + std::to_string(kMaxAttributeBytes) + " bytes");
        attribute.min = reader.firstElement(entry, "min", field + ".min");
        attribute.max = reader.firstElement(entry, "max", field + ".max");
        for (KnownAttribute const& known : kKnownAttributes) {
            if (known.name == attribute.name && known.size != attribute.size)
                reader.fail(field + ".size", "is " + std::to_string(attribute.size) + " for '" + attribute.name +
                                                 "', expected " + std::to_string(known.size));
        }
        if (attribute.name == "position" && entry.contains("min") && entry.contains("max"))
            metadata.mPositionRange = Math::NBoundingBox<double, 3>(reader.vector3(entry, "min", field + ".min"),
                                                                    reader.vector3(entry, "max", field + ".max"));
        metadata.bytesPerPoint += attribute.size;
        metadata.attributes.push_back(std::move(attribute));
    }
    if (metadata.bytesPerPoint == 0)
        reader.fail("attributes", "describe 0 bytes per point");

    metadata.hasPosition = metadata.find("position") != nullptr;
    metadata.hasRgb = metadata.find("rgb") != nullptr;
    metadata.hasIntensity = metadata.find("intensity") != nullptr;
    metadata.hasScanIndex = metadata.find("ScanIndex") != nullptr;
    metadata.hasClassification = metadata.find("classification") != nullptr;
    metadata.hasVisibility = metadata.find("visibility") != nullptr;
    metadata.hasNormalOct16 = metadata.find("normal_oct16") != nullptr;
    metadata.hasNormalXyz =
        metadata.find("NormalX") != nullptr && metadata.find("NormalY") != nullptr && metadata.find("NormalZ") != nullptr;
    return metadata;
}

} // namespace PoTree
