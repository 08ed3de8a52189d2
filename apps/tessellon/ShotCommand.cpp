#include "ShotCommand.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "ImageFiles.h"
#include "Messages.h"
#include "Shot.h"
#include "ShotTracks.h"

namespace tessellon {

namespace fs = std::filesystem;

void RunShot(const ShotSettings& settings) {
    const fs::path root(settings.OutputDir.empty() ? std::string(".") : settings.OutputDir);
    const ShotSpec shot = SampleShot();
    // Every track is made before anything is written, so that a format the
    // shot cannot be written in leaves nothing behind.
    std::vector<TrackFormat> formats = {TrackFormat::Csv};
    for (TrackFormat format : settings.TrackFormats)
        if (std::find(formats.begin(), formats.end(), format) == formats.end()) formats.push_back(format);
    for (TrackFormat format : formats) ShotTrackText(shot, format);
    std::error_code error;
    fs::create_directories(root, error);
    if (error) BadInput("cannot make the folder " + Quoted(root.string()) + ": " + error.message());

    const int threads = settings.Threads > 0 ? settings.Threads : int(std::max(1u, std::thread::hardware_concurrency()));
    const std::string names = std::string("frame.%04d") + FloatImageExtension();
    WriteFrames(shot, DrawScene(shot, threads), root.string(), names, threads);
    for (TrackFormat format : formats) WriteShotTrack(shot, format, (root / ShotTrackFileName(format)).string());
    if (!settings.Quiet) {
        std::printf("tessellon shot: wrote %s .. %s (%d x %d, a pan of %d pixels, a drift of up to %d) and",
                    (root / FrameFileName(names, shot.FirstFrame)).string().c_str(),
                    FrameFileName(names, shot.FirstFrame + shot.FrameCount - 1).c_str(), shot.FrameWidth,
                    shot.FrameHeight, shot.Pan, shot.DriftPixels);
        for (TrackFormat format : formats) std::printf(" %s", ShotTrackFileName(format).c_str());
        std::printf("\n");
    }
}

}  // namespace tessellon
