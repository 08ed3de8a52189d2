#include "StitchCheck.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Align.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "Text.h"
#include "TrackCheck.h"
#include "TrackFile.h"

namespace tessellon {

namespace {

// The pictures are measured about this wide: a pair then costs a few
// milliseconds, and the usual mistakes move frames by far more than the
// reduction blurs.
constexpr int MeasureWidth = 480;
// A pair that disagrees by more than this many pixels at the frame's
// corners, or half a reduced pixel, whichever is more, does not fit.
constexpr double TolerancePixels = 1.0;
// Fewer reduced rows than this are not enough to measure on.
constexpr int FewestRows = 16;

struct PairSlot {
    int A = 0, B = 0;
    std::string PathA, PathB;
    // Each frame's reduced rows, added on the thread that read them.
    std::unique_ptr<ReducedGrey> GreyA, GreyB;
    bool DoneA = false, DoneB = false, Related = false;
    FramePose Measured;
};

// Up to `most` disjoint pairs (f, f + 1) of `frames` (ascending) spread over
// them, both frames within [first, last].
std::vector<int> ChoosePairs(const std::vector<int>& frames, int first, int last, int most) {
    std::vector<int> starts;
    for (size_t k = 0; k + 1 < frames.size(); ++k)
        if (frames[k + 1] == frames[k] + 1 && frames[k] >= first && frames[k + 1] <= last) starts.push_back(frames[k]);
    std::vector<int> chosen;
    for (int i = 0; i < most && !starts.empty(); ++i) {
        const size_t at = most == 1 ? 0 : size_t(std::lround(double(i) * double(starts.size() - 1) / double(most - 1)));
        const int f = starts[at];
        if (std::none_of(chosen.begin(), chosen.end(), [f](int c) { return std::abs(c - f) < 2; })) chosen.push_back(f);
    }
    return chosen;
}

}  // namespace

struct StitchTrackCheck::State {
    Track Raw;
    TrackReading Given;
    std::string Frames, TrackPath;
    ImageLimits Limits;
    int Width = 0, Height = 0, Factor = 1, FirstRow = 0, EndRow = 0;
    double Tolerance = TolerancePixels;
    std::vector<PairSlot> Pairs;
    std::mutex Mutex;
    std::thread Reader;

    void Take(int frame, const Image& image);
    void ReadAll();
};

StitchTrackCheck::StitchTrackCheck(std::unique_ptr<State> state) : state_(std::move(state)) {}

StitchTrackCheck::~StitchTrackCheck() {
    if (state_->Reader.joinable()) state_->Reader.join();
}

std::unique_ptr<StitchTrackCheck> StitchTrackCheck::For(const StitchPlan& plan, const StitchSettings& settings,
                                                        bool bandTask) {
    if (!plan.TrackFile || plan.TrackFile->Keys.empty() || settings.TrackPath.empty() || plan.Frames.empty())
        return nullptr;
    auto state = std::make_unique<State>();
    State& s = *state;
    // The file as it was given, read as the stitch reads it: the check names
    // what to change from there.
    s.Raw = ReadTrackFile(settings.TrackPath, settings.TrackRead);
    if (s.Raw.Keys.empty()) return nullptr;
    s.Given.Units = plan.Use.Units;
    s.Given.Origin = plan.Use.Origin;
    if (plan.Use.Kind == TrackKind::Feature) {
        // The stitch mirrors a feature's positions and its angles.
        s.Given.Mirrored = true;
        for (TrackKey& key : s.Raw.Keys) key.Angle = -key.Angle;
    }
    s.Frames = settings.Frames;
    s.TrackPath = settings.TrackPath;
    s.Limits = settings.Limits.Frames;
    s.Width = plan.Start().Width;
    s.Height = plan.Start().Height;
    s.Factor = std::max(1, s.Width / MeasureWidth);
    s.Tolerance = std::max(TolerancePixels, 0.5 * s.Factor);
    s.FirstRow = 0;
    s.EndRow = s.Height;
    if (bandTask && s.Height / 3 / s.Factor >= FewestRows) {
        s.FirstRow = s.Height / 3;
        s.EndRow = 2 * s.Height / 3;
    }

    std::vector<int> frames;
    for (const PlannedFrame& f : plan.Frames)
        if (f.Info.Width == s.Width && f.Info.Height == s.Height) frames.push_back(f.Frame);
    const int first = std::max<int64_t>(s.Raw.Keys.front().Frame, plan.First);
    const int last = std::min<int64_t>(s.Raw.Keys.back().Frame, plan.Last);
    for (const int a : ChoosePairs(frames, first, last, MostPairs)) {
        PairSlot pair;
        pair.A = a;
        pair.B = a + 1;
        pair.PathA = FramePath(plan.Sequence, a);
        pair.PathB = FramePath(plan.Sequence, a + 1);
        pair.Measured.Frame = a + 1;
        pair.Measured.Reason = "not read";
        pair.GreyA = std::make_unique<ReducedGrey>(s.Width, s.Height, s.Factor, s.FirstRow, s.EndRow);
        pair.GreyB = std::make_unique<ReducedGrey>(s.Width, s.Height, s.Factor, s.FirstRow, s.EndRow);
        s.Pairs.push_back(std::move(pair));
    }
    if (s.Pairs.empty()) return nullptr;
    return std::unique_ptr<StitchTrackCheck>(new StitchTrackCheck(std::move(state)));
}

void StitchTrackCheck::State::Take(int frame, const Image& image) {
    const auto pair = std::find_if(Pairs.begin(), Pairs.end(), [frame](const PairSlot& p) { return p.A == frame || p.B == frame; });
    if (pair == Pairs.end() || image.Width != Width || image.Height != Height) return;
    // Only the thread reading this frame adds to its rows; a band's frame is
    // read again only after the band before has been read.
    const bool first = frame == pair->A;
    ReducedGrey& grey = first ? *pair->GreyA : *pair->GreyB;
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    grey.Add(image, {held.First, held.End});
    if (!grey.Done()) return;
    AlignFrame a, b;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        (first ? pair->DoneA : pair->DoneB) = true;
        if (!pair->DoneA || !pair->DoneB || pair->Related) return;
        pair->Related = true;
        a = {pair->A, pair->GreyA->Take()};
        b = {pair->B, pair->GreyB->Take()};
    }
    FramePose measured = RelatePair(a, b, AlignModel::Rigid, Factor, FirstRow, Width, Height);
    std::lock_guard<std::mutex> lock(Mutex);
    pair->Measured = std::move(measured);
}

