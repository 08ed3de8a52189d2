// `tessellon demo`: a tracked shot made from nothing, stitched both ways.
//
// It draws a landscape about three frames wide, films it with a camera that
// pans across it with a small vertical drift and a slow roll while a red
// ball bounces through the shot, writes the frames and the exact track, and
// stitches them through the same path as `tessellon stitch`: the median
// (which wipes out the ball) and the first opaque pixel. Where the build
// aligns (not on Windows) it also estimates the track from the frames alone,
// says how far it lies from the exact one and stitches the median from it.
#pragma once

#include <string>

namespace tessellon {

class Plugins;

struct DemoSettings {
    std::string OutputDir = "tessellon-demo";
    int Threads = 0;   // 0: every core
    bool Quiet = false;
};

// Writes OutputDir/shot/frame.0001.exr .. frame.0048.exr, OutputDir/shot/track.csv,
// OutputDir/median.exr, OutputDir/median.png and OutputDir/unique.png (and
// OutputDir/aligned.csv and OutputDir/aligned-median.png where it aligns); .pfm
// files instead where the build writes only those.
// Throws Error.
void RunDemo(const DemoSettings& settings, const Plugins& plugins);

}  // namespace tessellon
