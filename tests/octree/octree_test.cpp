#include "testdatasets.h"

#include "support/thrownmessage.h"

#include "core/filereading.h"
#include "octree/nodevertexloader.h"
#include "octree/pointiterator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <functional>
#include <stdexcept>

namespace {

using Octree::OctreeNodeId;
using OctreeTest::TempFolder;
using TestSupport::thrownMessage;
using TestSupport::writeFile;

// Small nodes and one level per hierarchy chunk, so that few points make several chunks.
OctreeTest::WrittenDataSet writeDataSet(std::string const& name, std::size_t points,
                                        PoTree::Encoding encoding = PoTree::Encoding::Default)
{
    PoTree::WriterOptions options;
    options.encoding = encoding;
    options.hierarchyStepSize = 1;
    return {name, OctreeTest::randomPoints(points), 100, options};
}

TEST(PotreeOctree, MissingNodesAndDamagedFilesFailNamingTheFile)
{
    auto const single = writeDataSet("missing", 50);
    Octree::Octree const leaf(single.location(), 1.0);
    EXPECT_TRUE(leaf.isLeaf(leaf.root()));
    Render::VertexContainer vertices;
    EXPECT_EQ(thrownMessage([&] { Octree::loadNodeVertices(leaf, leaf.root().child(3), vertices, {}); }),
              "Failed to fetch node by id");
    std::stop_source stop;
    stop.request_stop();
    Octree::OctreeNodeCache cache;
    Octree::NodePointData points;
    EXPECT_FALSE(cache.getOrLoad(leaf, leaf.root(), points, stop.get_token())) << "a stopped load";
    EXPECT_FALSE(cache.get(leaf.root()));

    auto const brotli = writeDataSet("corrupt", 50, PoTree::Encoding::Brotli);
    std::string octreeBytes = Core::readLocalFile(brotli.file("octree.bin"));
    for (std::size_t i = 0; i < octreeBytes.size(); i += 3)
        octreeBytes[i] = static_cast<char>(~octreeBytes[i]);
    writeFile(brotli.file("octree.bin"), octreeBytes);
    std::string error;
    EXPECT_FALSE(Octree::loadNodeVertices(*brotli.open(), leaf.root(), vertices, {}, &error));
    EXPECT_NE(error.find("r"), std::string::npos) << "a corrupt Brotli node is reported, not crashed";

    auto const dataSet = writeDataSet("truncated", 1000);
    std::filesystem::resize_file(dataSet.file("octree.bin"), 10);
    EXPECT_FALSE(Octree::loadNodeVertices(*dataSet.open(), leaf.root(), vertices, {}, &error));
    EXPECT_NE(error.find("octree.bin"), std::string::npos) << error;
    // A hierarchy cut short: the root's chunk cannot be read, and the cause names the file.
    std::filesystem::resize_file(dataSet.file("hierarchy.bin"), 5);
    auto const cut = dataSet.open();
    try {
        cut->potreeTree()->nodeById(cut->root());
        FAIL() << "expected an error";
    } catch (std::runtime_error const& failure) {
        EXPECT_STREQ(failure.what(), "Failed to fetch node by id");
        EXPECT_NE(thrownMessage([&] { std::rethrow_if_nested(failure); }).find("hierarchy.bin"), std::string::npos);
    }
    writeFile(dataSet.file("metadata.json"), "{\"encoding\": ");
    EXPECT_NE(thrownMessage([&] { dataSet.open(); }).find("metadata.json"), std::string::npos);
}

// A box standing in for a closed shell.
struct BoxShell {
    Math::NBoundingBox<float, 3> box;
    Math::NBoundingBox<float, 3> boundingBox() const { return box; }
    bool isInside(Math::Point<float, 3> const& point) const { return box.contains(point); }
};

TEST(PotreeOctree, GeometryFollowsTheUnitScaleAndIteratorsWalkAllPointsOrThoseInsideAShell)
{
    auto const dataSet = writeDataSet("geometry", 2000);
    Octree::Octree octree(dataSet.location(), 1.0);
    auto const cube = octree.boundingCube(octree.root());
    auto const child = octree.boundingCube(octree.root().child(7));
    EXPECT_FLOAT_EQ(child.min().x(), cube.center().x());
    EXPECT_FLOAT_EQ(child.max().x(), cube.max().x());
    EXPECT_FLOAT_EQ(octree.spacing(2), octree.spacing() / 4);
    Render::VertexContainer metres;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), metres, {}));

    octree.setUnitScale(1000.0);
    EXPECT_FLOAT_EQ(octree.spacing(), 1000.0f * octree.spacing(0) / 1000.0f);
    EXPECT_FLOAT_EQ(octree.boundingCube(octree.root()).max().x(), cube.max().x() * 1000.0f);
    Render::VertexContainer millimetres;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), millimetres, {}));
    ASSERT_EQ(millimetres.size(), metres.size());
    EXPECT_NEAR(millimetres.position(5).y(), metres.position(5).y() * 1000.0f, 1e-2f);

    // Back in metres: all points, those inside the lower octant, those of the coarse levels.
    octree.setUnitScale(1.0);
    Octree::OctreeNodeCache cache;
    std::size_t all = 0;
    auto everything = Octree::allPoints(octree, cache, 0.0f, {});
    while (everything.next())
        all += everything.points().size();
    EXPECT_EQ(all, 2000u);
    EXPECT_TRUE(cache.get(octree.root()));

    BoxShell const shell{{cube.min(), cube.center()}};
    std::size_t inside = 0;
    auto within = Octree::allPointsInside(octree, cache, shell, 0.0f, {});
    while (within.next()) {
        for (std::size_t i = 0; i < within.points().size(); ++i)
            ASSERT_TRUE(shell.isInside(within.points().position(i).cast<float>()));
        inside += within.points().size();
    }
    EXPECT_GT(inside, 0u);
    EXPECT_LT(inside, all);

    // A coarse spacing stops at the root.
    std::size_t coarse = 0;
    auto rootOnly = Octree::allPoints(octree, cache, octree.spacing() * 2, {});
    while (rootOnly.next())
        coarse += rootOnly.points().size();
    EXPECT_EQ(coarse, cache.get(octree.root())->size());
}

