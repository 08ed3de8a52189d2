// stitch's look at its track: a few pairs of neighbouring frames related
// from the pictures, as `tessellon check` relates them all, and one warning
// when the track does not line them up, naming the usual mistake that
// explains it where one does. Needs OpenCV, like check.
//
// The render shows the check the frames it decodes, whole or a band's rows
// at a time (reduced to about 480 pixels wide as they pass), and each pair
// is measured on the decoding thread that completes it, so the check reads
// no file of its own. A band task renders one band only, which may not hold
// the rows: the check then reads the middle third of the rows of its
// frames itself, reduced the same way, on a thread of its own.
#pragma once

#include <memory>
#include <string>

#include "StitchPlan.h"

class Image;

namespace tessellon {

class StitchTrackCheck {
public:
    // The pairs of neighbouring frames measured, at most.
    static constexpr int MostPairs = 4;

    // The check of the plan's track, or null when there is nothing to check:
    // no track file, or fewer than two neighbouring frames of the range
    // within the track's keys. `bandTask`: the render is one band only.
    static std::unique_ptr<StitchTrackCheck> For(const StitchPlan& plan, const StitchSettings& settings, bool bandTask);
    ~StitchTrackCheck();
    StitchTrackCheck(const StitchTrackCheck&) = delete;
    StitchTrackCheck& operator=(const StitchTrackCheck&) = delete;

    // What StitchSettings::Inspect is given.
    void Look(int frame, const Image& image);
    // Band tasks: starts reading the frames' middle rows; returns at once.
    void Start();
    // After the render: the warning, or empty when the track lines the
    // frames up or no pair could be measured.
    std::string Warning();

    struct State;

private:
    explicit StitchTrackCheck(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tessellon
