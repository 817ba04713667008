#include "octree/location.h"

#include "core/hashing.h"

#include <functional>

namespace Octree {

std::size_t LocationPtrHash::operator()(std::shared_ptr<Location const> const& location) const
{
    return location ? std::hash<std::string>{}(location->identity()) : 0;
}

bool LocationPtrEqual::operator()(std::shared_ptr<Location const> const& a,
                                  std::shared_ptr<Location const> const& b) const
{
    if (!a || !b)
        return a == b;
    return *a == *b;
}

bool CacheIdentifier::operator==(CacheIdentifier const& other) const
{
    return LocationPtrEqual{}(location, other.location) && unitScale == other.unitScale;
}

std::size_t CacheIdentifierHash::operator()(CacheIdentifier const& identifier) const
{
    std::size_t seed = 0;
    Core::hashCombine(seed, LocationPtrHash{}(identifier.location));
    Core::hashCombine(seed, std::hash<double>{}(identifier.unitScale == 0.0 ? 0.0 : identifier.unitScale));
    return seed;
}

} // namespace Octree