TEST(PotreeOctree, VisibilityAttributesHideNodesAndPoints)
{
    auto const dataSet = writeDataSet("visibility", 40);
    auto const location = dataSet.location();
    Octree::Octree octree(location, 1.0);

    // A visibility-only data set over the same node: every second point hidden.
    TempFolder const folder("visibility-hidden");
    auto json = nlohmann::json::parse(Core::readLocalFile(dataSet.file("metadata.json")));
    json["attributes"] = nlohmann::json::array({{{"name", "visibility"}, {"size", 1}}});
    writeFile(folder.path() / "hidden" / "metadata.json", json.dump());
    std::string hierarchy = Core::readLocalFile(dataSet.file("hierarchy.bin")).substr(0, 22);
    std::uint64_t const zero = 0;
    std::uint64_t const size = 40;
    std::memcpy(hierarchy.data() + 6, &zero, 8);
    std::memcpy(hierarchy.data() + 14, &size, 8);
    writeFile(folder.path() / "hidden" / "hierarchy.bin", hierarchy);
    std::string visibility;
    for (int i = 0; i < 40; ++i)
        visibility += static_cast<char>(i % 2);
    writeFile(folder.path() / "hidden" / "octree.bin", visibility);
    octree.addExternalAttributeLocation(std::make_shared<PoTree::FileSystemLocation>(folder.path() / "hidden"));

    Render::VertexContainer vertices;
    std::string error;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), vertices, {}, &error)) << error;
    EXPECT_EQ(vertices.size(), 20u);
    EXPECT_EQ(octree.nodeVisibility(octree.root()), Octree::NodeVisibilityType::PartiallyVisible);

    // Flags 2: the whole node hidden, without point bytes.
    hierarchy[0] = static_cast<char>(0x21);
    writeFile(folder.path() / "hidden" / "hierarchy.bin", hierarchy);
    Octree::Octree hiddenAll(location, 1.0);
    hiddenAll.addExternalAttributeLocation(std::make_shared<PoTree::FileSystemLocation>(folder.path() / "hidden"));
    EXPECT_EQ(hiddenAll.nodeVisibility(hiddenAll.root()), Octree::NodeVisibilityType::Hidden);
    ASSERT_TRUE(Octree::loadNodeVertices(hiddenAll, hiddenAll.root(), vertices, {}));
    EXPECT_EQ(vertices.size(), 0u);
}

