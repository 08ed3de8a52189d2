// Bands: the canvas rendered as horizontal bands of rows.
//
// Band K of N covers the canvas rows [floor(K * H / N), floor((K + 1) * H / N))
// counted from the canvas's top row (row 0 is the top one, as image files
// count). A band needs of each frame only the rows whose pixels can land on
// it: the rows the placement maps into the band (each axis clamped onto the
// canvas as the engine clamps it), and for a turned frame the source rows
// the host's turn reads for those rows. Which rows those are is worked out
// here from the plan with the engine's own arithmetic (Geometry.h) and the
// host's (HostApp::TurnSourceRows), a row to spare on each side; the render
// of a band is then the one-pass render's rows, bit for bit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "HostApp.h"
#include "StitchPlan.h"

namespace tessellon {

// What a process holds besides the render's own estimate: the program, its
// libraries and their caches, the decoding threads' buffers. A stitch of two
// 32 x 24 frames peaks at 137 MiB here. A render in bands keeps this much of
// the budget aside; a one-pass render, or a band of --band, may exceed its
// budget by as much.
inline constexpr uint64_t FixedOverheadBytes = uint64_t(160) << 20;

// Canvas rows [Top, End) counted from the top row.
struct BandRows {
    int32_t Top = 0, End = 0;
    int32_t Count() const { return End - Top; }
};

// Band k of n of a canvas `height` rows high (0 <= k < n <= height).
BandRows BandOf(int32_t height, int k, int n);

// The same rows as the host counts them, from the bottom row.
HostApp::RowRange HostRowsOf(const BandRows& band, int32_t height);

// What one frame's image holds for a band: Rows of its own, LikeRows in the
// images made like it (the turned frame). Host rows, from the bottom.
struct BandFrame {
    int Frame = 0;
    std::string Path;
    HostApp::RowRange Rows, LikeRows;
};

struct BandPlan {
    int K = 0, N = 1;
    BandRows Rows;
    std::vector<BandFrame> Frames;   // the plan's frames, ascending
    MemoryEstimate Memory;           // what the band's render holds at its peak
};

// The rows every frame of `plan` needs for band k of n.
BandPlan PlanBand(const StitchPlan& plan, int k, int n);

// What the frames' reads keep from one band for the next in all
// (ImageFileInfo::CarriedRows).
double CarriedBytes(const StitchPlan& plan);

// Each planned frame's turn against the first (TurnOf; 0 for the first).
std::vector<double> FrameTurns(const StitchPlan& plan);

// The fewest bands, at most the canvas's rows, whose every band's memory
// stays within `budget` bytes; 0 when even one row per band does not.
int BandsWithin(const StitchPlan& plan, double budget);

// An identity of the shot and its canvas: a hash of the frames (pattern,
// range, files and their sizes and formats), the read choice, the track's
// keys as the tool gets them, the method and the canvas's size and origin.
// Bands with the same identity merge into the one-pass image.
std::string ShotIdentity(const StitchPlan& plan, const StitchSettings& settings);

}  // namespace tessellon
