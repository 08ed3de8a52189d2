// The render of a planned stitch: the frames decoded ahead of the tool, the
// tool's inputs keyed from the track, one render through the host at the
// start frame, and what it took.
//
// Whoever shows progress hears of it through RenderEvents: the phases as the
// host application sees them begin (the tool fetching frames, the tool's
// first image made on the render thread, the host's chunked processing
// starting and ending, the render returning), the frames decoded, and the
// fractions the tool reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bands.h"
#include "FrameCache.h"
#include "HostSystem.h"
#include "StitchPlan.h"

namespace tessellon {

class Plugins;

enum class Phase { Reading, Gathering, Placing, Compositing, Releasing, Writing };
inline constexpr int PhaseCount = 6;

// Reading runs beside the others on threads of its own; the rest follow one
// another on the render thread (Writing is the command's own). Each phase
// that begins also ends, whichever way the render goes.
class RenderEvents {
public:
    virtual ~RenderEvents() = default;
    virtual void PhaseBegan(Phase phase) = 0;
    virtual void PhaseEnded(Phase phase) = 0;
    // Frames decoded so far, of `total`; called on the decoding threads.
    virtual void FramesDecoded(int done, int total) = 0;
    // The fraction the tool reported through SetProgress.
    virtual void ToolProgress(float fraction) = 0;
};

// What --stats reports of a render beyond the phase times.
struct RenderCounts {
    int Frames = 0;                 // decoded into an image
    int MostDecodes = 0;            // of any one file
    double FileBytes = 0.0;         // the sizes of the frames' files
    double BytesRead = 0.0;         // what the process read while the frames were decoded
    int Requests = 0, Waits = 0;    // the tool's frame requests, and those that waited
    double WaitSeconds = 0.0;
    double ReadSeconds = 0.0;       // from the first frame read to the last decoded
    double DecodeSeconds = 0.0;     // summed over the decoding threads
    int64_t Turns = 0;              // Image::Transform calls of the render
    double TurnSeconds = 0.0;
};

struct RenderOutcome {
    HostRef<Image> Picture;
    std::vector<BadFrame> Unreadable;   // frames skipped as unreadable while decoding
    std::vector<int> Transparent;       // frames decoded without a fully opaque pixel
    RenderCounts Counts;
};

// Renders the plan with the stitching tool of `plugins`. `bytesRead` tells
// what the process has read so far (0 where the system does not say).
// Throws Error: bad input when a frame could not be read (and bad frames are
// not skipped), no image when the tool made none, with the host's reason.
// With a band, the host renders the band's rows only, from frames that hold
// only the rows the band needs; the picture is of the canvas's size and
// holds the band's rows (HostApp::StoredRows), the one-pass render's bits.
RenderOutcome RenderStitch(const StitchPlan& plan, const StitchSettings& settings, const Plugins& plugins,
                           RenderEvents& events, uint64_t (*bytesRead)(), const BandPlan* band = nullptr);

}  // namespace tessellon