// Writes a small Entwine tree with "binary" node data and the given extra dimensions.
std::shared_ptr<Entwine::FileSystemLocation> writeEntwine(std::filesystem::path const& folder, bool withColor,
                                                          bool withIntensity)
{
    nlohmann::json schema = nlohmann::json::array({
        {{"name", "X"}, {"type", "signed"}, {"size", 4}, {"scale", 0.01}, {"offset", 100.0}},
        {{"name", "Y"}, {"type", "signed"}, {"size", 4}, {"scale", 0.01}, {"offset", 100.0}},
        {{"name", "Z"}, {"type", "float"}, {"size", 8}},
    });
    if (withIntensity)
        schema.push_back({{"name", "Intensity"}, {"type", "unsigned"}, {"size", 2}});
    if (withColor)
        for (char const* channel : {"Red", "Green", "Blue"})
            schema.push_back({{"name", channel}, {"type", "unsigned"}, {"size", 2}});
    nlohmann::json const description = {{"bounds", {90, 90, 0, 110, 110, 20}}, {"dataType", "binary"},
                                        {"hierarchyType", "json"}, {"points", 3}, {"span", 128}, {"schema", schema}};
    writeFile(folder / "ept.json", description.dump());
    writeFile(folder / "ept-hierarchy" / "0-0-0-0.json", R"({"0-0-0-0": 2, "1-1-0-0": -1})");
    writeFile(folder / "ept-hierarchy" / "1-1-0-0.json", R"({"1-1-0-0": 1})");
    auto record = [&](std::int32_t x, double z, std::uint16_t intensity) {
        std::string bytes(reinterpret_cast<char const*>(&x), 4);
        bytes.append(reinterpret_cast<char const*>(&x), 4);
        bytes.append(reinterpret_cast<char const*>(&z), 8);
        if (withIntensity)
            bytes.append(reinterpret_cast<char const*>(&intensity), 2);
        if (withColor)
            for (std::uint16_t const channel : {std::uint16_t{10}, std::uint16_t{20}, std::uint16_t{30}})
                bytes.append(reinterpret_cast<char const*>(&channel), 2);
        return bytes;
    };
    writeFile(folder / "ept-data" / "0-0-0-0.bin", record(-500, 1.0, 0x1234) + record(500, 2.0, 0xff00));
    writeFile(folder / "ept-data" / "1-1-0-0.bin", record(700, 3.0, 0));
    return std::make_shared<Entwine::FileSystemLocation>(folder);
}

