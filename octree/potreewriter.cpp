#include "octree/potreewriter.h"

#include "octree/potreehierarchy.h"
#include "octree/potreenodedecoder.h"

#include <brotli/encode.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>

namespace PoTree {
namespace {

constexpr char kMetadataFile[] = "metadata.json";
constexpr char kHierarchyFile[] = "hierarchy.bin";
constexpr char kOctreeFile[] = "octree.bin";
// Root spacing as a fraction of the cube's side, the density the converter aims at.
constexpr double kCellsPerSideAtRoot = 128.0;
constexpr int kBrotliQuality = 6;
constexpr std::uint64_t kMaxStoredCoordinate = std::numeric_limits<std::uint32_t>::max();
constexpr double kDefaultScale = 0.001;

struct BuildNode {
    Octree::OctreeNodeId id;
    std::vector<std::uint32_t> points;
    std::array<std::unique_ptr<BuildNode>, 8> children;
    std::uint8_t childMask = 0;
    std::uint64_t byteOffset = 0;
    std::uint64_t byteSize = 0;
    // Where the hierarchy chunk this node opens lies, when it opens one.
    std::uint64_t chunkOffset = 0;
    std::uint64_t chunkSize = 0;
};

class OutputFile {
public:
    explicit OutputFile(std::filesystem::path path) : mPath(std::move(path)), mStream(mPath, std::ios::binary)
    {
        if (!mStream)
            throw std::runtime_error("cannot write file '" + mPath.string() + "'");
    }
    void write(std::string_view bytes)
    {
        mStream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!mStream)
            throw std::runtime_error("cannot write file '" + mPath.string() + "'");
    }
    void close()
    {
        mStream.close();
        if (!mStream)
            throw std::runtime_error("cannot write file '" + mPath.string() + "'");
    }

private:
    std::filesystem::path mPath;
    std::ofstream mStream;
};

// One element of a further attribute as a number, NaN for a type that is not numeric.
double elementValue(std::string const& type, char const* bytes)
{
    auto read = [bytes](auto value) {
        std::memcpy(&value, bytes, sizeof(value));
        return static_cast<double>(value);
    };
    if (type == "uint8")
        return read(std::uint8_t{});
    if (type == "int8")
        return read(std::int8_t{});
    if (type == "uint16")
        return read(std::uint16_t{});
    if (type == "int16")
        return read(std::int16_t{});
    if (type == "uint32")
        return read(std::uint32_t{});
    if (type == "int32")
        return read(std::int32_t{});
    if (type == "uint64")
        return read(std::uint64_t{});
    if (type == "int64")
        return read(std::int64_t{});
    if (type == "float")
        return read(float{});
    if (type == "double")
        return read(double{});
    return std::numeric_limits<double>::quiet_NaN();
}

template <class T>
void append(std::string& bytes, T value)
{
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    bytes.append(raw, sizeof(T));
}

class Writer {
public:
    Writer(Octree::SourcePoints const& source, WriterOptions const& options)
        : mSource(source), mOptions(options), mExtraStride(source.extraBytesPerPoint())
    {
        if (mSource.points.empty())
            throw std::invalid_argument("no points to write");
        if (mOptions.maxPointsPerNode == 0)
            throw std::invalid_argument("a node must hold at least one point");
        for (std::size_t i = 0; i < source.points.size(); ++i) {
            if (!source.points[i].position.allFinite())
                throw std::invalid_argument("point " + std::to_string(i) + " has a coordinate that is not a finite number");
        }
        if (source.extraValues.size() != source.points.size() * mExtraStride)
            throw std::invalid_argument("the further attributes do not hold a value for every point");
        mBounds = source.bounds();
        mGrid = quantization(source, options);
        std::uint64_t largest = 0;
        mQuantized.reserve(source.points.size());
        for (int axis = 0; axis < 3; ++axis) {
            double const steps = std::round((mBounds.max()[axis] - mGrid.origin[axis]) / mGrid.scale[axis]);
            if (!(mGrid.scale[axis] > 0.0) || !(steps <= static_cast<double>(kMaxStoredCoordinate)))
                throw std::invalid_argument("the points span more than 2^32 steps of the scale");
            largest = std::max(largest, static_cast<std::uint64_t>(steps));
        }
        for (Octree::SourcePoint const& point : source.points)
            mQuantized.push_back(quantize(point.position, mGrid.origin, mGrid.scale));
        while ((std::uint64_t{1} << mCubeBits) <= largest)
            ++mCubeBits;
        mMaxDepth = std::min(mCubeBits, Octree::OctreeNodeId::kMaxLevel);
    }

