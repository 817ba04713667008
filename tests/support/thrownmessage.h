#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

namespace TestSupport {

// The message of the `Exception` that `action` throws; a test failure and "" when it throws nothing.
// Another exception type escapes and fails the test on its own.
template <class Exception = std::exception, class Action>
std::string thrownMessage(Action&& action)
{
    try {
        action();
    } catch (Exception const& error) {
        return error.what();
    }
    ADD_FAILURE() << "nothing was thrown";
    return {};
}

} // namespace TestSupport
