#include "Progress.h"

#include <cstdio>

namespace tessellon {

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

Progress::Progress(bool show) : show_(show), begin_(Clock::now()) {}

Progress::~Progress() { Clear(); }

void Progress::PhaseBegan(Phase phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t k = size_t(phase);
    began_[k] = Clock::now();
    running_[k] = true;
    if (phase != Phase::Reading) {
        shown_ = phase;
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
    if (phase == shown_) rendering_ = false;
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

void Progress::Show(bool force) {
    if (!show_) return;
    const Clock::time_point now = Clock::now();
    if (!force && lineShown_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
    lastShown_ = now;

    char text[160];
    const double percent = double(fraction_) * 100.0;
    const bool reading = toDecode_ > 0 && decoded_ < toDecode_;
    switch (rendering_ ? shown_ : Phase::Reading) {
    case Phase::Gathering:
        std::snprintf(text, sizeof text, "reading frames %d/%d, gathering %3.0f%%", decoded_, toDecode_, percent);
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
    std::fprintf(stderr, "\r\033[Ktessellon: %s  %.1f s", text, Seconds(now - begin_));
    std::fflush(stderr);
    lineShown_ = true;
}

void Progress::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lineShown_) return;
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
