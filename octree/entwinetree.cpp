#include "octree/entwinetree.h"

#include "octree/lasheader.h"
#include "octree/laszipreader.h"
#include "octree/potreenodedecoder.h"
#include "octree/sourcepoints.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace Entwine {
namespace {

using Json = nlohmann::json;

constexpr char kDescriptionFile[] = "ept.json";
constexpr char kHierarchyFolder[] = "ept-hierarchy/";
constexpr char kDataFolder[] = "ept-data/";
// Pages below pages: a bound on the nesting that also stops a page that names itself.
constexpr unsigned kMaxHierarchyPageDepth = Octree::OctreeNodeId::kMaxLevel + 1;
constexpr std::int64_t kOwnPage = -1;

Json parseJson(std::string_view text, std::string const& fileName)
{
    try {
        return Json::parse(text.begin(), text.end());
    } catch (Json::exception const& error) {
        throw std::runtime_error(fileName + ": not valid JSON (" + error.what() + ")");
    }
}

[[noreturn]] void fail(std::string const& fileName, std::string const& field, std::string const& problem)
{
    throw std::runtime_error(fileName + ": field '" + field + "' " + problem);
}

Json const& member(Json const& object, std::string const& key, std::string const& fileName)
{
    auto const it = object.find(key);
    if (it == object.end())
        fail(fileName, key, "is missing");
    return *it;
}

Math::NBoundingBox<double, 3> parseBounds(Json const& value, std::string const& field, std::string const& fileName)
{
    if (!value.is_array() || value.size() != 6)
        fail(fileName, field, "is not an array of 6 numbers");
    std::array<double, 6> numbers{};
    for (std::size_t i = 0; i < 6; ++i) {
        if (!value[i].is_number() || !std::isfinite(value[i].get<double>()))
            fail(fileName, field, "is not an array of 6 numbers");
        numbers[i] = value[i].get<double>();
    }
    Math::NBoundingBox<double, 3> box({numbers[0], numbers[1], numbers[2]}, {numbers[3], numbers[4], numbers[5]});
    if (box.isEmpty())
        fail(fileName, field, "has a minimum above its maximum");
    return box;
}

Octree::OctreeNodeId parseKey(std::string_view key, std::string const& fileName)
{
    std::array<std::uint32_t, 4> parts{};
    char const* at = key.data();
    char const* const end = key.data() + key.size();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        auto const [next, error] = std::from_chars(at, end, parts[i]);
        bool const separatorOk = i + 1 < parts.size() ? (next != end && *next == '-') : next == end;
        if (error != std::errc() || !separatorOk)
            throw std::runtime_error(fileName + ": '" + std::string(key) + "' is not a D-X-Y-Z node key");
        at = next + 1;
    }
    std::uint32_t const depth = parts[0];
    if (depth > Octree::OctreeNodeId::kMaxLevel)
        throw std::runtime_error(fileName + ": node key '" + std::string(key) + "' is deeper than supported");
    std::uint64_t const cells = std::uint64_t{1} << depth;
    if (parts[1] >= cells || parts[2] >= cells || parts[3] >= cells)
        throw std::runtime_error(fileName + ": node key '" + std::string(key) + "' lies outside its level");
    return Octree::OctreeNodeId::fromCell(depth, parts[1], parts[2], parts[3]);
}

// The points of one node file as read, positions in world coordinates.
struct RawPoints {
    std::vector<Math::Point<double, 3>> positions;
    std::vector<std::array<std::uint16_t, 3>> colors;
    std::vector<std::uint16_t> intensities;
    std::vector<int> scanIndices;
    std::vector<std::uint8_t> classIndices;
    std::vector<Math::Point<double, 3>> normals;
};

double readNumber(std::string_view bytes, std::size_t offset, Dimension const& dimension)
{
    auto load = [&](auto value) {
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
        return static_cast<double>(value);
    };
    if (dimension.type == "float")
        return dimension.size == 4 ? load(float{}) : load(double{});
    if (dimension.type == "signed") {
        switch (dimension.size) {
        case 1: return load(std::int8_t{});
        case 2: return load(std::int16_t{});
        case 4: return load(std::int32_t{});
        default: return load(std::int64_t{});
        }
    }
    switch (dimension.size) {
    case 1: return load(std::uint8_t{});
    case 2: return load(std::uint16_t{});
    case 4: return load(std::uint32_t{});
    default: return load(std::uint64_t{});
    }
}

