#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace TestSupport {

// A fresh folder under the system temp folder, named "morvid-<name>-<random>" so that tests running
// side by side never share one, and removed with everything in it when the test ends.
class TempFolder {
public:
    explicit TempFolder(std::string const& name)
        : mPath(std::filesystem::temp_directory_path() / ("morvid-" + name + "-" + std::to_string(std::random_device{}())))
    {
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~TempFolder() { std::filesystem::remove_all(mPath); }
    TempFolder(TempFolder const&) = delete;
    TempFolder& operator=(TempFolder const&) = delete;

    std::filesystem::path const& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

// Writes `bytes` to `path`, replacing the file and creating its folders.
inline void writeFile(std::filesystem::path const& path, std::string_view bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), std::streamsize(bytes.size()));
}

} // namespace TestSupport
