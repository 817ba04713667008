#pragma once

#include "render/export.h"

#include "core/cacheentrysizecount.h"
#include "core/lrucache.h"

#include <cstddef>
#include <filesystem>
#include <string>

namespace Render {

// Identifies one compile: source ("res:" + embedded name, or a file path), entry point, profile.
struct ShaderCacheKey {
    std::string source;
    std::string entryPoint;
    std::string target;

    bool operator==(ShaderCacheKey const&) const = default;
};

// 64-bit FNV-1a over entry point + source + target, the same on every platform.
struct MORVID_RENDER_API ShaderCacheKeyHash {
    std::size_t operator()(ShaderCacheKey const& key) const;
};

// Compiled bytecode by key; every entry weighs 1, so the capacity counts compiles.
using ShaderCache = Core::LruCache<ShaderCacheKey, std::string, Core::CacheEntrySizeOne<std::string>, ShaderCacheKeyHash>;

// Compiles kept by the shader cache.
inline constexpr std::uint64_t kShaderCacheCapacity = 20;

// HLSL compilation of the embedded sources and of files, through a process-wide cache of bytecode.
// Bytecode is carried as std::string (bytes, not text).
class MORVID_RENDER_API Shader {
public:
    // The bytecode of the embedded source `name` (for example "shaders/pointcloud.hlsl").
    static std::string compileShaderFromResource(std::string const& name, std::string const& entryPoint,
                                                 std::string const& target);
    static std::string compileShaderFromFile(std::filesystem::path const& path, std::string const& entryPoint,
                                             std::string const& target);

    static ShaderCache& shaderCache() { return mShaderCache; }

private:
    static std::string compileShaderFromResourceImpl(std::string const& name, std::string const& entryPoint,
                                                     std::string const& target);
    static std::string compileShaderFromFileImpl(std::filesystem::path const& path, std::string const& entryPoint,
                                                 std::string const& target);

    static ShaderCache mShaderCache;
};

} // namespace Render