RawPoints decodeBinary(Description const& description, std::string_view bytes, std::string const& fileName)
{
    std::size_t const recordSize = description.recordSize();
    if (recordSize == 0 || bytes.size() % recordSize != 0)
        throw std::runtime_error(fileName + ": " + std::to_string(bytes.size()) + " bytes are not whole records of " +
                                 std::to_string(recordSize) + " bytes");
    std::size_t const n = bytes.size() / recordSize;
    RawPoints points;
    std::vector<std::pair<Dimension const*, std::size_t>> offsets;
    std::size_t offset = 0;
    for (Dimension const& dimension : description.schema) {
        offsets.emplace_back(&dimension, offset);
        offset += dimension.size;
    }
    auto find = [&](std::string_view name) -> std::pair<Dimension const*, std::size_t> {
        for (auto const& entry : offsets) {
            if (entry.first->name == name)
                return entry;
        }
        return {nullptr, 0};
    };
    auto value = [&](std::pair<Dimension const*, std::size_t> const& entry, std::size_t i) {
        return readNumber(bytes, i * recordSize + entry.second, *entry.first) * entry.first->scale +
               entry.first->offset;
    };
    auto const x = find("X"), y = find("Y"), z = find("Z");
    auto const red = find("Red"), green = find("Green"), blue = find("Blue");
    auto const intensity = find("Intensity"), classification = find("Classification");
    auto const scan = find("ScanIndex").first ? find("ScanIndex") : find("PointSourceId");
    auto const nx = find("NormalX"), ny = find("NormalY"), nz = find("NormalZ");
    for (std::size_t i = 0; i < n; ++i) {
        points.positions.emplace_back(value(x, i), value(y, i), value(z, i));
        if (red.first && green.first && blue.first)
            points.colors.push_back({Octree::clampedInteger<std::uint16_t>(value(red, i)),
                                     Octree::clampedInteger<std::uint16_t>(value(green, i)),
                                     Octree::clampedInteger<std::uint16_t>(value(blue, i))});
        if (intensity.first)
            points.intensities.push_back(Octree::clampedInteger<std::uint16_t>(value(intensity, i)));
        if (classification.first)
            points.classIndices.push_back(Octree::clampedInteger<std::uint8_t>(value(classification, i)));
        if (scan.first)
            points.scanIndices.push_back(Octree::clampedInteger<int>(value(scan, i)));
        if (nx.first && ny.first && nz.first)
            points.normals.emplace_back(value(nx, i), value(ny, i), value(nz, i));
    }
    return points;
}

RawPoints decodeLaszip(std::string const& bytes, std::string const& fileName, std::stop_token const& stopToken)
{
    // LASzip trusts the header's counts; check them first.
    Las::Header const header = Las::parseHeader(bytes, fileName);
    Las::LaszipReader reader(bytes, fileName);
    bool const hasColor = header.pointFormat == 2 || header.pointFormat == 3 || header.pointFormat == 5 ||
                          header.pointFormat == 7 || header.pointFormat == 8 || header.pointFormat == 10;
    bool const extended = header.pointFormat >= 6;

    RawPoints points;
    points.positions.reserve(header.pointCount);
    for (std::uint64_t i = 0; i < header.pointCount; ++i) {
        if (stopToken.stop_requested())
            return points;
        laszip_point const& point = reader.readPoint(i);
        double coordinates[3];
        reader.coordinates(coordinates);
        points.positions.emplace_back(coordinates[0], coordinates[1], coordinates[2]);
        if (hasColor)
            points.colors.push_back({point.rgb[0], point.rgb[1], point.rgb[2]});
        points.intensities.push_back(point.intensity);
        points.classIndices.push_back(extended ? point.extended_classification : point.classification);
        points.scanIndices.push_back(point.point_source_ID);
    }
    return points;
}

} // namespace

Dimension const* Description::find(std::string_view name) const
{
    for (Dimension const& dimension : schema) {
        if (dimension.name == name)
            return &dimension;
    }
    return nullptr;
}

std::size_t Description::recordSize() const
{
    std::size_t size = 0;
    for (Dimension const& dimension : schema)
        size += dimension.size;
    return size;
}

