#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <utility>

namespace Tools {

// A command that ran but did not succeed (exit status 1), such as a view that did not settle
// in time. `details` is what the command would have printed with --json; the error object
// carries it along with the message.
class Failure : public std::runtime_error {
public:
    Failure(std::string const& message, nlohmann::json details)
        : std::runtime_error(message), mDetails(std::move(details))
    {
    }

    nlohmann::json const& details() const { return mDetails; }

private:
    nlohmann::json mDetails;
};

} // namespace Tools
