#include "Progress.h"

#include <cstdio>

namespace tessellon {

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

Progress::Progress(ProgressShown shown) : shown_(shown), begin_(Clock::now()) {}

Progress::~Progress() { Clear(); }

void Progress::PhaseBegan(Phase phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t k = size_t(phase);
    began_[k] = Clock::now();
    running_[k] = true;
    if (phase != Phase::Reading) {
        phase_ = phase;
        rendering_ = true;
        fraction_ = 0.0f;
    }
    Show(true);
}

void Progress::PhaseEnded(Phase phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t k = size_t(phase);
    if (!running_[k]) return;
    spent_[k] += Clock::now() - began_[k];
    running_[k] = false;
    if (phase == phase_) rendering_ = false;
}

void Progress::FramesDecoded(int done, int total) {
    std::lock_guard<std::mutex> lock(mutex_);
    decoded_ = done;
    toDecode_ = total;
    Show(done == total);
}

void Progress::ToolProgress(float fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    fraction_ = fraction;
    Show(false);
}

std::string Progress::Text() const {
    char text[160];
    const double percent = double(fraction_) * 100.0;
    const bool reading = toDecode_ > 0 && decoded_ < toDecode_;
    switch (rendering_ ? phase_ : Phase::Reading) {
    case Phase::Gathering:
        if (toDecode_ > 0)
            std::snprintf(text, sizeof text, "reading frames %d/%d, gathering %3.0f%%", decoded_, toDecode_, percent);
        else
            std::snprintf(text, sizeof text, "gathering %3.0f%%", percent);
        break;
    case Phase::Placing:
        std::snprintf(text, sizeof text, "placing layers %3.0f%%, then compositing", percent);
        break;
    case Phase::Compositing: std::snprintf(text, sizeof text, "compositing"); break;
    case Phase::Releasing: std::snprintf(text, sizeof text, "releasing frames and layers"); break;
    case Phase::Writing: std::snprintf(text, sizeof text, "writing the output"); break;
    case Phase::Reading:
        if (reading)
            std::snprintf(text, sizeof text, "reading frames %d/%d", decoded_, toDecode_);
        else
            std::snprintf(text, sizeof text, "reading frame headers");
        break;
    }
    return text;
}

// `force`: a phase began, or the frames are all decoded.
void Progress::Show(bool force) {
    if (shown_ == ProgressShown::None) return;
    const Clock::time_point now = Clock::now();
    const double elapsed = Seconds(now - begin_);
    if (shown_ == ProgressShown::Log) {
        if (!force && lineShown_ && now - lastShown_ < std::chrono::seconds(5)) return;
        lastShown_ = now;
        lineShown_ = true;
        std::fprintf(stderr, "tessellon: %7.1f s  %s\n", elapsed, Text().c_str());
        std::fflush(stderr);
        return;
    }
    if (!force && lineShown_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
    lastShown_ = now;
    std::fprintf(stderr, "\r\033[Ktessellon: %s  %.1f s", Text().c_str(), elapsed);
    std::fflush(stderr);
    lineShown_ = true;
}

void Progress::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lineShown_ || shown_ != ProgressShown::Line) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    lineShown_ = false;
}

PhaseTimes Progress::Times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    auto spent = [&](Phase phase) {
        const size_t k = size_t(phase);
        return Seconds(spent_[k] + (running_[k] ? now - began_[k] : Clock::duration()));
    };
    PhaseTimes times;
    times.Gathering = spent(Phase::Gathering);
    times.Placement = spent(Phase::Placing);
    times.Compositing = spent(Phase::Compositing);
    times.Releasing = spent(Phase::Releasing);
    times.Writing = spent(Phase::Writing);
    times.Total = Seconds(now - begin_);
    return times;
}

double Progress::Elapsed() const { return Seconds(Clock::now() - begin_); }

}  // namespace tessellon
