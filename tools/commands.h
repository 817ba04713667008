#pragma once

#include <string_view>
#include <vector>

// Subcommands of the morvid program. Each takes the arguments after its name and returns
// the process exit code.

// morvid convert: writes a Potree 2.0 data set from a text, PLY or LAS point file.
int runConvert(std::vector<std::string_view> const& args);