    WriteSummary write(std::filesystem::path const& folder, std::function<void(double)> const& progress,
                       std::stop_token const& stopToken)
    {
        std::vector<std::uint32_t> all(mSource.points.size());
        for (std::uint32_t i = 0; i < all.size(); ++i)
            all[i] = i;
        BuildNode root;
        distribute(root, std::move(all), 0);

        std::filesystem::create_directories(folder);
        std::vector<BuildNode*> const nodes = breadthFirst(root);
        if (!writeOctree(nodes, folder / kOctreeFile, progress, stopToken))
            return {};
        WriteSummary summary;
        summary.nodes = nodes.size();
        summary.hierarchyChunks = writeHierarchy(root, folder / kHierarchyFile);
        for (BuildNode const* node : nodes)
            summary.depth = std::max(summary.depth, node->id.level());
        writeMetadata(folder / kMetadataFile, summary, root.chunkSize);
        return summary;
    }

private:
    void distribute(BuildNode& node, std::vector<std::uint32_t> indices, unsigned level)
    {
        if (indices.size() <= mOptions.maxPointsPerNode || level >= mMaxDepth) {
            node.points = std::move(indices);
            return;
        }
        // Every stride-th point stays as this level's sample; the rest go one level down.
        std::size_t const stride = indices.size() / mOptions.maxPointsPerNode + 1;
        std::array<std::vector<std::uint32_t>, 8> childPoints;
        unsigned const bit = mCubeBits - 1 - level;
        for (std::size_t i = 0; i < indices.size(); ++i) {
            if (i % stride == 0) {
                node.points.push_back(indices[i]);
                continue;
            }
            auto const& q = mQuantized[indices[i]];
            unsigned const child = ((q[0] >> bit & 1) << 2) | ((q[1] >> bit & 1) << 1) | (q[2] >> bit & 1);
            childPoints[child].push_back(indices[i]);
        }
        indices = {};
        for (unsigned i = 0; i < 8; ++i) {
            if (childPoints[i].empty())
                continue;
            node.childMask |= static_cast<std::uint8_t>(1u << i);
            node.children[i] = std::make_unique<BuildNode>();
            node.children[i]->id = node.id.child(i);
            distribute(*node.children[i], std::move(childPoints[i]), level + 1);
        }
    }

    static std::vector<BuildNode*> breadthFirst(BuildNode& root)
    {
        std::vector<BuildNode*> nodes{&root};
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            for (auto& child : nodes[i]->children) {
                if (child)
                    nodes.push_back(child.get());
            }
        }
        return nodes;
    }

