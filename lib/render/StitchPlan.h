// The plan of one stitch: everything the render needs to know, worked out
// from the arguments, the frames' headers and the track before any pixel
// is read.
//
// MakeStitchPlan reads what it needs (the frames that exist, their headers,
// the track file) and hands it to PlanStitch, which is pure: the same
// inputs give the same plan or the same Error, so it is tested without a
// single pixel. Everything that can be refused is refused here: frame
// numbers, a start frame without an image, unreadable frames (unless
// skipped), the canvas the track asks for against the host's limits (naming
// the track file and line of the key that pushed it over) and the memory the
// whole render will hold against the budget.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "FrameCache.h"
#include "Geometry.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "Sequence.h"
#include "TrackFile.h"

namespace tessellon {

struct RenderLimits {
    ImageLimits Frames;                     // each input file's header
    int64_t MaxCanvasSide = MaxImageSide;   // the canvas's width and height
    uint64_t MaxImageBytes = 0;             // any one image the host makes; 0: the host's own
    uint64_t MaxMemory = 0;                 // the whole render; 0: DefaultMemoryBudget()
};

struct StitchSettings {
    std::string Frames;                 // the sequence pattern
    std::string TrackPath;              // empty: no track file
    TrackReadOptions TrackRead;         // format, tracker name, columns, first frame
    std::optional<double> Start, End;   // "StartFrame", "EndFrame"
    int Method = 0;                     // "FilterMethod": 0 unique pixels, 1 median
    std::vector<std::string> Outputs;   // each gets the same image
    // Unset: what the track file says of itself, else normalized, bottom-left
    // and camera.
    std::optional<TrackUnits> Units;
    std::optional<TrackOrigin> Origin;
    std::optional<TrackKind> Kind;
    bool SkipBadFrames = false;
    // --no-check: the track file is not checked against a few frames.
    bool NoTrackCheck = false;
    int Threads = 0;                    // 0: every core
    bool Quiet = false;
    bool Stats = false;
    std::string Report;                 // --report: a JSON summary of the run; empty: none
    WriteOptions Write;
    // What a caller that has been through the frames already (stitch
    // --align) hands over: the track, used instead of reading TrackPath; the
    // frames with a file not to be stitched, passed over like unreadable
    // ones; and the frames it decoded, handed over (one reference) or null
    // for a frame to be read from its file. Called on decoding threads.
    std::optional<Track> GivenTrack;
    std::vector<BadFrame> LeftOut;
    std::function<Image*(int frame)> Decoded;
    // Gives back every frame Decoded still holds; called when the render is
    // banded (band frames hold only some rows and are read per band).
    std::function<void()> DropDecoded;
    // Shown each frame the render decodes, on the decoding threads
    // (FrameCache::Options::Inspect); a band's frame holds the band's rows.
    std::function<void(int frame, const Image& image)> Inspect;
    RenderLimits Limits;
    // --band K/N: render band K of N only (Bands.h); N 0: the whole canvas.
    int BandK = 0, BandCount = 0;
    // --one-pass: no split into bands for speed alone (the budget may still
    // ask for bands).
    bool OnePass = false;
    bool PlanOnly = false;              // `tessellon plan`: no output to check
};

// A render whose frames are all read by rows goes in bands of about this
// one-pass estimate each even where one pass fits: every band after the
// first takes the memory the one before gives back, where one pass must have
// all of it fresh from the system (a fresh page costs far more to write than
// one written before), at the cost of opening every file once a band.
// Where each band costs more, bands are larger: files of compressed chunks
// cost more to open (their codecs' buffers and chunk tables), and a turned
// frame's band reads source rows the next band reads again.
inline constexpr double SpeedBandBytes = double(uint64_t(160) << 20);
inline constexpr double LargeSpeedBandBytes = double(uint64_t(640) << 20);

inline constexpr int FilterUnique = 0;
inline constexpr int FilterMedian = 1;

// A frame of the range with a file, and what its header says.
struct PlannedFrame {
    int Frame = 0;
    std::string Path;
    ImageFileInfo Info;
};

// A frame's header as it was read: its figures, or why it cannot be read.
struct FrameHeader {
    int Frame = 0;
    std::string Path;
    std::optional<ImageFileInfo> Info;
    std::string Error;   // when Info is empty
};

// What the render will hold at its peak: every frame of the range, the
// canvas, one layer per frame (the memory pages its frame's rows touch) and
// one turned frame when frames turn.
struct MemoryEstimate {
    double Frames = 0.0, Canvas = 0.0, Layers = 0.0, Turned = 0.0;
    double Total() const { return Frames + Canvas + Layers + Turned; }
};

// What the files said, read before planning.
struct StitchInputs {
    FrameSequence Sequence;
    std::vector<int> Found;              // frames with a file, ascending
    std::optional<Track> TrackFile;      // as read, in its own units
    std::vector<FrameHeader> Headers;    // the frames of the range with a file
};

// How the track is read: the settings' choice, else the file's own.
struct TrackUse {
    TrackUnits Units = TrackUnits::Normalized;
    TrackOrigin Origin = TrackOrigin::BottomLeft;
    TrackKind Kind = TrackKind::Camera;
};

struct StitchPlan {
    FrameSequence Sequence;
    std::optional<Track> TrackFile;      // in the host's convention, the camera's
    TrackUse Use;                        // how the file was read
    std::vector<std::string> Warnings;   // what the user should hear before the render
    double StartValue = 0.0, EndValue = 0.0;   // "StartFrame", "EndFrame" as given
    int32_t StartFrame = 0, EndFrame = 0;
    int64_t First = 0, Last = 0;         // the frames the tool reads
    std::vector<PlannedFrame> Frames;    // readable frames of [First, Last], ascending
    std::vector<BadFrame> Skipped;       // unreadable frames passed over
    std::string Missing;                 // frames of the range without a file, as ranges
    size_t MissingCount = 0;
    CanvasGeometry Canvas;               // what the tool will ask the host for
    int CanvasBytesPerPixel = 16;
    MemoryEstimate Memory;               // of the one-pass render
    uint64_t Budget = 0;
    // Bands the canvas is rendered in to keep within the budget (1: one
    // pass), and what each holds at most; or, where one pass fits, for speed
    // alone (SpeedBandBytes).
    int Bands = 1;
    double BandMemory = 0.0;
    bool BandsForSpeed = false;
    bool Turning = false;                // some frame turns against the first
    bool Layered = false;                // the tool places layers (it runs forward)
    WriteOptions Write;                  // the settings' with the frames' colour space

