#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace Octree {

// Where an octree's bytes come from. Two locations are equal when they name the same
// data set, whatever object holds them.
class Location {
public:
    virtual ~Location() = default;

    virtual bool exists() const = 0;
    // A text naming the data set uniquely, e.g. its kind and its folder.
    virtual std::string identity() const = 0;
    // The data set as its user named it, for messages.
    virtual std::string displayName() const { return identity(); }
    // How many more reads could start at once where every read costs a round trip (a web
    // server): what is worth prefetching now. 0 where reads are local.
    virtual std::size_t idleRequestSlots() const { return 0; }

    bool operator==(Location const& other) const { return identity() == other.identity(); }
};

using LocationPtr = std::shared_ptr<Location>;

struct LocationPtrHash {
    std::size_t operator()(std::shared_ptr<Location const> const& location) const;
};

struct LocationPtrEqual {
    bool operator()(std::shared_ptr<Location const> const& a, std::shared_ptr<Location const> const& b) const;
};

// The identity of decoded node data: the data set and the unit scale it was decoded in.
struct CacheIdentifier {
    std::shared_ptr<Location> location;
    double unitScale = 1.0;

    bool operator==(CacheIdentifier const& other) const;
};

// Hashes the location's value, then the unit scale; 0.0 and -0.0 hash alike.
struct CacheIdentifierHash {
    std::size_t operator()(CacheIdentifier const& identifier) const;
};

} // namespace Octree
