#pragma once

#include "dataframe.h"
#include "options.h"

#include "graphics/colorimage.h"
#include "math/color.h"
#include "render/eyedomelighting.h"
#include "render/grouprenderable.h"
#include "render/pointcloudrenderable.h"
#include "render/renderer.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tools {

// The options of every command that streams a data set into a view: size, look, budget
// and camera. Commands add their own to these lists and print kViewOptionsHelp in --help.
std::vector<std::string_view> viewFlags(std::vector<std::string_view> commandFlags);
std::vector<std::string_view> viewValuedOptions(std::vector<std::string_view> commandOptions);
extern char const kViewOptionsHelp[];
// The --background option as an opaque color, `fallback` when absent; throws UsageError for
// channels outside 0-255.
Math::Color backgroundFrom(Options const& options, Math::Color const& fallback = Math::Color(255, 255, 255, 255));
// --edl / --no-edl, --edl-strength and --edl-radius over `enabledByDefault`; throws UsageError
// for values the renderer refuses.
Render::EyeDomeLighting eyeDomeLightingFrom(Options const& options, bool enabledByDefault);
std::string eyeDomeLightingHelp(bool enabledByDefault);
// The fraction of the image's pixels that differ from `background`, and how many distinct colors
// they show: what a glance at the picture would say about it.
struct ImageSummary {
    double coverage = 0.0;
    std::size_t distinctColors = 0;
};
ImageSummary summarize(Graphics::ColorImage const& image, Math::Color const& background);
// A position typed as x,y,z, in the data set's own coordinates.
std::optional<Math::Point<double, 3>> dataPointValue(Options const& options, std::string_view option);
// A range typed as a,b with a < b; throws UsageError otherwise.
std::optional<std::pair<float, float>> rangeValue(Options const& options, std::string_view option);
// The data set folders or URLs given on the command line; more than one only when `several`.
std::vector<std::string> dataSetSources(Options const& options, bool several);

// What streaming a view until it settled took.
struct SettleReport {
    std::size_t frames = 0;
    double secondsToFirstFrame = 0.0;
    double secondsToSettled = 0.0;
    bool settled = false;
    // Why part of the data set could not be loaded (it names the file); empty when all of it could.
    std::string loadFailure;
};

// A renderer showing one or more data sets in one point budget (or the bundled sample scene
// when no folder is given), configured from the view options, with the camera placed from
// --eye/--target or framing the first cloud from above a corner. The scene's origin is the first
// data set's reference position; the others are moved there, so that all share the data's
// coordinates. Without --intensity-range the intensity colors span the first data set's own
// intensities; a data set without colors shows them in the default mode.
class ViewSession {
public:
    ViewSession(Options const& options, std::vector<std::string> const& sources,
                bool eyeDomeLightingByDefault = false);

    // Streams until loading settles or --timeout passes, showing progress on standard
    // error, then renders the final frame, which shows what could be loaded.
    SettleReport settle();

    // The last frame as written to a PNG file: composited onto the background, unless
    // --transparent keeps the alpha the renderer left (the tomographic modes draw on nothing).
    Graphics::ColorImage image();

    Render::Renderer& renderer() { return mRenderer; }
    Render::GroupRenderable& scene() { return *mScene; }
    Render::PointCloudRenderable& cloud() { return *mClouds.front(); }
    std::vector<std::shared_ptr<Render::PointCloudRenderable>> const& clouds() const { return mClouds; }
    // The data sets as messages name them (see sourceName).
    std::string const& source() const { return mSources.front(); }
    std::vector<std::string> const& sources() const { return mSources; }
    DataFrame const& frame() const { return mFrame; }
    std::size_t width() const { return mWidth; }
    std::size_t height() const { return mHeight; }
    std::size_t pointBudget() const { return mBudget; }
    std::chrono::duration<double> timeout() const { return mTimeout; }
    // "FOLDER: loading did not settle within N s", the one message of a view that timed out.
    std::string unsettledMessage() const;
    Math::Color background() const { return mBackground; }
    std::size_t loadedPointCount() const;
    std::size_t loadedNodeCount() const;

private:
    bool isLoading() const;

    std::vector<std::string> mSources;
    std::size_t mWidth;
    std::size_t mHeight;
    std::size_t mBudget;
    std::chrono::duration<double> mTimeout;
    Math::Color mBackground;
    bool mTransparent;
    DataFrame mFrame;
    Render::Renderer mRenderer;
    std::shared_ptr<Render::GroupRenderable> mScene;
    std::vector<std::shared_ptr<Render::PointCloudRenderable>> mClouds;
};

} // namespace Tools
