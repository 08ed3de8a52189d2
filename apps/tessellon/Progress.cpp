#include "Progress.h"

#include <cmath>
#include <cstdio>

namespace tessellon {

Progress::Progress(bool show) : show_(show), begin_(Clock::now()) {}

Progress::~Progress() { Clear(); }

double Progress::Seconds(Clock::time_point a, Clock::time_point b) {
    return b > a ? std::chrono::duration<double>(b - a).count() : 0.0;
}

void Progress::Reading(int done, int total) {
    std::lock_guard<std::mutex> lock(mutex_);
    readDone_ = done;
    readTotal_ = total;
    Show(done == total);
}

void Progress::ToolProgress(float fraction) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    // The second pass starts again from 0: a fall marks it.
    if (pass_ == 0) pass_ = 1;
    else if (pass_ == 1 && fraction < last_) pass_ = 2;
    if (pass_ == 2) {
        if (placeFirst_ == Clock::time_point()) placeFirst_ = now;
        placeLast_ = now;
        placeLastFraction_ = fraction;
    }
    last_ = fraction;
    Show(false);
}

void Progress::SetFramesToRead(int total) {
    std::lock_guard<std::mutex> lock(mutex_);
    readTotal_ = total;
}

void Progress::RenderStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    renderBegin_ = Clock::now();
    rendering_ = true;
    Show(true);
}

void Progress::RenderEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    renderEnd_ = Clock::now();
    rendering_ = false;
    rendered_ = true;
}

void Progress::ChunksStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    chunksBegin_ = Clock::now();
}

void Progress::ChunksEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    chunksEnd_ = Clock::now();
    if (chunksBegin_ != Clock::time_point()) chunks_ += chunksEnd_ - chunksBegin_;
}

void Progress::WritingStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    writeBegin_ = Clock::now();
    writing_ = true;
    Show(true);
}

void Progress::WritingEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    writeEnd_ = Clock::now();
    writing_ = false;
    written_ = true;
}

void Progress::SetReadTimes(double wall, double decoding) {
    std::lock_guard<std::mutex> lock(mutex_);
    readWall_ = wall;
    readDecoding_ = decoding;
}

void Progress::Show(bool force) {
    if (!show_) return;
    const Clock::time_point now = Clock::now();
    if (!force && lineShown_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
    lastShown_ = now;

    char text[160];
    if (writing_) {
        std::snprintf(text, sizeof text, "writing the output");
    } else if (pass_ == 2) {
        std::snprintf(text, sizeof text, "placing layers %3.0f%%, then compositing", double(last_) * 100.0);
    } else if (readTotal_ > 0 && (readDone_ < readTotal_ || pass_ < 2)) {
        std::snprintf(text, sizeof text, "reading frames %d/%d, gathering %3.0f%%", readDone_, readTotal_,
                      double(pass_ == 1 ? last_ : 0.0f) * 100.0);
    } else if (rendering_) {
        std::snprintf(text, sizeof text, "rendering");
    } else {
        std::snprintf(text, sizeof text, "reading frame headers");
    }
    std::fprintf(stderr, "\r\033[Ktessellon: %s  %.1f s", text, Seconds(begin_, now));
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
    PhaseTimes times;
    times.Reading = readWall_;
    times.Decoding = readDecoding_;
    const Clock::time_point renderEnd = rendered_ ? renderEnd_ : Clock::now();
    if (renderBegin_ != Clock::time_point() && chunksBegin_ != Clock::time_point()) {
        // The host saw the compositing start and end: the phases are exact.
        const Clock::time_point placeFirst = placeFirst_ != Clock::time_point() ? placeFirst_ : chunksBegin_;
        times.Gathering = Seconds(renderBegin_, placeFirst);
        times.Placement = Seconds(placeFirst, chunksBegin_);
        times.Compositing = std::chrono::duration<double>(chunks_).count();
        if (chunksEnd_ != Clock::time_point()) times.Releasing = Seconds(chunksEnd_, renderEnd);
    } else if (renderBegin_ != Clock::time_point()) {
        if (placeFirst_ == Clock::time_point()) {
            // No second pass: nothing was placed (a pass-through or no samples).
            times.Gathering = Seconds(renderBegin_, renderEnd);
        } else {
            times.Gathering = Seconds(renderBegin_, placeFirst_);
            // The last report comes before the last layer: add one layer's mean time.
            Clock::time_point placeEnd = placeLast_;
            const double reports = std::round(double(placeLastFraction_) / (1.0 - double(placeLastFraction_)));
            if (reports >= 1.0) {
                const auto mean = (placeLast_ - placeFirst_) / int64_t(reports);
                placeEnd = std::min(renderEnd, placeLast_ + mean);
            }
            times.Placement = Seconds(placeFirst_, placeEnd);
            times.Compositing = Seconds(placeEnd, renderEnd);
        }
    }
    if (written_) times.Writing = Seconds(writeBegin_, writeEnd_);
    times.Total = Seconds(begin_, Clock::now());
    return times;
}

double Progress::Elapsed() const { return Seconds(begin_, Clock::now()); }

}  // namespace tessellon