Description Description::parse(std::string_view jsonText, std::string const& fileName)
{
    Json const root = parseJson(jsonText, fileName);
    if (!root.is_object())
        throw std::runtime_error(fileName + ": not a JSON object");
    Description description;
    description.cube = parseBounds(member(root, "bounds", fileName), "bounds", fileName);
    description.conformingBounds = root.contains("boundsConforming")
                                       ? parseBounds(root["boundsConforming"], "boundsConforming", fileName)
                                       : description.cube;
    Json const& dataType = member(root, "dataType", fileName);
    if (!dataType.is_string())
        fail(fileName, "dataType", "is not a string");
    description.dataType = dataType.get<std::string>();
    if (description.dataType != "laszip" && description.dataType != "binary")
        fail(fileName, "dataType", "names an unsupported data type '" + description.dataType + "'");
    if (root.contains("hierarchyType") && root["hierarchyType"] != "json")
        fail(fileName, "hierarchyType", "is not \"json\"");
    Json const& points = member(root, "points", fileName);
    Json const& span = member(root, "span", fileName);
    if (!points.is_number_unsigned())
        fail(fileName, "points", "is not a non-negative integer");
    if (!span.is_number_unsigned() || span.get<std::uint64_t>() == 0)
        fail(fileName, "span", "is not a positive integer");
    description.points = points.get<std::uint64_t>();
    description.span = span.get<std::uint64_t>();

    Json const& schema = member(root, "schema", fileName);
    if (!schema.is_array())
        fail(fileName, "schema", "is not an array");
    for (std::size_t i = 0; i < schema.size(); ++i) {
        std::string const field = "schema[" + std::to_string(i) + "]";
        Json const& entry = schema[i];
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string() || !entry.contains("type") ||
            !entry["type"].is_string() || !entry.contains("size") || !entry["size"].is_number_unsigned())
            fail(fileName, field, "needs a name, a type and a size");
        Dimension dimension;
        dimension.name = entry["name"].get<std::string>();
        dimension.type = entry["type"].get<std::string>();
        dimension.size = entry["size"].get<std::size_t>();
        bool const validSize = dimension.type == "float" ? (dimension.size == 4 || dimension.size == 8)
                                                         : (dimension.size == 1 || dimension.size == 2 ||
                                                            dimension.size == 4 || dimension.size == 8);
        if ((dimension.type != "float" && dimension.type != "signed" && dimension.type != "unsigned") || !validSize)
            fail(fileName, field, "has an unknown type or size");
        if (entry.contains("scale") && entry["scale"].is_number())
            dimension.scale = entry["scale"].get<double>();
        if (entry.contains("offset") && entry["offset"].is_number())
            dimension.offset = entry["offset"].get<double>();
        description.schema.push_back(std::move(dimension));
    }
    if (auto const srs = root.find("srs"); srs != root.end() && srs->is_object()) {
        if (srs->contains("wkt") && (*srs)["wkt"].is_string())
            description.srs = (*srs)["wkt"].get<std::string>();
        else if (srs->contains("authority") && srs->contains("horizontal") && (*srs)["authority"].is_string() &&
                 (*srs)["horizontal"].is_string())
            description.srs = (*srs)["authority"].get<std::string>() + ":" + (*srs)["horizontal"].get<std::string>();
    }
    for (char const* axis : {"X", "Y", "Z"}) {
        if (!description.find(axis))
            fail(fileName, "schema", std::string("has no dimension ") + axis);
    }
    return description;
}

std::string nodeKey(Octree::OctreeNodeId id)
{
    auto const cell = id.cell();
    return std::to_string(id.level()) + "-" + std::to_string(cell[0]) + "-" + std::to_string(cell[1]) + "-" +
           std::to_string(cell[2]);
}

std::vector<std::pair<Octree::OctreeNodeId, std::int64_t>> parseHierarchyPage(std::string_view jsonText,
                                                                              std::string const& fileName)
{
    Json const root = parseJson(jsonText, fileName);
    if (!root.is_object())
        throw std::runtime_error(fileName + ": not a JSON object");
    std::vector<std::pair<Octree::OctreeNodeId, std::int64_t>> entries;
    for (auto const& [key, count] : root.items()) {
        if (!count.is_number_integer() || count.get<std::int64_t>() < kOwnPage)
            fail(fileName, key, "is not a point count");
        entries.emplace_back(parseKey(key, fileName), count.get<std::int64_t>());
    }
    return entries;
}

EntwineTree::EntwineTree(std::shared_ptr<Location const> location)
    : mLocation(std::move(location))
    , mDescription(Description::parse(mLocation->readFile(kDescriptionFile), mLocation->displayName() + "/" + kDescriptionFile))
    , mReferencePosition(mDescription.cube.center())
{
    loadHierarchyPage(Octree::OctreeNodeId(), kMaxHierarchyPageDepth);
}

