// Progress of one stitch: an updating line on stderr while frames are read,
// gathered, placed and composited, and the times of those phases.
//
// The line shows only when asked for (stderr a terminal, not --quiet); the
// phase times are kept either way. The tool reports two passes through
// Operator::SetProgress: 0 to 1 over the frames while gathering, then 0 to
// (n - 1) / n over the samples while placing; compositing reports nothing,
// so it is what remains of the render after the last layer.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace tessellon {

struct PhaseTimes {
    double Reading = 0.0;       // wall time from the first frame read to the last decoded
    double Decoding = 0.0;      // decoding time summed over the reading threads
    double Gathering = 0.0;     // the tool's first pass, waiting for frames included
    double Placement = 0.0;     // the tool's second pass, up to its chunked processing
    double Compositing = 0.0;   // the tool's chunked processing on the host's workers
    double Releasing = 0.0;     // the rest of the render: the tool giving back frames and layers
    double Writing = 0.0;
    double Total = 0.0;
};

class Progress {
public:
    explicit Progress(bool show);
    ~Progress();

    // Each may be called from any thread.
    void Reading(int done, int total);
    void ToolProgress(float fraction);

    // The frames the render will read, before it starts.
    void SetFramesToRead(int total);
    void RenderStarted();
    void RenderEnded();
    // The host's chunked processing (the tool's compositing) began, ended.
    void ChunksStarted();
    void ChunksEnded();
    void WritingStarted();
    void WritingEnded();
    void SetReadTimes(double wall, double decoding);

    // Clears the line, if one is showing.
    void Clear();

    PhaseTimes Times() const;
    double Elapsed() const;

private:
    using Clock = std::chrono::steady_clock;
    void Show(bool force);
    static double Seconds(Clock::time_point a, Clock::time_point b);

    bool show_;
    mutable std::mutex mutex_;
    Clock::time_point begin_, renderBegin_, renderEnd_, writeBegin_, writeEnd_;
    Clock::time_point placeFirst_, placeLast_, lastShown_;
    Clock::time_point chunksBegin_, chunksEnd_;
    Clock::duration chunks_{};
    int pass_ = 0;              // 0 before the tool reports, 1 gathering, 2 placing
    float last_ = 0.0f;
    float placeLastFraction_ = 0.0f;
    int readDone_ = 0, readTotal_ = 0;
    bool rendering_ = false, rendered_ = false, writing_ = false, written_ = false, lineShown_ = false;
    double readWall_ = 0.0, readDecoding_ = 0.0;
};


}  // namespace tessellon
