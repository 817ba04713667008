#include "render/version.h"

namespace Render {

char const* version()
{
    return MORVID_RENDER_VERSION;
}

} // namespace Render
