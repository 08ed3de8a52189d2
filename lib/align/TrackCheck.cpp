#include "TrackCheck.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "AlignDetail.h"

namespace tessellon {

using namespace align;

namespace {

double Lerp(double a, double b, double t) { return a + (b - a) * t; }

// The key values at `frame`: linear between keys, held outside them.
TrackKey KeyAt(const Track& track, int frame) {
    const std::vector<TrackKey>& keys = track.Keys;
    if (frame <= keys.front().Frame) return keys.front();
    if (frame >= keys.back().Frame) return keys.back();
    const auto after = std::lower_bound(keys.begin(), keys.end(), frame,
                                        [](const TrackKey& key, int f) { return key.Frame < f; });
    if (after->Frame == frame) return *after;
    const TrackKey& before = *(after - 1);
    const double t = double(frame - before.Frame) / double(after->Frame - before.Frame);
    TrackKey key;
    key.Frame = frame;
    key.X = Lerp(before.X, after->X, t);
    key.Y = Lerp(before.Y, after->Y, t);
    key.Angle = Lerp(before.Angle, after->Angle, t);
    return key;
}

// The pose as a motion from the frame's pixels to the plane's.
Motion MotionOf(const FramePose& pose, int width, int height) {
    const double c = std::cos(pose.Angle * std::numbers::pi / 180.0), s = std::sin(pose.Angle * std::numbers::pi / 180.0);
    const double cx = 0.5 * (width - 1), cy = 0.5 * (height - 1);
    return {pose.Angle * std::numbers::pi / 180.0, pose.ShiftX + cx - (c * cx - s * cy),
            pose.ShiftY + cy - (s * cx + c * cy)};
}

// The pose of `frame` in a track already converted to fractions.
FramePose PoseIn(const Track& read, const TrackReading& reading, int frame, int first, int width, int height) {
    TrackKey key = KeyAt(read, frame);
    if (reading.Mirrored) {
        const TrackKey start = KeyAt(read, first);
        key.X = 2.0 * start.X - key.X;
        key.Y = 2.0 * start.Y - key.Y;
    }
    FramePose pose;
    pose.Frame = frame;
    pose.Aligned = true;
    pose.ShiftX = key.X * width;
    pose.ShiftY = key.Y * height;
    pose.Angle = reading.AngleNegated ? -key.Angle : key.Angle;
    return pose;
}

struct Pass {
    std::vector<FrameCheck> Frames;
    int Measured = 0;
    double Worst = 0.0;
};

Pass Compare(const Track& track, const TrackReading& reading, const std::vector<FramePose>& measured, int width,
             int height) {
    Pass pass;
    const int first = measured.front().Frame;
    Track read = track;
    ConvertTrack(read, reading.Units, reading.Origin, width, height);
    for (size_t k = 1; k < measured.size(); ++k) {
        FrameCheck check;
        check.Frame = measured[k].Frame;
        check.Against = measured[k - 1].Frame;
        const Motion before = MotionOf(PoseIn(read, reading, check.Against, first, width, height), width, height);
        const Motion after = MotionOf(PoseIn(read, reading, check.Frame, first, width, height), width, height);
        const Motion relative = Compose(Inverse(before), after);
        check.Track = PoseOf(relative, width, height);
        check.Track.Frame = check.Frame;
        check.Pictures = measured[k];
        if (measured[k].Aligned) {
            check.Disagreement = CornerDistance(relative, MotionOf(measured[k], width, height), width, height);
            pass.Worst = std::max(pass.Worst, check.Disagreement);
            ++pass.Measured;
        }
        pass.Frames.push_back(check);
    }
    return pass;
}

int Changes(const TrackReading& a, const TrackReading& b) {
    return int(a.Units != b.Units) + int(a.Origin != b.Origin) + int(a.Mirrored != b.Mirrored) +
           int(a.AngleNegated != b.AngleNegated);
}

}  // namespace

FramePose TrackPose(const Track& track, const TrackReading& reading, int frame, int first, int width, int height) {
    Track read = track;
    ConvertTrack(read, reading.Units, reading.Origin, width, height);
    return PoseIn(read, reading, frame, first, width, height);
}

TrackCheck CheckTrack(const Track& track, const TrackReading& given, const std::vector<FramePose>& measured,
                      int width, int height, double tolerance) {
    TrackCheck check;
    if (measured.empty() || track.Keys.empty()) return check;
    const Pass asGiven = Compare(track, given, measured, width, height);
    check.Frames = asGiven.Frames;
    check.Measured = asGiven.Measured;
    check.Worst = asGiven.Worst;
    check.Fits = asGiven.Measured > 0 && asGiven.Worst <= tolerance;
    if (check.Fits || asGiven.Measured == 0) return check;
    for (int variant = 1; variant < 16; ++variant) {
        TrackReading reading = given;
        if (variant & 1) reading.Units = given.Units == TrackUnits::Pixels ? TrackUnits::Normalized : TrackUnits::Pixels;
        if (variant & 2)
            reading.Origin = given.Origin == TrackOrigin::TopLeft ? TrackOrigin::BottomLeft : TrackOrigin::TopLeft;
        if (variant & 4) reading.Mirrored = !given.Mirrored;
        if (variant & 8) reading.AngleNegated = !given.AngleNegated;
        const Pass pass = Compare(track, reading, measured, width, height);
        if (pass.Worst > tolerance) continue;
        const bool better = !check.Fix || Changes(given, reading) < Changes(given, *check.Fix) ||
                            (Changes(given, reading) == Changes(given, *check.Fix) && pass.Worst < check.FixWorst);
        if (better) {
            check.Fix = reading;
            check.FixWorst = pass.Worst;
        }
    }
    return check;
}

std::string DescribeFix(const TrackReading& given, const TrackReading& fix) {
    std::vector<std::string> parts;
    if (fix.Mirrored && !given.Mirrored)
        parts.push_back("it is a feature's track, not the camera's: the positions run the other way "
                        "(--track-kind feature mirrors them around the start frame's: x' = 2 x0 - x, y' = 2 y0 - y)");
    if (!fix.Mirrored && given.Mirrored)
        parts.push_back("it is the camera's track, not a feature's (--track-kind camera)");
    if (fix.Units != given.Units)
        parts.push_back(fix.Units == TrackUnits::Pixels
                            ? "the positions are pixels, not fractions of the frame (--track-units pixels)"
                            : "the positions are fractions of the frame, not pixels (--track-units normalized)");
    if (fix.Origin != given.Origin)
        parts.push_back(fix.Origin == TrackOrigin::TopLeft ? "the origin is top-left, y down (--track-origin top-left)"
                                                           : "the origin is bottom-left, y up (--track-origin bottom-left)");
    if (fix.AngleNegated != given.AngleNegated) parts.push_back("the angles turn the other way (negate them)");
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; and ") + part;
    return text;
}

}  // namespace tessellon
