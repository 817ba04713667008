#include "octree/location.h"

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

} // namespace Octree
