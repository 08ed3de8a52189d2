// Progress of one stitch: the render's events drawn as an updating line on
// stderr (when asked for: stderr a terminal, not --quiet), and the times of
// the phases, kept either way, for the summary and --stats.
#pragma once

#include <array>
#include <chrono>
#include <mutex>

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

class Progress : public RenderEvents {
public:
    explicit Progress(bool show);
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

    bool show_;
    mutable std::mutex mutex_;
    Clock::time_point begin_, lastShown_;
    std::array<Clock::duration, PhaseCount> spent_{};
    std::array<Clock::time_point, PhaseCount> began_{};
    std::array<bool, PhaseCount> running_{};
    Phase shown_ = Phase::Reading;   // the render thread's phase the line shows
    bool rendering_ = false, lineShown_ = false;
    float fraction_ = 0.0f;
    int decoded_ = 0, toDecode_ = 0;
};

}  // namespace tessellon
