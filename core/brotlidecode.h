#pragma once

#include <string>
#include <string_view>

namespace Core {

// Decompresses one complete Brotli stream. Throws std::runtime_error when the stream is
// corrupt or ends before it is complete.
std::string brotliDecode(std::string_view bytes);

} // namespace Core