void StitchTrackCheck::State::ReadAll() {
    const FrameRows rows{{FirstRow, EndRow}, {FirstRow, EndRow}};
    for (PairSlot& pair : Pairs) {
        for (const auto& [frame, path] : {std::pair{pair.A, pair.PathA}, std::pair{pair.B, pair.PathB}}) {
            try {
                HostRef<Image> image(ReadImageFile(path, Limits, nullptr, rows));
                if (image) Take(frame, *image);
            } catch (const std::exception&) {
                // The render says what is wrong with the file; the pair is not measured.
            }
        }
    }
}

void StitchTrackCheck::Look(int frame, const Image& image) {
    try {
        state_->Take(frame, image);
    } catch (const std::exception&) {
        // A pair that cannot be measured is left out of the check.
    }
}

void StitchTrackCheck::Start() {
    state_->Reader = std::thread([this] { state_->ReadAll(); });
}

std::string StitchTrackCheck::Warning() {
    State& s = *state_;
    if (s.Reader.joinable()) s.Reader.join();
    // The pairs one after the other; a pair's first frame is not measured
    // against the frame before it.
    std::vector<FramePose> measured;
    for (const PairSlot& pair : s.Pairs) {
        FramePose a;
        a.Frame = pair.A;
        a.Aligned = measured.empty();
        a.Reason = "the start of a pair";
        measured.push_back(a);
        measured.push_back(pair.Measured);
    }
    const TrackCheck check = CheckTrack(s.Raw, s.Given, measured, s.Width, s.Height, s.Tolerance);
    if (check.Measured == 0 || check.Fits) return {};
    const FrameCheck* worst = nullptr;
    for (const FrameCheck& f : check.Frames)
        if (f.Pictures.Aligned && (!worst || f.Disagreement > worst->Disagreement)) worst = &f;
    char figures[200];
    std::snprintf(figures, sizeof figures,
                  "frame %d lies %.1f px from where the pictures put it against frame %d (%d pair%s of neighbouring "
                  "frames measured, tolerance %g px)",
                  worst->Frame, worst->Disagreement, worst->Against, check.Measured, check.Measured == 1 ? "" : "s",
                  s.Tolerance);
    std::string text = "the track " + Quoted(s.TrackPath) + " does not line the frames up: " + figures + "; ";
    text += check.Fix ? "it does when " + DescribeFix(s.Given, *check.Fix)
                      : "none of the usual mistakes (a feature's track, pixels against fractions, the origin, the "
                        "angle's sign) explains it";
    std::string command = "tessellon check --frames " + Quoted(s.Frames) + " --track " + Quoted(s.TrackPath);
    if (s.Given.Units == TrackUnits::Pixels) command += " --track-units pixels";
    if (s.Given.Origin == TrackOrigin::TopLeft) command += " --track-origin top-left";
    return text + " (" + command + " measures every frame)";
}

}  // namespace tessellon
