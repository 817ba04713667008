#include "octree/potreehierarchy.h"
#include "octree/potreenodedecoder.h"

#include "core/brotlidecode.h"
#include "support/thrownmessage.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Three points of position, colour and intensity on a small grid.
std::string metadataJson(std::string const& encoding)
{
    return R"({"encoding": ")" + encoding + R"(", "hierarchy": {"firstChunkSize": 22},
        "offset": [0, 0, 0], "scale": [0.5, 0.25, 1], "spacing": 1, "points": 3,
        "boundingBox": {"min": [0, 0, 0], "max": [2, 2, 2]}, "attributes": [{"name": "position", "size": 12},
        {"name": "rgb", "size": 6}, {"name": "intensity", "size": 2, "min": [0], "max": [256]}]})";
}

template <class T>
void append(std::string& bytes, T value)
{
    bytes.append(reinterpret_cast<char const*>(&value), sizeof(T));
}

std::string record(std::uint8_t typeByte, std::uint8_t mask, std::uint32_t points, std::uint64_t offset,
                   std::uint64_t size)
{
    std::string bytes;
    append(bytes, typeByte);
    append(bytes, mask);
    append(bytes, points);
    append(bytes, offset);
    append(bytes, size);
    return bytes;
}

Math::NBoundingBox<double, 3> const kBox({0, 0, 0}, {2, 2, 2});

TEST(PotreeHierarchy, RecordsSplitTheTypeByteAndTheChunkSizeDecidesWhatIsRead)
{
    std::string const two = record(0, 0x01, 10, 0, 200) + record(1, 0, 5, 200, 100);
    auto const root = PoTree::parseHierarchyChunk(two, {}, kBox);
    EXPECT_EQ(root->numPoints, 10u);
    ASSERT_TRUE(root->children[0]);
    EXPECT_EQ(root->children[0]->numPoints, 5u);
    EXPECT_EQ(root->children[0]->byteOffset, 200u);
    auto const none = PoTree::parseHierarchyChunk(two.substr(0, 21), {}, kBox);
    EXPECT_EQ(none->numPoints, 0u);
    EXPECT_EQ(none->childMask, 0u);

    auto const proxy = PoTree::parseHierarchyChunk(record(0x12, 0xff, 0, 1000, 44), {}, kBox);
    EXPECT_EQ(proxy->type, 2u);
    EXPECT_EQ(proxy->flags, 1u);
    EXPECT_TRUE(proxy->isProxy());
    EXPECT_TRUE(std::ranges::none_of(proxy->children, [](auto const& child) { return bool(child); }));

    Octree::OctreeNodeId deepest;
    for (unsigned level = 0; level < Octree::OctreeNodeId::kMaxLevel; ++level)
        deepest = deepest.child(0);
    EXPECT_EQ(PoTree::parseHierarchyChunk(record(0, 0xff, 1, 0, 1), deepest, kBox)->childMask, 0u) << "deepest level";
    // Child boxes split at the centre, child index bits x, y, z.
    EXPECT_EQ(PoTree::childBox(kBox, 5), (Math::NBoundingBox<double, 3>({1, 0, 1}, {2, 1, 2})));
}

