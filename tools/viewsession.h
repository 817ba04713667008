#pragma once

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
#include <string>
#include <string_view>
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

// What streaming a view until it settled took.
struct SettleReport {
    std::size_t frames = 0;
    double secondsToFirstFrame = 0.0;
    double secondsToSettled = 0.0;
    bool settled = false;
    // Why part of the data set could not be loaded (it names the file); empty when all of it could.
    std::string loadFailure;
};

// A renderer showing one data set (or the bundled sample scene when no folder is given),
// configured from the view options, with the camera placed from --eye/--target or framing the
// whole cloud from above a corner. Without --intensity-range the intensity colors span the
// data's own intensities; a data set without colors shows them in the default mode.
class ViewSession {
public:
    ViewSession(Options const& options, std::filesystem::path const& folder, bool eyeDomeLightingByDefault = false);

    // Streams until loading settles or --timeout passes, showing progress on standard
    // error, then renders the final frame, which shows what could be loaded.
    SettleReport settle();

    // The last frame as written to a PNG file: composited onto the background, unless
    // --transparent keeps the alpha the renderer left (the tomographic modes draw on nothing).
    Graphics::ColorImage image();

    Render::Renderer& renderer() { return mRenderer; }
    Render::GroupRenderable& scene() { return *mScene; }
    Render::PointCloudRenderable& cloud() { return *mCloud; }
    std::filesystem::path const& folder() const { return mFolder; }
    std::size_t width() const { return mWidth; }
    std::size_t height() const { return mHeight; }
    std::size_t pointBudget() const { return mBudget; }
    std::chrono::duration<double> timeout() const { return mTimeout; }
    // "FOLDER: loading did not settle within N s", the one message of a view that timed out.
    std::string unsettledMessage() const;
    Math::Color background() const { return mBackground; }

private:
    std::filesystem::path mFolder;
    std::size_t mWidth;
    std::size_t mHeight;
    std::size_t mBudget;
    std::chrono::duration<double> mTimeout;
    Math::Color mBackground;
    bool mTransparent;
    Render::Renderer mRenderer;
    std::shared_ptr<Render::GroupRenderable> mScene;
    std::shared_ptr<Render::PointCloudRenderable> mCloud;
};

} // namespace Tools
