#include "octree/lasreader.h"

#include "octree/lasheader.h"
#include "octree/laszipreader.h"
#include "octree/littleendian.h"

#include <array>
#include <cstring>
#include <stdexcept>

namespace Las {
namespace {

using Octree::readLittleEndian;

constexpr std::uint8_t kFirstExtendedFormat = 6;
constexpr std::uint8_t kLegacyClassMask = 0x1f;
constexpr std::size_t kExtraBytesDescriptorSize = 192;
constexpr std::size_t kExtraBytesNameSize = 32;
constexpr std::uint16_t kExtraBytesRecord = 4;
constexpr std::uint16_t kWktRecord = 2112;
constexpr std::uint16_t kGeoKeyDirectoryRecord = 34735;
constexpr std::uint16_t kProjectedCrsKey = 3072;
constexpr std::uint16_t kGeographicCrsKey = 2048;
constexpr std::uint16_t kUserDefinedCode = 32767;
constexpr std::size_t kWavePacketBytes = 29;

// Where the optional parts of a record lie in each point format, 0 when absent.
struct RecordLayout {
    std::size_t standardSize;
    std::size_t gpsTime;
    std::size_t rgb;
    std::size_t nir;
    std::size_t wavePacket;
};
constexpr RecordLayout kLayouts[] = {
    {20, 0, 0, 0, 0},   {28, 20, 0, 0, 0},  {26, 0, 20, 0, 0},  {34, 20, 28, 0, 0},
    {57, 20, 0, 0, 28}, {63, 20, 28, 0, 34}, {30, 22, 0, 0, 0}, {36, 22, 30, 0, 0},
    {38, 22, 30, 36, 0}, {59, 22, 0, 0, 30}, {67, 22, 30, 36, 38},
};

// A further attribute taken from a record: `size` bytes copied from `offset`, or, when `mask`
// is set, the bits (byte >> shift) & mask of the byte at `offset`.
struct RecordField {
    Octree::SourceAttribute attribute;
    std::size_t offset;
    std::uint8_t mask = 0;
    std::uint8_t shift = 0;
};

RecordField bits(char const* name, std::size_t offset, std::uint8_t shift, std::uint8_t mask)
{
    return {{name, "uint8", 1, 1}, offset, mask, shift};
}

RecordField bytes(char const* name, char const* type, std::size_t size, std::size_t offset, std::size_t elements = 1)
{
    return {{name, type, size, elements}, offset};
}

std::vector<RecordField> standardFields(std::uint8_t format)
{
    RecordLayout const& layout = kLayouts[format];
    std::vector<RecordField> fields;
    if (format < kFirstExtendedFormat) {
        fields = {bits("return number", 14, 0, 0x7),       bits("number of returns", 14, 3, 0x7),
                  bits("scan direction flag", 14, 6, 0x1), bits("edge of flight line", 14, 7, 0x1),
                  bits("classification flags", 15, 5, 0x7), bytes("scan angle rank", "int8", 1, 16),
                  bytes("user data", "uint8", 1, 17),       bytes("point source id", "uint16", 2, 18)};
    } else {
        fields = {bits("return number", 14, 0, 0xf),        bits("number of returns", 14, 4, 0xf),
                  bits("classification flags", 15, 0, 0xf), bits("scanner channel", 15, 4, 0x3),
                  bits("scan direction flag", 15, 6, 0x1),  bits("edge of flight line", 15, 7, 0x1),
                  bytes("user data", "uint8", 1, 17),       bytes("scan angle", "int16", 2, 18),
                  bytes("point source id", "uint16", 2, 20)};
    }
    if (layout.gpsTime)
        fields.push_back(bytes("gps-time", "double", 8, layout.gpsTime));
    if (layout.nir)
        fields.push_back(bytes("nir", "uint16", 2, layout.nir));
    if (std::size_t const w = layout.wavePacket) {
        fields.push_back(bytes("wave packet descriptor index", "uint8", 1, w));
        fields.push_back(bytes("byte offset to waveform data", "uint64", 8, w + 1));
        fields.push_back(bytes("waveform packet size", "uint32", 4, w + 9));
        fields.push_back(bytes("return point waveform location", "float", 4, w + 13));
        fields.push_back(bytes("x(t)", "float", 4, w + 17));
        fields.push_back(bytes("y(t)", "float", 4, w + 21));
        fields.push_back(bytes("z(t)", "float", 4, w + 25));
    }
    return fields;
}

// The fields the extra bytes record describes; bytes past them (or all of them, without a
// record) become one opaque attribute so that nothing is lost.
std::vector<RecordField> extraBytesFields(std::vector<Vlr> const& vlrs, std::size_t first, std::size_t recordLength,
                                          std::string const& fileName)
{
    static constexpr std::array<char const*, 11> kTypes{"undefined", "uint8",  "int8",   "uint16", "int16", "uint32",
                                                        "int32",     "uint64", "int64",  "float",  "double"};
    static constexpr std::array<std::size_t, 11> kSizes{0, 1, 1, 2, 2, 4, 4, 8, 8, 4, 8};
    std::vector<RecordField> fields;
    std::size_t at = first;
    for (Vlr const& vlr : vlrs) {
        if (vlr.userId != "LASF_Spec" || vlr.recordId != kExtraBytesRecord)
            continue;
        for (std::size_t d = 0; d + kExtraBytesDescriptorSize <= vlr.payload.size(); d += kExtraBytesDescriptorSize) {
            auto const dataType = readLittleEndian<std::uint8_t>(vlr.payload, d + 2);
            auto const options = readLittleEndian<std::uint8_t>(vlr.payload, d + 3);
            // Types 11-30 are the deprecated arrays of two and three elements of types 1-10.
            std::size_t const elements = dataType == 0 ? 1 : (dataType - 1) / 10 + 1;
            std::size_t const base = dataType == 0 ? 0 : (dataType - 1) % 10 + 1;
            std::size_t const size = dataType == 0 ? options : kSizes[base] * elements;
            if (dataType > 30 || size == 0 || at + size > recordLength)
                throw std::runtime_error(fileName + ": the extra bytes record describes more bytes than a point has");
            std::string name = fixedText(vlr.payload, d + 4, kExtraBytesNameSize);
            fields.push_back({{std::move(name), kTypes[base], size, elements}, at});
            at += size;
        }
    }
    if (at < recordLength)
        fields.push_back(bytes("extra bytes", "undefined", recordLength - at, at));
    return fields;
}

// WKT when the file has it, else the EPSG code of its GeoTIFF keys, else nothing.
std::string coordinateSystem(std::vector<Vlr> const& vlrs)
{
    for (Vlr const& vlr : vlrs) {
        if (vlr.userId == "LASF_Projection" && vlr.recordId == kWktRecord)
            return fixedText(vlr.payload, 0, vlr.payload.size());
    }
    for (Vlr const& vlr : vlrs) {
        if (vlr.userId != "LASF_Projection" || vlr.recordId != kGeoKeyDirectoryRecord || vlr.payload.size() < 8)
            continue;
        std::size_t const keys = readLittleEndian<std::uint16_t>(vlr.payload, 6);
        std::uint16_t projected = 0;
        std::uint16_t geographic = 0;
        for (std::size_t k = 1; k <= keys && 8 * k + 8 <= vlr.payload.size(); ++k) {
            auto const id = readLittleEndian<std::uint16_t>(vlr.payload, 8 * k);
            auto const location = readLittleEndian<std::uint16_t>(vlr.payload, 8 * k + 2);
            auto const value = readLittleEndian<std::uint16_t>(vlr.payload, 8 * k + 6);
            if (location != 0)
                continue;
            if (id == kProjectedCrsKey)
                projected = value;
            else if (id == kGeographicCrsKey)
                geographic = value;
        }
        std::uint16_t const code = projected && projected != kUserDefinedCode ? projected : geographic;
        if (code && code != kUserDefinedCode)
            return "EPSG:" + std::to_string(code);
    }
    return {};
}

// A LASzip point written back as the record it was compressed from.
void packRecord(laszip_point const& point, std::uint8_t format, std::string& record)
{
    std::fill(record.begin(), record.end(), '\0');
    auto put = [&](std::size_t offset, auto value) { std::memcpy(record.data() + offset, &value, sizeof(value)); };
    RecordLayout const& layout = kLayouts[format];
    put(0, point.X);
    put(4, point.Y);
    put(8, point.Z);
    put(12, point.intensity);
    if (format < kFirstExtendedFormat) {
        put(14, static_cast<std::uint8_t>(point.return_number | point.number_of_returns << 3 |
                                          point.scan_direction_flag << 6 | point.edge_of_flight_line << 7));
        put(15, static_cast<std::uint8_t>(point.classification | point.synthetic_flag << 5 | point.keypoint_flag << 6 |
                                          point.withheld_flag << 7));
        put(16, point.scan_angle_rank);
        put(17, point.user_data);
        put(18, point.point_source_ID);
    } else {
        put(14, static_cast<std::uint8_t>(point.extended_return_number | point.extended_number_of_returns << 4));
        put(15, static_cast<std::uint8_t>(point.extended_classification_flags | point.extended_scanner_channel << 4 |
                                          point.scan_direction_flag << 6 | point.edge_of_flight_line << 7));
        put(16, point.extended_classification);
        put(17, point.user_data);
        put(18, point.extended_scan_angle);
        put(20, point.point_source_ID);
    }
    if (layout.gpsTime)
        put(layout.gpsTime, point.gps_time);
    if (layout.rgb) {
        put(layout.rgb, point.rgb[0]);
        put(layout.rgb + 2, point.rgb[1]);
        put(layout.rgb + 4, point.rgb[2]);
    }
    if (layout.nir)
        put(layout.nir, point.rgb[3]);
    if (layout.wavePacket)
        std::memcpy(record.data() + layout.wavePacket, point.wave_packet, kWavePacketBytes);
    std::size_t const extra = std::min(record.size() - layout.standardSize, static_cast<std::size_t>(std::max(point.num_extra_bytes, 0)));
    if (extra)
        std::memcpy(record.data() + layout.standardSize, point.extra_bytes, extra);
}

class RecordReader {
public:
    RecordReader(Header const& header, std::vector<RecordField> fields, Octree::SourcePoints& out)
        : mHeader(header), mFields(std::move(fields)), mOut(out)
    {
        for (RecordField const& field : mFields)
            mOut.extraAttributes.push_back(field.attribute);
        mStride = mOut.extraBytesPerPoint();
        mOut.points.resize(header.pointCount);
        mOut.extraValues.resize(header.pointCount * mStride);
    }

