// `tessellon align`: a camera track estimated from the pictures alone, and
// `tessellon check` (CheckCommand.h): a track checked against them. Both
// need OpenCV, which the Windows build lacks.
//
// align writes CSV "frame,x,y,angle,confidence": the camera's position in
// fractions of the frame (origin bottom-left, y up), the start frame at
// (0.5, 0.5) and angle 0, angles in degrees counter-clockwise; `stitch
// --track` reads it as it is. Frames that cannot be aligned are left out
// of the track, and named in one warning.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Align.h"
#include "ImageFiles.h"
#include "Sequence.h"
#include "StitchPlan.h"

namespace tessellon {

struct AlignCommandSettings {
    std::string Frames;                 // the sequence pattern
    std::optional<int> Start, End;      // default: the first and the last file
    AlignModel Model = AlignModel::Rigid;
    std::string Output;                 // the track file to write
    int Threads = 0;                    // 0: every core
    bool Quiet = false;
    ImageLimits Limits;
    uint64_t MaxMemory = 0;             // the budget while aligning; 0: DefaultMemoryBudget()
};

struct AlignSummary {
    int Frames = 0, Aligned = 0;
    std::vector<int> LeftOut;
    double Seconds = 0.0;
};

// Reads the frames, aligns them and writes the track (to a temporary file
// renamed into place). Frames are decoded as the aligner needs them and
// released once related, so that it holds the pictures of only a few at a
// time, as many as the budget allows. Throws Error: bad input (2) before anything is
// written; no image (1) when no frame but the start frame aligns.
AlignSummary RunAlign(const AlignCommandSettings& settings);

// The frames of `sequence` with a file, from `start` towards `end` (default
// the first and the last file); warns of frames of the range without one.
// Throws Error (bad input) when there are none or the start frame has none.
std::vector<int> FramesToAlign(const FrameSequence& sequence, const std::string& pattern, std::optional<int> start,
                               std::optional<int> end);

// The frames' grey pictures, decoded on `threads` threads; `progress` hears
// of every frame read. Throws Error naming the file that failed.
std::vector<AlignFrame> ReadGreyFrames(const FrameSequence& sequence, const std::vector<int>& frames,
                                       const ImageLimits& limits, int threads,
                                       const std::function<void(int done, int total)>& progress);

// stitch --align: aligns the frames of the stitch's range and gives the
// stitch the track, the frames that could not be aligned (passed over, with
// their reasons) and the decoded frames that the budget (--max-memory) holds
// beside the aligner, so that each of them is decoded once.
// Throws Error as RunAlign does; bad input when a track is given as well.
void AlignForStitch(StitchSettings& stitch, AlignModel model, bool quiet);

// The progress line of align and check on stderr (when it is a terminal and
// not quiet), drawn like the stitch's.
class StepLine {
public:
    explicit StepLine(bool show);
    ~StepLine();
    void Show(const std::string& text, bool force = false);
    // A progress callback that shows "`what` done/total".
    std::function<void(int done, int total)> Counter(const std::string& what);
    void Clear();
    double Elapsed() const;

private:
    bool show_, shown_ = false;
    std::chrono::steady_clock::time_point begin_, last_;
    std::mutex mutex_;
};

// The align and check commands on the command line.
struct AlignCommands {
    CLI::App* Align = nullptr;
    CLI::App* Check = nullptr;
    AlignCommandSettings AlignSettings;
    std::string Model = "rigid";
    std::string CheckFrames, CheckTrack, Units = "normalized", Origin = "bottom-left";
    double Tolerance = 1.0;
    int Start = 0, End = 0;
    CLI::Option* StartOption = nullptr;
    CLI::Option* EndOption = nullptr;
};
void AddAlignCommands(CLI::App& app, AlignCommands& commands);
// Runs whichever of the two was given; its exit status, or none.
std::optional<int> RunAlignCommands(AlignCommands& commands, int threads);

}  // namespace tessellon
