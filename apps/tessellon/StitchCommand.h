// `tessellon stitch`: an image sequence and a track file in, the stitched
// image out, through the plug-in exactly as a compositor drives it.
//
// Everything that can be checked is checked before any pixel is read: the
// outputs (file type, a writable folder, not one of the inputs), the track
// file, every frame's header against the image limits, the canvas that the
// track asks for against the host's limits (naming the track file and line
// of the frame that pushed it over), and the memory the whole render will
// hold against the budget. Then the frames are decoded ahead of the tool,
// the tool renders once at the start frame, and the result is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "HostSystem.h"
#include "ImageFiles.h"
#include "TrackFile.h"

namespace tessellon {

class Plugins;

struct RenderLimits {
    ImageLimits Frames;                        // each input file's header
    int64_t MaxCanvasSide = MaxImageSide;      // the canvas's width and height
    uint64_t MaxImageBytes = 0;                // any one image the host makes; 0: the host's own
    uint64_t MaxMemory = 0;                    // the whole render; 0: 80% of physical memory
};

struct StitchSettings {
    std::string Frames;                        // the sequence pattern
    std::string TrackPath;                     // empty: no track file
    std::optional<double> Start, End;          // "StartFrame", "EndFrame"
    int Method = 0;                            // "FilterMethod": 0 unique pixels, 1 median
    std::vector<std::string> Outputs;          // each gets the same image
    TrackUnits Units = TrackUnits::Normalized;
    TrackOrigin Origin = TrackOrigin::BottomLeft;
    bool SkipBadFrames = false;
    int Threads = 0;                           // 0: every core
    bool Quiet = false;
    bool Stats = false;
    WriteOptions Write;
    RenderLimits Limits;
};

struct StitchSummary {
    int32_t Width = 0, Height = 0;   // of the written image
    int FramesUsed = 0;              // frames of the range decoded into an image
    int FramesInRange = 0;
    double Seconds = 0.0;
};

// Runs one stitch with a tool from `plugins`. Prints warnings, and the
// summary line unless quiet. Throws Error: bad input (2) before
// anything is written, no image (1) when the tool produced none.
StitchSummary RunStitch(const StitchSettings& settings, const Plugins& plugins);

// 80% of this machine's physical memory.
uint64_t DefaultMemoryBudget();

}  // namespace tessellon