TEST(PotreeDecoder, DefaultRecordsInterleaveTheAttributes)
{
    auto const metadata = PoTree::Metadata::parse(metadataJson("DEFAULT"), "metadata.json");
    EXPECT_EQ(metadata.bytesPerPoint, 20u);
    std::string bytes;
    for (std::uint32_t i = 0; i < 3; ++i) {
        append(bytes, i * 2);
        append(bytes, i * 4);
        append(bytes, i);
        std::uint16_t const rgb[3][3] = {{300, 255, 65535}, {0, 1, 2}, {256, 512, 1024}};
        for (std::uint16_t const c : rgb[i])
            append(bytes, c);
        append(bytes, static_cast<std::uint16_t>(i * 128));
    }
    auto const points = PoTree::decodeNodePoints(metadata, bytes, 3, "r");
    ASSERT_EQ(points.count, 3u);
    EXPECT_EQ(points.intensities[2], 256u);

    Render::VertexContainer vertices;
    PoTree::decodeNodeVertices(metadata, bytes, 3, "r", 2.0, vertices);
    ASSERT_EQ(vertices.size(), 3u);
    EXPECT_EQ(vertices.position(2), (Math::Point<float, 3>(4 * 0.5f * 2, 8 * 0.25f * 2, 2 * 1.0f * 2)));
    EXPECT_EQ(vertices.data()[0].color, Math::Color(1, 255, 255, 255));
    EXPECT_EQ(vertices.data()[2].intensity, 256u);

    // Bytes that do not match the point count are refused, naming the node.
    EXPECT_NE(TestSupport::thrownMessage<std::runtime_error>([&] { PoTree::decodeNodePoints(metadata, bytes, 4, "r04"); })
                  .find("r04"),
              std::string::npos);
    EXPECT_THROW(PoTree::decodeNodePoints(metadata, bytes.substr(1), 3, "r"), std::runtime_error);
}

TEST(PotreeDecoder, IntensityGrayMortonCodesAndOctahedralNormalsDecodeOverTheirWholeRange)
{
    // Intensity, range and gray: within the range, clamped outside it instead of wrapping, and the high
    // byte for an empty or inverted range instead of a division by zero.
    for (auto const [intensity, min, max, gray] :
         {std::array<int, 4>{0, 0, 256, 0}, {128, 0, 256, 127}, {256, 0, 256, 255}, {1000, 0, 256, 255},
          {5, 10, 256, 0}, {0x1234, 7, 7, 0x12}, {0xff00, 9, 3, 0xff}})
        EXPECT_EQ(PoTree::intensityGray(std::uint16_t(intensity), min, max), gray) << intensity << " " << min;

    for (std::array<std::uint32_t, 3> const position :
         {std::array<std::uint32_t, 3>{0, 0, 0}, {1, 2, 3}, {0xffffffff, 0, 0x80000000}, {0x08000000, 0x0400, 7}}) {
        EXPECT_EQ(PoTree::decodeMortonPosition(PoTree::encodeMortonPosition(position)), position);
    }
    // Bit k of x, y, z is bit 3k, 3k + 1, 3k + 2.
    EXPECT_EQ(PoTree::decodeMortonColor(0b100'010'001), (std::array<std::uint16_t, 3>{0b001, 0b010, 0b100}));
    EXPECT_EQ(PoTree::decodeMortonPosition({0, 0, 0b111, 0}), (std::array<std::uint32_t, 3>{1, 1, 1}));
    EXPECT_EQ(PoTree::decodeMortonPosition({0b001, 0, 0, 0}), (std::array<std::uint32_t, 3>{1u << 16, 0, 0}));

    EXPECT_NEAR(PoTree::decodeOctahedralNormal(0x7f7f).z(), 1.0f, 1e-2f);
    Eigen::Vector3f const folded = PoTree::decodeOctahedralNormal(0xff00);
    EXPECT_NEAR(folded.norm(), 1.0f, 1e-5f);
    EXPECT_LE(folded.z(), 0.0f);
}

