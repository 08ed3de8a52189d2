#include "TrackUse.h"

#include <cmath>
#include <utility>

#include "HostApp.h"
#include "Sequence.h"
#include "Text.h"

namespace tessellon {

namespace {

// The track's value at `frame` as the tool's inputs give it, of positions
// and of angles.
struct StartValues {
    double X = 0.0, Y = 0.0, Angle = 0.0;
};

StartValues ValuesAt(const Track& track, double frame) {
    std::vector<HostApp::Key> positions, angles;
    for (const TrackKey& key : track.Keys) {
        positions.push_back(HostApp::Key{double(key.Frame), key.X, key.Y});
        angles.push_back(HostApp::Key{double(key.Frame), key.Angle, 0.0});
    }
    const HostApp::KeyedValue at = HostApp::ValueAt(positions, frame);
    return StartValues{at.X, at.Y, HostApp::ValueAt(angles, frame).X};
}


}  // namespace

TrackUse UseOf(const StitchSettings& settings, const Track& track) {
    TrackUse use;
    use.Units = settings.Units.value_or(track.Units.value_or(TrackUnits::Normalized));
    use.Origin = settings.Origin.value_or(track.Origin.value_or(TrackOrigin::BottomLeft));
    use.Kind = settings.Kind.value_or(track.Kind);
    return use;
}

void MirrorFeatureTrack(Track& track, double startFrame) {
    if (track.Keys.empty()) return;
    const StartValues start = ValuesAt(track, startFrame);
    for (TrackKey& key : track.Keys) {
        key.X = start.X + (start.X - key.X);
        key.Y = start.Y + (start.Y - key.Y);
        if (track.HasAngle) key.Angle = start.Angle + (start.Angle - key.Angle);
    }
}

void CheckFractions(const Track& track) {
    for (const TrackKey& key : track.Keys) {
        const double far = std::max(std::abs(key.X - 0.5), std::abs(key.Y - 0.5));
        if (far > FarOutsideFrames)
            throw BadFile(Location{track.Path, key.Line, 0},
                          "the position of frame " + std::to_string(key.Frame) + " (" + NumberText(key.X) + ", " +
                              NumberText(key.Y) + ") lies " + NumberText(std::round(far)) +
                              " frames outside the frame; positions are read as fractions of the frame: if "
                              "they are pixels, give --track-units pixels");
    }
}

std::string CanvasHint(const Track& track, const TrackUse& use) {
    if (use.Units == TrackUnits::Normalized) {
        for (const TrackKey& key : track.Keys)
            if (std::abs(key.X) >= 2.0 || std::abs(key.Y) >= 2.0)
                return "; positions are read as fractions of the frame: if they are pixels, give --track-units pixels";
    }
    return std::string("; check the track's units and kind (--track-units, --track-kind: read as ") +
           (use.Units == TrackUnits::Pixels ? "pixels" : "fractions") + ", " +
           (use.Kind == TrackKind::Feature ? "a feature" : "the camera") + ")";
}

std::vector<std::string> TrackWarnings(const std::optional<Track>& track, bool layered) {
    std::vector<std::string> warnings;
    if (!track) {
        if (layered) warnings.push_back("no --track: every frame lands in the same place");
        return warnings;
    }
    if (track->Keys.empty() && layered)
        warnings.push_back(Quoted(track->Path) + " has no keys: every frame lands in the same place");
    if (!track->Ignored.empty()) {
        std::string names;
        for (const std::string& name : track->Ignored) names += (names.empty() ? "" : ", ") + Quoted(name);
        warnings.push_back(Quoted(track->Path) + ": passed over " + names + " (not a frame, position or angle)");
    }
    for (const std::string& note : track->Notes) warnings.push_back(Quoted(track->Path) + ": " + note);
    return warnings;
}

}  // namespace tessellon