    void read(std::uint64_t index, std::string_view record)
    {
        Octree::SourcePoint& point = mOut.points[index];
        for (int axis = 0; axis < 3; ++axis) {
            auto const stored = readLittleEndian<std::int32_t>(record, 4 * static_cast<std::size_t>(axis));
            point.position[axis] = stored * mHeader.scale[axis] + mHeader.offset[axis];
        }
        point.intensity = readLittleEndian<std::uint16_t>(record, 12);
        point.classification = mHeader.pointFormat >= kFirstExtendedFormat
                                   ? readLittleEndian<std::uint8_t>(record, 16)
                                   : static_cast<std::uint8_t>(readLittleEndian<std::uint8_t>(record, 15) & kLegacyClassMask);
        if (std::size_t const rgb = kLayouts[mHeader.pointFormat].rgb)
            point.rgb = {readLittleEndian<std::uint16_t>(record, rgb), readLittleEndian<std::uint16_t>(record, rgb + 2),
                         readLittleEndian<std::uint16_t>(record, rgb + 4)};
        std::uint8_t* value = mOut.extraValues.data() + index * mStride;
        for (RecordField const& field : mFields) {
            if (field.mask)
                *value = static_cast<std::uint8_t>(static_cast<std::uint8_t>(record[field.offset]) >> field.shift & field.mask);
            else
                std::memcpy(value, record.data() + field.offset, field.attribute.size);
            value += field.attribute.size;
        }
    }

private:
    Header const& mHeader;
    std::vector<RecordField> mFields;
    Octree::SourcePoints& mOut;
    std::size_t mStride = 0;
};

} // namespace

Octree::SourcePoints readPoints(std::string_view bytes, std::string const& fileName)
{
    Header const header = parseHeader(bytes, fileName);
    std::vector<Vlr> const vlrs = readVlrs(bytes, header, fileName);
    std::vector<RecordField> fields = standardFields(header.pointFormat);
    for (RecordField& field : extraBytesFields(vlrs, kLayouts[header.pointFormat].standardSize,
                                               header.pointRecordLength, fileName))
        fields.push_back(std::move(field));

    Octree::SourcePoints result;
    result.hasIntensity = true;
    result.hasClassification = true;
    result.hasRgb = kLayouts[header.pointFormat].rgb != 0;
    result.grid = Octree::SourceGrid{header.scale, header.offset};
    result.crs = coordinateSystem(vlrs);
    RecordReader reader(header, std::move(fields), result);
    if (!header.compressed) {
        for (std::uint64_t i = 0; i < header.pointCount; ++i)
            reader.read(i, bytes.substr(header.pointDataOffset + i * header.pointRecordLength, header.pointRecordLength));
        return result;
    }
    LaszipReader laszip(std::string(bytes), fileName);
    std::string record(header.pointRecordLength, '\0');
    for (std::uint64_t i = 0; i < header.pointCount; ++i) {
        packRecord(laszip.readPoint(i), header.pointFormat, record);
        reader.read(i, record);
    }
    return result;
}

} // namespace Las