    const ImageFileInfo& Start() const { return Frames.front().Info; }
};

// The frames [first, last] the tool reads, from the settings, the frames
// that exist and the track: as given, else the track's keys, else the
// pattern's own list, else the files'. Throws Error.
struct FrameRange {
    double StartValue = 0.0, EndValue = 0.0;
    int32_t StartFrame = 0, EndFrame = 0;
    int64_t First = 0, Last = 0;
};
FrameRange ChooseRange(const StitchSettings& settings, const FrameSequence& sequence, const std::vector<int>& found,
                       const Track* track);

// The plan from what the files said. `imageBytes` is the host's largest
// image, `physicalMemory` the machine's (0: unknown). Throws Error.
StitchPlan PlanStitch(const StitchSettings& settings, StitchInputs inputs, uint64_t imageBytes,
                      uint64_t physicalMemory);

// Reads the pattern's files, the track and the headers of the range, then
// plans. Throws Error.
StitchPlan MakeStitchPlan(const StitchSettings& settings, uint64_t physicalMemory);

// Refuses, naming it, an output file that cannot be written: an unknown
// type, a folder that does not exist or takes no new files.
void CheckOutput(const std::string& output);

// 80% of `physicalMemory`; 8 GiB when it is unknown (0).
uint64_t DefaultMemoryBudget(uint64_t physicalMemory);

// The frame file list the frame cache reads, from the plan.
std::vector<FrameFile> FramesToRead(const StitchPlan& plan);

}  // namespace tessellon