TEST(EntwineOctree, BinaryNodesAndNestedHierarchyPagesAndBrokenFilesNamed)
{
    TempFolder const folder("ept");
    std::filesystem::path const colored = folder.path() / "colored";
    auto const location = writeEntwine(colored, true, true);
    Octree::Octree const octree(location, 1.0);
    EXPECT_EQ(octree.position(), (Math::Point<double, 3>(100, 100, 10)));
    auto const children = octree.children(octree.root());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(Entwine::nodeKey(children[0]), "1-1-0-0");
    EXPECT_FLOAT_EQ(octree.spacing(), 20.0f / 128.0f);

    Render::VertexContainer vertices;
    ASSERT_TRUE(Octree::loadNodeVertices(octree, octree.root(), vertices, {}));
    ASSERT_EQ(vertices.size(), 2u);
    EXPECT_EQ(vertices.position(0), (Math::Point<float, 3>(-5.0f, -5.0f, -9.0f)));
    EXPECT_EQ(vertices.data()[1].color, Math::Color(10, 20, 30, 255));
    EXPECT_EQ(vertices.data()[1].intensity, 0xff00u);
    ASSERT_TRUE(Octree::loadNodeVertices(octree, children[0], vertices, {}));
    EXPECT_EQ(vertices.size(), 1u);
    EXPECT_FALSE(Octree::loadNodeVertices(octree, octree.root().child(0), vertices, {}));

    // Without colors and intensity the points are opaque black (gray from intensity is checked on real data).
    Octree::Octree const plain(writeEntwine(folder.path() / "plain", false, false), 1.0);
    ASSERT_TRUE(Octree::loadNodeVertices(plain, plain.root(), vertices, {}));
    EXPECT_EQ(vertices.data()[0].color, Math::Color::black(255));
    EXPECT_EQ(vertices.data()[0].intensity, 0u);

    // Each broken file fails naming itself.
    writeFile(colored / "ept-hierarchy" / "1-1-0-0.json", R"({"1-1-0-0": -1})");
    EXPECT_NE(thrownMessage([&] { Octree::Octree(location, 1.0); }).find("1-1-0-0.json"), std::string::npos);
    writeFile(colored / "ept-hierarchy" / "1-1-0-0.json", R"({"1-2-0-0": 5})");
    EXPECT_NE(thrownMessage([&] { Octree::Octree(location, 1.0); }).find("outside its level"), std::string::npos);
    writeFile(colored / "ept-hierarchy" / "1-1-0-0.json", R"({"1-1-0-0": 4e4000})");
    EXPECT_NE(thrownMessage([&] { Octree::Octree(location, 1.0); }).find("1-1-0-0.json: not valid JSON"),
              std::string::npos);
    writeFile(colored / "ept-hierarchy" / "1-1-0-0.json", R"({"1-1-0-0": 1})");
    writeFile(colored / "ept-data" / "1-1-0-0.bin", "short");
    std::string error;
    EXPECT_FALSE(Octree::loadNodeVertices(octree, children[0], vertices, {}, &error));
    EXPECT_NE(error.find("1-1-0-0.bin"), std::string::npos) << error;
    writeFile(colored / "ept.json", R"({"bounds": [0, 0, 0, 1, 1, 1], "dataType": "zstandard"})");
    EXPECT_NE(thrownMessage([&] { Octree::Octree(location, 1.0); }).find("ept.json: field 'dataType'"),
              std::string::npos);
}

TEST(OctreeNodeId, NavigatesCellsWithChildIndexBitsXyzDownToTheDeepestLevel)
{
    OctreeNodeId const root;
    OctreeNodeId const child = root.child(5).child(2);
    EXPECT_EQ(child.level(), 2u);
    EXPECT_EQ(child.childIndex(), 2u);
    EXPECT_EQ(child.parent().parent(), root);
    EXPECT_EQ(child.name(), "r52");
    // Child 5 = binary 101: upper half in x and z.
    EXPECT_EQ(root.child(5).cell(), (std::array<std::uint32_t, 3>{1, 0, 1}));
    EXPECT_EQ(OctreeNodeId::fromCell(3, 5, 2, 7).cell(), (std::array<std::uint32_t, 3>{5, 2, 7}));
    EXPECT_EQ(OctreeNodeId::fromCell(3, 5, 2, 7).level(), 3u);

    OctreeNodeId deepest;
    for (unsigned level = 0; level < OctreeNodeId::kMaxLevel; ++level)
        deepest = deepest.child(7);
    EXPECT_EQ(deepest.cell()[0], (1u << OctreeNodeId::kMaxLevel) - 1);
    EXPECT_THROW(deepest.child(0), std::logic_error);

    // Sorted level by level, hashed apart.
    EXPECT_LT(root, root.child(0));
    EXPECT_LT(root.child(7), root.child(0).child(0));
    EXPECT_NE(std::hash<OctreeNodeId>()(root.child(1)), std::hash<OctreeNodeId>()(root.child(2)));
}

} // namespace
