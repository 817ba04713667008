#pragma once

#include <string_view>
#include <vector>

// Subcommands of the morvid program. Each takes the arguments after its name and returns
// the process exit code.

// morvid convert: writes a Potree 2.0 data set from a text, PLY or LAS point file.
int runConvert(std::vector<std::string_view> const& args);

// morvid render: streams a data set (or the bundled sample) and writes the settled frame as PNG.
int runRender(std::vector<std::string_view> const& args);

// morvid info: the graphics device and, given a folder, the data set's extent and attributes.
int runInfo(std::vector<std::string_view> const& args);

// morvid query: the points of a data set inside a box, down to a level or spacing, counted or written out.
int runQuery(std::vector<std::string_view> const& args);

// morvid panorama: renders a tiled panorama folder from its centre as PNG, or writes one from images.
int runPanorama(std::vector<std::string_view> const& args);

// morvid export: streams a data set until it settles and writes the frame as PNG and its points as PLY or text.
int runExport(std::vector<std::string_view> const& args);

// morvid thumbnail: renders a data set once, seen from above a corner, into a PNG picture.
int runThumbnail(std::vector<std::string_view> const& args);

// morvid pick: streams a data set until it settles and prints the point or plane under a pixel.
int runPick(std::vector<std::string_view> const& args);