TEST(PotreeDecoder, BrotliNodesStoreAttributesOneAfterAnother)
{
    auto const metadata = PoTree::Metadata::parse(metadataJson("BROTLI"), "metadata.json");
    EXPECT_EQ(metadata.brotliBytesPerPoint(), 26u);
    std::string bytes;
    for (std::uint32_t i = 0; i < 2; ++i)
        for (std::uint32_t const word : PoTree::encodeMortonPosition({i + 1, i + 2, i + 3}))
            append(bytes, word);
    for (std::uint16_t i = 0; i < 2; ++i)
        append(bytes, PoTree::encodeMortonColor({static_cast<std::uint16_t>(10 + i), 20, 30}));
    append(bytes, std::uint16_t{7});
    append(bytes, std::uint16_t{9});
    auto const points = PoTree::decodeNodePoints(metadata, bytes, 2, "r");
    EXPECT_EQ(points.positions[1], (std::array<std::uint32_t, 3>{2, 3, 4}));
    EXPECT_EQ(points.colors[1], (std::array<std::uint16_t, 3>{11, 20, 30}));
    EXPECT_EQ(points.intensities[1], 9u);

    Render::VertexContainer vertices;
    PoTree::decodeNodeVertices(metadata, bytes, 2, "r", 1.0, vertices);
    EXPECT_EQ(vertices.position(1), (Math::Point<float, 3>(2 * 0.5f, 3 * 0.25f, 4 * 1.0f)));
    EXPECT_EQ(vertices.data()[1].color, Math::Color(11, 20, 30, 255));
    EXPECT_EQ(vertices.data()[1].intensity, 9u);
    // BROTLI records are larger than the metadata's byte count: 3 points of 26 bytes, not 20.
    EXPECT_THROW(PoTree::decodeNodePoints(metadata, std::string(60, '\0'), 3, "r"), std::runtime_error);
    EXPECT_NO_THROW(PoTree::decodeNodePoints(metadata, std::string(78, '\0'), 3, "r"));
}

TEST(PotreeMetadata, MissingOrMalformedFieldsAreNamed)
{
    std::string const good = metadataJson("DEFAULT");
    EXPECT_NO_THROW(PoTree::Metadata::parse(good, "/data/set/metadata.json"));
    struct Case {
        std::string from, to, message;
    };
    // A number beyond double range is a JSON error too, not an escaping library exception.
    for (Case const& c : std::initializer_list<Case>{
             {R"("encoding": "DEFAULT")", R"("encodin": "DEFAULT")", "field 'encoding' is missing"},
             {R"("scale": [0.5, 0.25, 1])", R"("scale": [0.5, 0.25])", "field 'scale' is not an array of 3 numbers"},
             {R"("firstChunkSize": 22)", R"("firstChunkSize": -1)",
              "field 'hierarchy.firstChunkSize' is not a non-negative integer"},
             {R"({"name": "rgb", "size": 6})", R"({"name": "rgb", "size": 3})",
              "field 'attributes[1].size' is 3 for 'rgb', expected 6"},
             {R"("spacing": 1)", R"("spacing": 1e400)", "not valid JSON"},
             {good.substr(40), "", "not valid JSON"},
             {good.substr(good.find(R"("attributes")")), R"("attributes": [{"name": "user data", "size": 0}]})",
              "field 'attributes' describe 0 bytes per point"},
         }) {
        std::string json = good;
        json.replace(json.find(c.from), c.from.size(), c.to);
        std::string const message = TestSupport::thrownMessage<std::runtime_error>(
            [&] { PoTree::Metadata::parse(json, "/data/set/metadata.json"); });
        EXPECT_NE(message.find("/data/set/metadata.json: " + c.message), std::string::npos) << message;
    }
}

TEST(BrotliDecode, DecodesAndRejectsCorruptOrTruncatedStreams)
{
    std::string const text(100000, 'm');
    std::string compressed(BrotliEncoderMaxCompressedSize(text.size()), '\0');
    std::size_t size = compressed.size();
    ASSERT_TRUE(BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, text.size(),
                                      reinterpret_cast<std::uint8_t const*>(text.data()), &size,
                                      reinterpret_cast<std::uint8_t*>(compressed.data())));
    compressed.resize(size);
    EXPECT_EQ(Core::brotliDecode(compressed), text);
    EXPECT_THROW(Core::brotliDecode(compressed.substr(0, size / 2)), std::runtime_error);
    EXPECT_THROW(Core::brotliDecode(std::string(16, '\xff')), std::runtime_error);
    EXPECT_THROW(Core::brotliDecode(""), std::runtime_error);
}

} // namespace
