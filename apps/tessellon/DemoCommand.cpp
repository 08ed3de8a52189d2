#include "DemoCommand.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#ifdef TESSELLON_ALIGN
#include "AlignCommand.h"
#endif
#include "ImageFiles.h"
#include "Messages.h"
#include "Shot.h"
#include "StitchCommand.h"
#include "TrackFile.h"

namespace tessellon {

namespace fs = std::filesystem;

namespace {

double SecondsSince(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

#ifdef TESSELLON_ALIGN
// How far the estimated track lies from the exact one: the RMS and the
// largest distance of the positions in pixels, the largest angle apart.
std::string TrackError(const std::string& estimated, const std::string& exact, int width, int height) {
    const Track a = ReadTrackFile(estimated), b = ReadTrackFile(exact);
    double sum = 0.0, worst = 0.0, angle = 0.0;
    size_t matched = 0;
    for (const TrackKey& key : a.Keys) {
        const auto other = std::find_if(b.Keys.begin(), b.Keys.end(), [&](const TrackKey& k) { return k.Frame == key.Frame; });
        if (other == b.Keys.end()) continue;
        const double d = std::hypot((key.X - other->X) * width, (key.Y - other->Y) * height);
        sum += d * d;
        worst = std::max(worst, d);
        angle = std::max(angle, std::abs(key.Angle - other->Angle));
        ++matched;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%zu of %zu frames, %.3f px RMS, %.3f px at most, angles within %.4f degrees",
                  matched, b.Keys.size(), matched ? std::sqrt(sum / double(matched)) : 0.0, worst, angle);
    return text;
}
#endif

}  // namespace

void RunDemo(const DemoSettings& settings, const Plugins& plugins) {
    const auto begin = std::chrono::steady_clock::now();
    const fs::path root(settings.OutputDir.empty() ? std::string(".") : settings.OutputDir);
    const fs::path shot = root / "shot";
    std::error_code error;
    fs::create_directories(shot, error);
    if (error) BadInput("cannot make the folder " + Quoted(shot.string()) + ": " + error.message());
    const int threads = settings.Threads > 0 ? settings.Threads : int(std::max(1u, std::thread::hardware_concurrency()));
    auto say = [&](const std::string& text) {
        if (!settings.Quiet) std::printf("tessellon demo: %s\n", text.c_str()), std::fflush(stdout);
    };

    const ShotSpec demoShot;
    const SceneLayout layout = LayoutOf(demoShot);
    say("drawing a street scene of " + std::to_string(layout.Width) + " x " + std::to_string(layout.Height) +
        " pixels");
    const Scene scene = DrawScene(demoShot, threads);

    say("filming " + std::to_string(demoShot.FrameCount) + " frames of " + std::to_string(demoShot.FrameWidth) +
        " x " + std::to_string(demoShot.FrameHeight) + ": a pan of " + std::to_string(demoShot.Pan) +
        " pixels, a drift of up to " + std::to_string(demoShot.DriftPixels) + ", a roll of up to " +
        std::to_string(int(demoShot.RollDegrees)) + " degrees, a red ball bouncing through");
    const std::string floats = FloatImageExtension(), picture = PictureExtension();
    const std::string names = "frame.%04d" + floats;
    WriteFrames(demoShot, scene, shot.string(), names, threads);

    const std::string track = (shot / "track.csv").string();
    WriteTrackFile(demoShot, track);
    const std::string pattern = (shot / names).string();
    say("wrote " + (shot / FrameFileName(names, demoShot.FirstFrame)).string() + " .. " +
        FrameFileName(names, demoShot.FirstFrame + demoShot.FrameCount - 1) + " and the track " + track);

    StitchSettings stitch;
    stitch.Frames = pattern;
    stitch.TrackPath = track;
    stitch.Threads = settings.Threads;
    stitch.Quiet = settings.Quiet;

    stitch.Method = 1;
    stitch.Outputs = {(root / ("median" + floats)).string()};
    if (picture != floats) stitch.Outputs.push_back((root / ("median" + picture)).string());
    say("tessellon stitch --frames " + pattern + " --track " + track + " --method median --output " +
        stitch.Outputs[0] + (picture != floats ? " (and " + picture + ")" : std::string()));
    RunStitch(stitch, plugins);

    stitch.Method = 0;
    stitch.Outputs = {(root / ("unique" + picture)).string()};
    say("tessellon stitch --frames " + pattern + " --track " + track + " --method unique --output " +
        stitch.Outputs[0]);
    RunStitch(stitch, plugins);

#ifdef TESSELLON_ALIGN
    // The same shot without its track: aligned from the pictures, then stitched.
    AlignCommandSettings align;
    align.Frames = pattern;
    align.Output = (root / "aligned.csv").string();
    align.Threads = settings.Threads;
    align.Quiet = settings.Quiet;
    say("tessellon align --frames " + pattern + " -o " + align.Output);
    RunAlign(align);
    say("the aligned track against the exact one: " +
        TrackError(align.Output, track, demoShot.FrameWidth, demoShot.FrameHeight));
    stitch.Method = 1;
    stitch.TrackPath = align.Output;
    stitch.Outputs = {(root / ("aligned-median" + picture)).string()};
    say("tessellon stitch --frames " + pattern + " --track " + align.Output + " --method median --output " +
        stitch.Outputs[0]);
    RunStitch(stitch, plugins);
#endif

    char done[64];
    std::snprintf(done, sizeof done, "done in %.1f s", SecondsSince(begin));
    say(std::string(done) + "; the median (" + (root / ("median" + picture)).string() +
        ") shows the street without the ball, the first opaque pixels (" + (root / ("unique" + picture)).string() +
        ") keep pieces of it");
}

}  // namespace tessellon
