#include "core/filereading.h"

#include <fstream>
#include <stdexcept>

namespace Core {
namespace {

std::ifstream openForReading(std::filesystem::path const& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot open file '" + path.generic_string() + "'");
    return file;
}

} // namespace

std::string readLocalFile(std::filesystem::path const& path)
{
    std::ifstream file = openForReading(path);
    file.seekg(0, std::ios::end);
    auto const size = static_cast<std::uint64_t>(file.tellg());
    file.close();
    return readLocalFile(path, 0, size);
}

std::string readLocalFile(std::filesystem::path const& path, std::uint64_t offset, std::uint64_t size)
{
    std::ifstream file = openForReading(path);
    std::string bytes(size, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(bytes.data(), static_cast<std::streamsize>(size));
    if (!file || static_cast<std::uint64_t>(file.gcount()) != size)
        throw std::runtime_error("cannot read " + std::to_string(size) + " bytes at offset " + std::to_string(offset) +
                                 " of file '" + path.generic_string() + "'");
    return bytes;
}

} // namespace Core
