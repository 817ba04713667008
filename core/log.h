#pragma once

#include <functional>
#include <string_view>

namespace Core {

enum class LogLevel { Info, Warning, Error };

// Process-wide log. Every message is one line, written whole even when threads log at once. Lines go
// to the standard error stream unless the host installs its own sink.
class Log {
public:
    using Sink = std::function<void(LogLevel, std::string_view)>;

    static void info(std::string_view text);
    static void warning(std::string_view text);
    static void error(std::string_view text);

    // Replaces where lines go; an empty sink restores the standard error stream. The sink is called
    // one line at a time.
    static void setSink(Sink sink);
};

} // namespace Core