    std::string encodeNode(BuildNode const& node) const
    {
        std::string bytes;
        std::size_t const n = node.points.size();
        if (mOptions.encoding == Encoding::Default) {
            for (std::uint32_t const index : node.points) {
                Octree::SourcePoint const& point = mSource.points[index];
                for (std::uint32_t const coordinate : mQuantized[index])
                    append(bytes, coordinate);
                if (mSource.hasRgb)
                    for (std::uint16_t const channel : point.rgb)
                        append(bytes, channel);
                if (mSource.hasIntensity)
                    append(bytes, point.intensity);
                if (mSource.hasClassification)
                    append(bytes, point.classification);
                if (mSource.hasScanIndex)
                    append(bytes, point.scanIndex);
                bytes.append(extraValues(index), mExtraStride);
            }
            return bytes;
        }
        bytes.reserve(n * 32);
        for (std::uint32_t const index : node.points)
            for (std::uint32_t const word : encodeMortonPosition(mQuantized[index]))
                append(bytes, word);
        if (mSource.hasRgb)
            for (std::uint32_t const index : node.points)
                append(bytes, encodeMortonColor(mSource.points[index].rgb));
        if (mSource.hasIntensity)
            for (std::uint32_t const index : node.points)
                append(bytes, mSource.points[index].intensity);
        if (mSource.hasClassification)
            for (std::uint32_t const index : node.points)
                append(bytes, mSource.points[index].classification);
        if (mSource.hasScanIndex)
            for (std::uint32_t const index : node.points)
                append(bytes, mSource.points[index].scanIndex);
        std::size_t attributeOffset = 0;
        for (Octree::SourceAttribute const& attribute : mSource.extraAttributes) {
            for (std::uint32_t const index : node.points)
                bytes.append(extraValues(index) + attributeOffset, attribute.size);
            attributeOffset += attribute.size;
        }
        return compress(bytes);
    }

    char const* extraValues(std::uint32_t index) const
    {
        return reinterpret_cast<char const*>(mSource.extraValues.data()) + std::size_t{index} * mExtraStride;
    }

    static std::string compress(std::string const& bytes)
    {
        std::string compressed(BrotliEncoderMaxCompressedSize(bytes.size()), '\0');
        std::size_t size = compressed.size();
        if (!BrotliEncoderCompress(kBrotliQuality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, bytes.size(),
                                   reinterpret_cast<std::uint8_t const*>(bytes.data()), &size,
                                   reinterpret_cast<std::uint8_t*>(compressed.data())))
            throw std::runtime_error("brotli: compression failed");
        compressed.resize(size);
        return compressed;
    }

    bool writeOctree(std::vector<BuildNode*> const& nodes, std::filesystem::path const& path,
                     std::function<void(double)> const& progress, std::stop_token const& stopToken) const
    {
        OutputFile file(path);
        std::uint64_t offset = 0;
        std::size_t pointsDone = 0;
        for (BuildNode* node : nodes) {
            if (stopToken.stop_requested())
                return false;
            if (node->points.empty())
                continue;
            std::string const bytes = encodeNode(*node);
            file.write(bytes);
            node->byteOffset = offset;
            node->byteSize = bytes.size();
            offset += bytes.size();
            pointsDone += node->points.size();
            if (progress)
                progress(static_cast<double>(pointsDone) / static_cast<double>(mSource.points.size()));
        }
        file.close();
        return true;
    }

