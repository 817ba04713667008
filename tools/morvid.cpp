// morvid: the command-line host of the MorvidRender library.
#include "commands.h"
#include "failure.h"
#include "hostsupport.h"
#include "options.h"

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Command {
    std::string_view name;
    std::string_view summary;
    int (*run)(std::vector<std::string_view> const& args);
};

constexpr std::array kCommands{
    Command{"render", "stream a point cloud data set and write the settled frame as PNG", runRender},
    Command{"info", "describe the graphics device and, given a folder, a data set", runInfo},
    Command{"convert", "write a Potree 2.0 data set from a text, PLY or LAS point file", runConvert},
    Command{"query", "count or write the points of a data set inside a box, level or spacing", runQuery},
    Command{"panorama", "render a tiled panorama folder from its centre as PNG, or make one", runPanorama},
    Command{"export", "stream a data set and export the settled frame as PNG, PLY or text points", runExport},
    Command{"thumbnail", "render a data set once into a small PNG picture", runThumbnail},
    Command{"pick", "stream a data set and print the point or plane under a pixel", runPick},
};

std::string usage()
{
    std::string text = "usage: morvid <command> [options]\n\ncommands:\n";
    for (Command const& command : kCommands)
        text.append("  ").append(command.name).append(10 - command.name.size(), ' ').append(command.summary).append("\n");
    text += "\nRun 'morvid <command> --help' for the options of a command.\n";
    return text;
}

// Standard output and error carry LF line ends on every platform: scripts and JSON readers
// should not meet a stray CR.
void useLfLineEnds()
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
}

// The one-line message on standard error, and with --json the error object on standard output.
int reportError(std::string_view command, std::exception const& error, nlohmann::json details, bool json,
                int exitStatus)
{
    std::fprintf(stderr, "morvid %.*s: %s\n", static_cast<int>(command.size()), command.data(), error.what());
    if (json) {
        if (!details.is_object())
            details = nlohmann::json::object();
        details["error"] = error.what();
        std::printf("%s\n", details.dump().c_str());
    }
    return exitStatus;
}

// The command named by the first argument; its exit status.
int runCommand(int argc, char** argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args.front() == "--help" || args.front() == "-h") {
        std::fputs(usage().c_str(), args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string_view const command = args.front();
    args.erase(args.begin());
    bool const json = std::ranges::find(args, std::string_view("--json")) != args.end();
    try {
        auto const found = std::ranges::find(kCommands, command, &Command::name);
        if (found != kCommands.end())
            return found->run(args);
        std::fprintf(stderr, "morvid: unknown command '%.*s'\n%s", static_cast<int>(command.size()), command.data(),
                     usage().c_str());
        return 2;
    } catch (Tools::UsageError const& error) {
        return reportError(command, error, {}, json, 2);
    } catch (Tools::Failure const& error) {
        return reportError(command, error, error.details(), json, 1);
    } catch (std::exception const& error) {
        return reportError(command, error, {}, json, 1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    useLfLineEnds();
    int const status = runCommand(argc, argv);
    Tools::shutDownHttpClient();
    return status;
}
