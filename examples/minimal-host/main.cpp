// A minimal host: streams a Potree 2.0 or Entwine data set into an offscreen view, writes the
// settled frame as a PNG and prints how many points it shows.
// usage: minimal-host <data set folder> <output.png>
#include <render/dataset.h>
#include <render/pointcloudrenderable.h>
#include <render/renderer.h>
#include <render/version.h>
#include <render/viewframing.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: minimal-host <data set folder> <output.png>\n");
        return 2;
    }
    try {
        Render::Renderer renderer;
        renderer.setViewport(640, 480);
        auto cloud = Render::PointCloudRenderable::create(Render::openDataSet(argv[1]), "scan", 2'000'000, 1.0);
        renderer.setScene(cloud);

        // Look down onto the cloud from the corner that shows most of it, the whole of it in the frame.
        float const fieldOfView = 50.0f;
        Render::CameraPlacement const view = Render::frameCloud(*cloud, fieldOfView, renderer.aspectRatio());
        renderer.setAutoAdjustZRange(true); // near and far follow the scene at every frame
        renderer.setPerspective(fieldOfView, 0.01f, 1000.0f);
        renderer.setCameraPose(view.eye, view.target, Eigen::Vector3f::UnitZ());

        // The cloud loads on its own thread; each frame shows what has arrived so far.
        cloud->startAsyncReload(nullptr, Octree::OctreeNodeId::kMaxLevel);
        while (cloud->isLoading() || renderer.needsRedraw()) {
            if (renderer.needsRedraw())
                renderer.render();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        cloud->isAsyncReloadHealthy(true); // throws why part of the data set could not be read

        renderer.writePngImage(argv[2]);
        std::printf("MorvidRender %s: %zu points loaded, frame written to %s\n", Render::version(),
                    cloud->loadedPointCount(), argv[2]);
        return 0;
    } catch (std::exception const& error) {
        std::fprintf(stderr, "minimal-host: %s\n", error.what());
        return 1;
    }
}
