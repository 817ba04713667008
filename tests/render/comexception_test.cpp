#include "render/comexception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ComException, CarriesTheSystemTextWithoutLineBreak)
{
    Render::ComException const error(static_cast<long>(0x80070057UL)); // E_INVALIDARG
    EXPECT_EQ(error.result(), static_cast<long>(0x80070057UL));
    std::string const message = error.what();
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find("Unknown error"), std::string::npos) << message;
    EXPECT_NE(message.back(), '\n');
    EXPECT_NE(message.back(), '\r');
}

TEST(ComException, FallsBackToDispatchAndUnknownTexts)
{
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x80040205UL)).what(), "IDispatch error #5");
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x80040200UL)).what(), "Unknown error 0x80040200");
    EXPECT_STREQ(Render::ComException(static_cast<long>(0x8004FFFFUL)).what(), "IDispatch error #65023");
}

TEST(ComException, CopiesKeepCodeAndMessage)
{
    Render::ComException const original(static_cast<long>(0x80040205UL));
    Render::ComException copy = original;
    EXPECT_EQ(copy.result(), original.result());
    EXPECT_STREQ(copy.what(), original.what());
    EXPECT_THROW(Render::throwIfFailed(static_cast<long>(0x80004005UL)), Render::ComException);
    EXPECT_NO_THROW(Render::throwIfFailed(0));
    EXPECT_NO_THROW(Render::throwIfFailed(1)); // S_FALSE is a success
}

} // namespace
