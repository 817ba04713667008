#include "core/log.h"

#include <iostream>
#include <mutex>
#include <string>
#include <utility>

namespace Core {
namespace {

struct LogState {
    std::mutex mutex;
    Log::Sink sink;
};

LogState& logState()
{
    static LogState state;
    return state;
}

std::string_view levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Info:
        return "info";
    case LogLevel::Warning:
        return "warning";
    case LogLevel::Error:
        return "error";
    }
    return "unknown";
}

void writeLine(LogLevel level, std::string_view text)
{
    LogState& state = logState();
    std::lock_guard lock(state.mutex);
    if (state.sink) {
        state.sink(level, text);
        return;
    }
    std::string line;
    line.reserve(text.size() + 16);
    line.append(levelName(level)).append(": ").append(text).append("\n");
    std::cerr << line << std::flush;
}

} // namespace

void Log::info(std::string_view text)
{
    writeLine(LogLevel::Info, text);
}

void Log::warning(std::string_view text)
{
    writeLine(LogLevel::Warning, text);
}

void Log::error(std::string_view text)
{
    writeLine(LogLevel::Error, text);
}

void Log::setSink(Sink sink)
{
    LogState& state = logState();
    std::lock_guard lock(state.mutex);
    state.sink = std::move(sink);
}

} // namespace Core
