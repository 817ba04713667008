#pragma once

#include "graphics/image.h"

namespace Graphics {

// An image of one float depth per pixel.
class DepthImage : public Image<float> {
public:
    using Image::Image;
};

} // namespace Graphics
