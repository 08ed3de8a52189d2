#include "CheckCommand.h"

#include <algorithm>
#include <cstdio>

#include "AlignCommand.h"
#include "Messages.h"
#include "Sequence.h"
#include "System.h"
#include "TrackFile.h"

namespace tessellon {

namespace {

const char* UnitsName(TrackUnits units) { return units == TrackUnits::Pixels ? "pixels" : "normalized"; }
const char* OriginName(TrackOrigin origin) { return origin == TrackOrigin::TopLeft ? "top-left" : "bottom-left"; }

void PrintTable(const TrackCheck& check) {
    std::printf("%8s %8s | %10s %9s %8s | %10s %9s %8s | %9s\n", "frame", "against", "track dx", "dy", "angle",
                "pictures", "dy", "angle", "off (px)");
    for (const FrameCheck& f : check.Frames) {
        std::printf("%8d %8d | %10.3f %9.3f %8.3f |", f.Frame, f.Against, f.Track.ShiftX, f.Track.ShiftY,
                    f.Track.Angle);
        if (f.Pictures.Aligned)
            std::printf(" %10.3f %9.3f %8.3f | %9.3f\n", f.Pictures.ShiftX, f.Pictures.ShiftY, f.Pictures.Angle,
                        f.Disagreement);
        else
            std::printf(" not measured: %s\n", f.Pictures.Reason.c_str());
    }
}

int Verdict(const TrackCheck& check, const CheckSettings& settings) {
    const int frames = int(check.Frames.size());
    if (check.Measured == 0) {
        std::printf("tessellon check: no frame's motion could be measured from the pictures; nothing to compare\n");
        return ExitTrackDisagrees;
    }
    const auto worst = std::max_element(check.Frames.begin(), check.Frames.end(), [](const FrameCheck& a, const FrameCheck& b) {
        return (a.Pictures.Aligned ? a.Disagreement : -1.0) < (b.Pictures.Aligned ? b.Disagreement : -1.0);
    });
    if (check.Fits) {
        std::printf("tessellon check: the track fits the pictures: at most %.3f px apart (tolerance %g px), "
                    "%d of %d frames measured\n",
                    check.Worst, settings.Tolerance, check.Measured, frames);
        return ExitWritten;
    }
    std::printf("tessellon check: the track does not fit the pictures: frame %d is %.2f px off against frame %d "
                "(tolerance %g px)\n",
                worst->Frame, worst->Disagreement, worst->Against, settings.Tolerance);
    if (check.Fix)
        std::printf("tessellon check: it fits (at most %.3f px apart) when %s\n", check.FixWorst,
                    DescribeFix(settings.Reading, *check.Fix).c_str());
    else
        std::printf("tessellon check: none of the usual mistakes (a feature's track, pixels against fractions, the "
                    "origin, the angle's sign) explains it\n");
    return ExitTrackDisagrees;
}

}  // namespace

int RunCheck(const CheckSettings& settings) {
    StepLine line(StandardErrorIsTerminal());
    const Track track = ReadTrackFile(settings.TrackPath);
    const FrameSequence sequence = ParseFramePattern(settings.Frames);
    const std::vector<int> found = FindFrames(sequence);
    std::vector<int> frames;
    for (const int f : found)
        if (f >= track.Keys.front().Frame && f <= track.Keys.back().Frame) frames.push_back(f);
    if (frames.size() < 2)
        BadInput("the track " + Quoted(settings.TrackPath) + " covers frames " +
                 FrameRangeText(track.Keys.front().Frame, track.Keys.back().Frame) + ", of which " +
                 std::to_string(frames.size()) + " have a file under " + Quoted(settings.Frames) +
                 "; two are needed");
    const std::vector<AlignFrame> greys =
        ReadGreyFrames(sequence, frames, settings.Limits, settings.Threads, line.Counter("reading frames"));
    AlignSettings align;
    align.Model = settings.Model;
    align.Threads = settings.Threads;
    align.Progress = line.Counter("measuring frames");
    const std::vector<FramePose> measured = RelateNeighbours(greys, align);
    line.Clear();

    const int width = greys.front().Grey.cols, height = greys.front().Grey.rows;
    const TrackCheck check = CheckTrack(track, settings.Reading, measured, width, height, settings.Tolerance);
    std::printf("tessellon check: %s against %s (%s, %s), %zu frames of %d x %d; motion of each frame against the "
                "one before, pixels and degrees\n",
                settings.Frames.c_str(), settings.TrackPath.c_str(), UnitsName(settings.Reading.Units),
                OriginName(settings.Reading.Origin), frames.size(), width, height);
    PrintTable(check);
    const int status = Verdict(check, settings);
    std::fflush(stdout);
    return status;
}

}  // namespace tessellon
