#include "core/log.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(LogTest, SinkReceivesEachLineWithItsLevel)
{
    std::vector<std::pair<Core::LogLevel, std::string>> lines;
    Core::Log::setSink([&](Core::LogLevel level, std::string_view text) { lines.emplace_back(level, text); });
    Core::Log::info("opened");
    Core::Log::warning("slow");
    Core::Log::error("node 12 is corrupt");
    Core::Log::setSink({});

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::make_pair(Core::LogLevel::Info, std::string("opened")));
    EXPECT_EQ(lines[1], std::make_pair(Core::LogLevel::Warning, std::string("slow")));
    EXPECT_EQ(lines[2], std::make_pair(Core::LogLevel::Error, std::string("node 12 is corrupt")));
}

TEST(LogTest, WithoutSinkLinesGoToStandardError)
{
    std::ostringstream captured;
    std::streambuf* const original = std::cerr.rdbuf(captured.rdbuf());
    Core::Log::error("disk full");
    std::cerr.rdbuf(original);
    EXPECT_EQ(captured.str(), "error: disk full\n");
}

} // namespace
