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

    EXPECT_EQ(lines, (std::vector<std::pair<Core::LogLevel, std::string>>{
                         {Core::LogLevel::Info, "opened"}, {Core::LogLevel::Warning, "slow"},
                         {Core::LogLevel::Error, "node 12 is corrupt"}}));
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