    // The nodes one chunk describes, breadth first; nodes `step` levels below the chunk's
    // first node that have children become proxies and open chunks of their own.
    std::vector<BuildNode*> chunkNodes(BuildNode* first, std::vector<BuildNode*>& proxies) const
    {
        std::vector<BuildNode*> nodes{first};
        unsigned const step = mOptions.hierarchyStepSize;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            BuildNode* node = nodes[i];
            if (node != first && step > 0 && node->id.level() == first->id.level() + step && node->childMask) {
                proxies.push_back(node);
                continue;
            }
            for (auto& child : node->children) {
                if (child)
                    nodes.push_back(child.get());
            }
        }
        return nodes;
    }

    std::size_t writeHierarchy(BuildNode& root, std::filesystem::path const& path) const
    {
        std::vector<BuildNode*> chunkFirsts{&root};
        std::vector<std::vector<BuildNode*>> chunks;
        std::vector<std::vector<BuildNode*>> chunkProxies;
        std::uint64_t offset = 0;
        for (std::size_t c = 0; c < chunkFirsts.size(); ++c) {
            std::vector<BuildNode*> proxies;
            chunks.push_back(chunkNodes(chunkFirsts[c], proxies));
            chunkFirsts[c]->chunkOffset = offset;
            chunkFirsts[c]->chunkSize = chunks.back().size() * kHierarchyRecordBytes;
            offset += chunkFirsts[c]->chunkSize;
            chunkFirsts.insert(chunkFirsts.end(), proxies.begin(), proxies.end());
            chunkProxies.push_back(std::move(proxies));
        }
        OutputFile file(path);
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            std::string bytes;
            for (BuildNode const* node : chunks[c]) {
                bool const proxy = std::find(chunkProxies[c].begin(), chunkProxies[c].end(), node) != chunkProxies[c].end();
                NodeType const type = proxy ? NodeType::Proxy : node->childMask ? NodeType::Normal : NodeType::Leaf;
                append(bytes, static_cast<std::uint8_t>(type));
                append(bytes, node->childMask);
                append(bytes, static_cast<std::uint32_t>(node->points.size()));
                append(bytes, proxy ? node->chunkOffset : node->byteOffset);
                append(bytes, proxy ? node->chunkSize : node->byteSize);
            }
            file.write(bytes);
        }
        file.close();
        return chunks.size();
    }

    void writeMetadata(std::filesystem::path const& path, WriteSummary const& summary,
                       std::uint64_t firstChunkSize) const
    {
        using Json = nlohmann::ordered_json;
        Math::Point<double, 3> const cubeSize = mGrid.scale * std::ldexp(1.0, static_cast<int>(mCubeBits));
        Json attributes = Json::array();
        auto attribute = [&](std::string const& name, std::size_t size, std::size_t elements, std::string const& type,
                             std::vector<double> min, std::vector<double> max) {
            attributes.push_back({{"name", name},
                                  {"description", ""},
                                  {"size", size},
                                  {"numElements", elements},
                                  {"elementSize", size / elements},
                                  {"type", type},
                                  {"min", min},
                                  {"max", max}});
        };
        attribute("position", 12, 3, "int32", {mBounds.min().x(), mBounds.min().y(), mBounds.min().z()},
                  {mBounds.max().x(), mBounds.max().y(), mBounds.max().z()});
        auto range = [&](auto member) {
            double low = std::numeric_limits<double>::max();
            double high = std::numeric_limits<double>::lowest();
            for (Octree::SourcePoint const& point : mSource.points) {
                low = std::min(low, static_cast<double>(member(point)));
                high = std::max(high, static_cast<double>(member(point)));
            }
            return std::pair{std::vector<double>{low}, std::vector<double>{high}};
        };
        if (mSource.hasRgb) {
            std::vector<double> low;
            std::vector<double> high;
            for (int c = 0; c < 3; ++c) {
                auto const [l, h] = range([c](Octree::SourcePoint const& p) { return p.rgb[static_cast<std::size_t>(c)]; });
                low.push_back(l[0]);
                high.push_back(h[0]);
            }
            attribute("rgb", 6, 3, "uint16", low, high);
        }
        if (mSource.hasIntensity) {
            auto const [low, high] = range([](Octree::SourcePoint const& p) { return p.intensity; });
            attribute("intensity", 2, 1, "uint16", low, high);
        }
        if (mSource.hasClassification) {
            auto const [low, high] = range([](Octree::SourcePoint const& p) { return p.classification; });
            attribute("classification", 1, 1, "uint8", low, high);
        }
        if (mSource.hasScanIndex) {
            auto const [low, high] = range([](Octree::SourcePoint const& p) { return p.scanIndex; });
            attribute("ScanIndex", 4, 1, "int32", low, high);
        }
        std::size_t attributeOffset = 0;
        for (Octree::SourceAttribute const& extra : mSource.extraAttributes) {
            auto const [low, high] = extraRange(extra, attributeOffset);
            attribute(extra.name, extra.size, extra.elements, extra.type, low, high);
            attributeOffset += extra.size;
        }
        auto vector3 = [](Math::Point<double, 3> const& p) { return std::vector<double>{p.x(), p.y(), p.z()}; };
        Json const metadata = {
            {"version", "2.0"},
            {"name", path.parent_path().filename().string()},
            {"description", ""},
            {"points", mSource.points.size()},
            {"projection", mSource.crs},
            {"hierarchy",
             {{"firstChunkSize", firstChunkSize},
              {"stepSize", mOptions.hierarchyStepSize},
              {"depth", summary.depth}}},
            {"offset", vector3(mGrid.origin)},
            {"scale", vector3(mGrid.scale)},
            {"spacing", cubeSize.maxCoeff() / kCellsPerSideAtRoot},
            {"boundingBox", {{"min", vector3(mGrid.origin)}, {"max", vector3(mGrid.origin + cubeSize)}}},
            {"encoding", mOptions.encoding == Encoding::Brotli ? "BROTLI" : "DEFAULT"},
            {"attributes", attributes},
        };
        OutputFile file(path);
        file.write(metadata.dump(1, '\t'));
        file.close();
    }

    // Per element, the lowest and highest value of a further attribute that has a numeric
    // type; empty lists for opaque bytes.
    std::pair<std::vector<double>, std::vector<double>> extraRange(Octree::SourceAttribute const& attribute,
                                                                   std::size_t offset) const
    {
        std::size_t const elementSize = attribute.size / attribute.elements;
        std::vector<double> low(attribute.elements, std::numeric_limits<double>::max());
        std::vector<double> high(attribute.elements, std::numeric_limits<double>::lowest());
        if (attribute.type == "undefined")
            return {};
        for (std::uint32_t i = 0; i < mSource.points.size(); ++i) {
            for (std::size_t e = 0; e < attribute.elements; ++e) {
                double const value = elementValue(attribute.type, extraValues(i) + offset + e * elementSize);
                if (std::isnan(value))
                    continue;
                low[e] = std::min(low[e], value);
                high[e] = std::max(high[e], value);
            }
        }
        return {low, high};
    }

    Octree::SourcePoints const& mSource;
    WriterOptions const& mOptions;
    std::size_t mExtraStride = 0;
    Quantization mGrid;
    Math::NBoundingBox<double, 3> mBounds;
    std::vector<std::array<std::uint32_t, 3>> mQuantized;
    unsigned mCubeBits = 0;
    unsigned mMaxDepth = 0;
};

} // namespace

