#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace Core {

// The whole file, or `size` bytes from `offset`, as a byte string. Throws std::runtime_error naming
// the path when the file cannot be opened or holds fewer bytes than asked for.
std::string readLocalFile(std::filesystem::path const& path);
std::string readLocalFile(std::filesystem::path const& path, std::uint64_t offset, std::uint64_t size);

} // namespace Core
