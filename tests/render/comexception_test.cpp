#include "render/comexception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The system's text without its line break; codes the system has no text for get the fallback texts.
TEST(ComException, CarriesTheSystemOrFallbackText)
{
    std::string const invalidArgument = Render::ComException(static_cast<long>(0x80070057UL)).what();
    ASSERT_FALSE(invalidArgument.empty());
    EXPECT_EQ(invalidArgument.find("Unknown error"), std::string::npos) << invalidArgument;
    EXPECT_NE(invalidArgument.back(), '\n');
    EXPECT_NE(invalidArgument.back(), '\r');
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x80040205UL)).what(), "IDispatch error #5");
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x80040200UL)).what(), "Unknown error 0x80040200");
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x8004FFFFUL)).what(), "IDispatch error #65023");
    EXPECT_THROW(Render::throwIfFailed(static_cast<long>(0x80004005UL)), Render::ComException);
    EXPECT_NO_THROW(Render::throwIfFailed(1)); // S_FALSE is a success
}

} // namespace
