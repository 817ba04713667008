#include "render/logsink.h"

#include <utility>

namespace Render {

void setLogSink(Core::Log::Sink sink)
{
    Core::Log::setSink(std::move(sink));
}

} // namespace Render
