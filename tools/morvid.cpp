// morvid: the command-line host of the MorvidRender library.
#include "commands.h"
#include "options.h"

#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: morvid <command> [options]\n"
    "\n"
    "commands:\n"
    "  render    stream a point cloud data set and write the settled frame as PNG\n"
    "  info      describe the graphics device and, given a folder, a data set\n"
    "  convert   write a Potree 2.0 data set from a text, PLY or LAS point file\n"
    "\n"
    "Run 'morvid <command> --help' for the options of a command.\n";

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args.front() == "--help" || args.front() == "-h") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string_view const command = args.front();
    args.erase(args.begin());
    try {
        if (command == "render")
            return runRender(args);
        if (command == "info")
            return runInfo(args);
        if (command == "convert")
            return runConvert(args);
        std::fprintf(stderr, "morvid: unknown command '%.*s'\n%s", static_cast<int>(command.size()), command.data(),
                     kUsage);
        return 2;
    } catch (Tools::UsageError const& error) {
        std::fprintf(stderr, "morvid %.*s: %s\n", static_cast<int>(command.size()), command.data(), error.what());
        return 2;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "morvid %.*s: %s\n", static_cast<int>(command.size()), command.data(), error.what());
        return 1;
    }
}
