// Progress of one stitch on stderr, and the times of the phases, kept
// either way, for the summary, --stats and --report. On a terminal the
// render's events are drawn as one updating line; into a file or a pipe (a
// render farm's log) they are plain lines: one as each phase begins and at
// most one every few seconds within a phase.
#pragma once

#include <array>
#include <chrono>
#include <mutex>
#include <string>

#include "StitchRender.h"

namespace tessellon {

struct PhaseTimes {
    double Gathering = 0.0;     // the tool fetching frames, waiting for them included
    double Placement = 0.0;     // from the tool's canvas to its chunked processing
    double Compositing = 0.0;   // the tool's chunked processing on the host's workers
    double Releasing = 0.0;     // the rest of the render: the tool giving back frames and layers
    double Writing = 0.0;
    double Total = 0.0;
};

enum class ProgressShown { None, Line, Log };

class Progress : public RenderEvents {
public:
    explicit Progress(ProgressShown shown);
    ~Progress() override;

    void PhaseBegan(Phase phase) override;
    void PhaseEnded(Phase phase) override;
    void FramesDecoded(int done, int total) override;
    void ToolProgress(float fraction) override;

    // Clears the line, if one is showing.
    void Clear();

    PhaseTimes Times() const;
    double Elapsed() const;

private:
    using Clock = std::chrono::steady_clock;
    void Show(bool force);
    std::string Text() const;

    ProgressShown shown_;
    mutable std::mutex mutex_;
    Clock::time_point begin_, lastShown_;
    std::array<Clock::duration, PhaseCount> spent_{};
    std::array<Clock::time_point, PhaseCount> began_{};
    std::array<bool, PhaseCount> running_{};
    Phase phase_ = Phase::Reading;   // the render thread's phase the line shows
    bool rendering_ = false, lineShown_ = false;
    float fraction_ = 0.0f;
    int decoded_ = 0, toDecode_ = 0;
};

}  // namespace tessellon
