#include "octree/nodepointdata.h"

namespace Octree {
namespace {

template <class T>
void keepVisible(std::vector<T>& values, std::vector<std::uint8_t> const& visibility)
{
    if (values.empty())
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < visibility.size(); ++i) {
        if (visibility[i] == 0)
            values[kept++] = values[i];
    }
    values.resize(kept);
}

} // namespace

void NodePointData::removeHiddenPoints()
{
    if (mVisibility.empty())
        return;
    keepVisible(mPositions, mVisibility);
    keepVisible(mNormals, mVisibility);
    keepVisible(mColors, mVisibility);
    keepVisible(mIntensities, mVisibility);
    keepVisible(mClassIndices, mVisibility);
    keepVisible(mScanIndices, mVisibility);
    std::size_t kept = 0;
    for (std::uint8_t const v : mVisibility)
        kept += v == 0 ? 1 : 0;
    mSize = kept;
    mVisibility.assign(kept, 0);
}

} // namespace Octree
