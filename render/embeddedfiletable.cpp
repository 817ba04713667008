#include "render/embeddedfiletable.h"

#include <system_error>

namespace Render {

EmbeddedFileTable::EmbeddedFileTable()
{
    for (EmbeddedSource const& source : embeddedShaderSources()) {
        std::string const path = normalizePath(source.path);
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            mEntries.emplace(path.substr(0, slash), Entry{true, nullptr, nullptr});
        mEntries.insert_or_assign(path, Entry{false, source.begin, source.end});
    }
}

EmbeddedFileTable const& EmbeddedFileTable::instance()
{
    static EmbeddedFileTable const table;
    return table;
}

std::string EmbeddedFileTable::normalizePath(std::string path)
{
    path.erase(0, path.find_first_not_of('/'));
    path.erase(path.find_last_not_of('/') + 1);
    for (std::size_t doubled = path.find("//"); doubled != std::string::npos; doubled = path.find("//", doubled))
        path.erase(doubled, 1);
    return path;
}

EmbeddedFileTable::Entry const* EmbeddedFileTable::find(std::string const& name) const
{
    auto const found = mEntries.find(normalizePath(name));
    return found == mEntries.end() ? nullptr : &found->second;
}

std::string_view EmbeddedFileTable::file(std::string const& name) const
{
    Entry const* entry = find(name);
    if (!entry || entry->isDirectory)
        throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory), name);
    return entry->bytes();
}

} // namespace Render
