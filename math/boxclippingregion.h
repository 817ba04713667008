#pragma once

#include "math/clippingregion.h"

namespace Math {

// Keeps the points of one axis-aligned box (its faces included).
template <class T>
class BoxClippingRegion final : public ClippingRegion<T> {
public:
    using typename ClippingRegion<T>::PointType;
    using typename ClippingRegion<T>::BoxType;

    explicit BoxClippingRegion(BoxType const& box) : mBox(box) {}

    BoxType boundingBox() const override { return mBox; }

    bool isOutside(BoxType const& box) const override
    {
        return box.isEmpty() || mBox.isEmpty() || !mBox.intersects(box);
    }

    bool isInside(BoxType const& box) const override
    {
        return !box.isEmpty() && mBox.contains(box.min()) && mBox.contains(box.max());
    }

    bool contains(PointType const& point) const override { return mBox.contains(point); }

private:
    BoxType mBox;
};

} // namespace Math