void EntwineTree::loadHierarchyPage(Octree::OctreeNodeId pageRoot, unsigned pagesLeft)
{
    std::string const relativePath = kHierarchyFolder + nodeKey(pageRoot) + ".json";
    if (pagesLeft == 0)
        throw std::runtime_error(mLocation->displayName() + "/" + relativePath + ": hierarchy pages nest too deep");
    for (auto const& [id, count] : parseHierarchyPage(mLocation->readFile(relativePath),
                                                     mLocation->displayName() + "/" + relativePath)) {
        if (count == kOwnPage) {
            if (id == pageRoot)
                throw std::runtime_error(mLocation->displayName() + "/" + relativePath + ": page refers to itself");
            loadHierarchyPage(id, pagesLeft - 1);
        } else {
            mNodes[id] = static_cast<std::uint64_t>(count);
        }
    }
}

std::optional<Node> EntwineTree::nodeById(Octree::OctreeNodeId id, std::stop_token stopToken) const
{
    if (stopToken.stop_requested())
        return std::nullopt;
    auto const it = mNodes.find(id);
    if (it == mNodes.end())
        return std::nullopt;
    return Node{id, it->second};
}

std::vector<Octree::OctreeNodeId> EntwineTree::children(Octree::OctreeNodeId id) const
{
    std::vector<Octree::OctreeNodeId> result;
    if (id.level() >= Octree::OctreeNodeId::kMaxLevel)
        return result;
    for (unsigned i = 0; i < 8; ++i) {
        if (mNodes.contains(id.child(i)))
            result.push_back(id.child(i));
    }
    return result;
}

std::size_t EntwineTree::getNodePointData(Node const& node, std::vector<Math::Point<double, 3>>* positions,
                                          std::vector<Math::Color>* colors, std::vector<std::uint16_t>* intensities,
                                          std::vector<int>* scanIndices, std::vector<std::uint8_t>* classIndices,
                                          std::vector<Math::Point<double, 3>>* normals, std::stop_token stopToken) const
{
    if (node.pointCount == 0)
        return 0;
    bool const laszip = mDescription.dataType == "laszip";
    std::string const relativePath = dataFile(node.id);
    std::string const fileName = mLocation->displayName() + "/" + relativePath;
    std::string const bytes = mLocation->readFile(relativePath);
    RawPoints raw = laszip ? decodeLaszip(bytes, fileName, stopToken) : decodeBinary(mDescription, bytes, fileName);
    if (stopToken.stop_requested())
        return 0;

    std::size_t const n = raw.positions.size();
    double const unitScale = mUnitScale;
    if (positions) {
        positions->resize(n);
        for (std::size_t i = 0; i < n; ++i)
            (*positions)[i] = (raw.positions[i] - mReferencePosition) * unitScale;
    }
    if (colors && raw.colors.size() == n) {
        colors->resize(n);
        for (std::size_t i = 0; i < n; ++i)
            (*colors)[i] = Math::Color(PoTree::colorChannel(raw.colors[i][0]), PoTree::colorChannel(raw.colors[i][1]),
                                       PoTree::colorChannel(raw.colors[i][2]), 255);
    }
    if (intensities && raw.intensities.size() == n)
        *intensities = std::move(raw.intensities);
    if (scanIndices && raw.scanIndices.size() == n)
        *scanIndices = std::move(raw.scanIndices);
    if (classIndices && raw.classIndices.size() == n)
        *classIndices = std::move(raw.classIndices);
    if (normals && raw.normals.size() == n)
        *normals = std::move(raw.normals);
    return n;
}

void EntwineTree::prefetchNodePointData(Node const& node) const
{
    if (node.pointCount > 0)
        mLocation->prefetchFile(dataFile(node.id));
}

std::string EntwineTree::dataFile(Octree::OctreeNodeId id) const
{
    return kDataFolder + nodeKey(id) + (mDescription.dataType == "laszip" ? ".laz" : ".bin");
}

bool EntwineTree::hasColors() const
{
    return mDescription.find("Red") && mDescription.find("Green") && mDescription.find("Blue");
}
bool EntwineTree::hasIntensities() const { return mDescription.find("Intensity") != nullptr; }
bool EntwineTree::hasScanIndices() const
{
    return mDescription.find("ScanIndex") != nullptr || mDescription.find("PointSourceId") != nullptr;
}
bool EntwineTree::hasClassification() const { return mDescription.find("Classification") != nullptr; }
bool EntwineTree::hasNormals() const
{
    return mDescription.find("NormalX") && mDescription.find("NormalY") && mDescription.find("NormalZ");
}

} // namespace Entwine
