#pragma once

#include <filesystem>
#include <random>
#include <string>

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

} // namespace TestSupport
