#pragma once

#include "render/export.h"

#include <map>
#include <span>
#include <string>
#include <string_view>

namespace Render {

// One source file compiled into the library: its virtual path and its bytes [begin, end).
struct EmbeddedSource {
    char const* path;
    char const* begin;
    char const* end;
};

// The shader sources of render/shaders, generated into the library by the build.
std::span<EmbeddedSource const> embeddedShaderSources();

// Read-only table of the files embedded in the library, keyed by normalised path. Directories are
// entries of their own, so that a lookup can tell a directory from a missing name.
class MORVID_RENDER_API EmbeddedFileTable {
public:
    struct Entry {
        bool isDirectory = false;
        char const* begin = nullptr;
        char const* end = nullptr;

        std::string_view bytes() const { return {begin, static_cast<std::size_t>(end - begin)}; }
    };

    // The one table of the library, built on first use (thread-safe) and never changed afterwards.
    static EmbeddedFileTable const& instance();

    // Removes leading and trailing '/' and collapses every "//"; nothing else (case and backslashes stay).
    static std::string normalizePath(std::string path);

    // The entry of `name` after normalisation, or nullptr.
    Entry const* find(std::string const& name) const;

    // The bytes of the file `name`; std::system_error (no_such_file_or_directory, text = name) when
    // there is no such file or it is a directory.
    std::string_view file(std::string const& name) const;

private:
    EmbeddedFileTable();

    std::map<std::string, Entry, std::less<>> mEntries;
};

} // namespace Render