Quantization quantization(Octree::SourcePoints const& source, WriterOptions const& options)
{
    Math::Point<double, 3> const minimum = source.bounds().min();
    if (!options.scale && source.grid) {
        Octree::SourceGrid const& grid = *source.grid;
        Math::Point<double, 3> const steps = ((minimum - grid.offset).array() / grid.scale.array()).round().matrix();
        return {grid.scale, grid.offset + Math::Point<double, 3>(steps.array() * grid.scale.array())};
    }
    return {options.scale.value_or(Math::Point<double, 3>::Constant(kDefaultScale)), minimum};
}

std::array<std::uint32_t, 3> quantize(Math::Point<double, 3> const& position, Math::Point<double, 3> const& origin,
                                      Math::Point<double, 3> const& scale)
{
    std::array<std::uint32_t, 3> stored{};
    for (int axis = 0; axis < 3; ++axis) {
        double const steps = std::round((position[axis] - origin[axis]) / scale[axis]);
        stored[static_cast<std::size_t>(axis)] =
            static_cast<std::uint32_t>(std::clamp(steps, 0.0, static_cast<double>(kMaxStoredCoordinate)));
    }
    return stored;
}

WriteSummary writePotree(Octree::SourcePoints const& source, std::filesystem::path const& folder,
                         WriterOptions const& options, std::function<void(double)> const& progress,
                         std::stop_token stopToken)
{
    return Writer(source, options).write(folder, progress, stopToken);
}

} // namespace PoTree
