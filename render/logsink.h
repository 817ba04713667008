#pragma once

#include "core/log.h"
#include "render/export.h"

namespace Render {

// Sends the library's log lines (loader failures and the like) to the host's sink;
// an empty sink restores the standard error stream. The library keeps its own log
// state, so a host calling Core::Log::setSink itself reaches only its own lines.
MORVID_RENDER_API void setLogSink(Core::Log::Sink sink);

} // namespace Render
