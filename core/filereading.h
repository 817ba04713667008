#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace Core {

// The whole file, or `size` bytes from `offset`. Throws std::runtime_error naming
// the path when the file cannot be opened or holds fewer bytes than asked for.
std::vector<char> readLocalFile(std::filesystem::path const& path);
std::vector<char> readLocalFile(std::filesystem::path const& path, std::uint64_t offset, std::uint64_t size);

} // namespace Core
