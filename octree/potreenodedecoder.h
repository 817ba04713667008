#pragma once

#include "math/vertexcontainer.h"
#include "octree/nodepointdata.h"
#include "octree/potreelocation.h"
#include "octree/potreemetadata.h"
#include "octree/potreenode.h"

#include <array>
#include <stop_token>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace PoTree {

// The attributes of one node's points that the renderer and the queries use, each
// empty when the data set does not have it.
struct DecodedPoints {
    std::size_t count = 0;
    std::vector<std::array<std::uint32_t, 3>> positions;
    std::vector<std::array<std::uint16_t, 3>> colors;
    std::vector<std::uint16_t> intensities;
    std::vector<std::int32_t> scanIndices;
    std::vector<std::uint8_t> classifications;
    std::vector<std::uint8_t> visibility;
    std::vector<Eigen::Vector3f> normals;
};

// Splits a node's bytes (decompressed already for BROTLI) into its attributes. The bytes
// must hold exactly `numPoints` points; otherwise throws std::runtime_error naming `nodeName`.
DecodedPoints decodeNodePoints(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                               std::string const& nodeName);

// Fetches, decompresses and decodes a node's points from `location`. False when stopped;
// throws std::runtime_error naming the file and the node when the bytes cannot be read or
// decoded. A node without points gives an empty result.
bool readNodePoints(Location const& location, Node const& node, DecodedPoints& out, std::stop_token stopToken);

// Every attribute of a node's points as stored, one block per attribute of the metadata in its
// order, the attribute's size a point; BROTLI positions and colors come out of their Morton
// codes. Throws like decodeNodePoints.
std::vector<std::string> decodeNodeAttributes(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                                              std::string const& nodeName);
// Fetches, decompresses and splits a node's bytes like readNodePoints.
bool readNodeAttributes(Location const& location, Node const& node, std::vector<std::string>& out,
                        std::stop_token stopToken);

// Morton code helpers of the BROTLI encoding, shared with the writer.
std::array<std::uint32_t, 3> decodeMortonPosition(std::array<std::uint32_t, 4> const& words);
std::array<std::uint32_t, 4> encodeMortonPosition(std::array<std::uint32_t, 3> const& position);
std::array<std::uint16_t, 3> decodeMortonColor(std::uint64_t code);
std::uint64_t encodeMortonColor(std::array<std::uint16_t, 3> const& color);

// 16-bit octahedral normal code: high byte x, low byte y.
Eigen::Vector3f decodeOctahedralNormal(std::uint16_t code);

// Gray of an intensity within the metadata's range, clamped to 0..255; an empty or inverted
// range maps the high byte.
std::uint8_t intensityGray(std::uint16_t intensity, double min, double max);

// 16-bit color channels as stored: values above 255 are taken as 16-bit and reduced to 8 bits.
std::uint8_t colorChannel(std::uint16_t value);

// Decodes a node's bytes (decompressed already for BROTLI) straight into the vertex layout,
// growing `out` to the node's count when smaller and writing only the attributes the data set
// has, so that the sources of further attributes can add theirs to the same vertices. Positions
// are relative to the data set's offset, in `unitScale`. Throws std::runtime_error naming
// `nodeName` unless the bytes hold exactly `numPoints` points.
void decodeNodeVertices(Metadata const& metadata, std::string_view bytes, std::uint32_t numPoints,
                        std::string const& nodeName, double unitScale, Render::VertexContainer& out);
// Fetches, decompresses and decodes a node's points into `out` as decodeNodeVertices does; false
// when stopped, failures as readNodePoints.
bool readNodeVertices(Location const& location, Node const& node, double unitScale, Render::VertexContainer& out,
                      std::stop_token stopToken);
// Writes decoded points into the query container, which is resized to the node's count.
// Positions are relative to the data set's offset, in `unitScale`.
void fillNodePointData(DecodedPoints const& points, Metadata const& metadata, double unitScale,
                       Octree::NodePointData& out);

} // namespace PoTree
