// The plan of a stitch, from made-up headers and tracks: no file, no pixel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Bands.h"
#include "StitchPlan.h"

using namespace tessellon;

namespace {

constexpr uint64_t Gigabytes = uint64_t(1) << 30;

ImageFileInfo FloatFrame(int w, int h) { return ImageFileInfo{w, h, 4, Format_Float, uint64_t(w) * h * 16}; }

// Frames `first`..`last` of a 100 x 50 float sequence, all readable but
// those listed as bad.
StitchInputs Inputs(int first, int last, std::vector<int> bad = {}) {
    StitchInputs inputs;
    inputs.Sequence = ParseFramePattern("shot/f.%04d.exr");
    for (int f = first; f <= last; ++f) {
        inputs.Found.push_back(f);
        FrameHeader header{f, FramePath(inputs.Sequence, f), FloatFrame(100, 50), ""};
        if (std::find(bad.begin(), bad.end(), f) != bad.end()) {
            header.Info.reset();
            header.Error = header.Path + ": cannot read";
        }
        inputs.Headers.push_back(header);
    }
    return inputs;
}

// A track with key k on line k + 2, as under a comment and a header.
Track TrackOf(std::vector<TrackKey> keys) {
    Track track;
    track.Path = "track.csv";
    track.Keys = std::move(keys);
    for (size_t k = 0; k < track.Keys.size(); ++k) track.Keys[k].Line = int(k) + 2;
    return track;
}

StitchSettings Settings() {
    StitchSettings settings;
    settings.Frames = "shot/f.%04d.exr";
    settings.Outputs = {"out.exr"};
    return settings;
}

Error PlanError(const StitchSettings& settings, StitchInputs inputs) {
    try {
        PlanStitch(settings, std::move(inputs), 8 * Gigabytes, 16 * Gigabytes);
    } catch (const Error& e) {
        return e;
    }
    ADD_FAILURE() << "the plan was made";
    return Error(ErrorKind::BadInput, Location(), "");
}

}  // namespace

TEST(StitchPlan, RangeCanvasAndMemoryComeFromTheTrackAndHeaders) {
    StitchInputs inputs = Inputs(1, 6);
    inputs.Found.erase(inputs.Found.begin() + 2, inputs.Found.begin() + 4);   // frames 3 and 4 have no file
    inputs.Headers.erase(inputs.Headers.begin() + 2, inputs.Headers.begin() + 4);
    inputs.TrackFile = TrackOf({{2, 0.5, 0.5}, {6, 0.75, 0.25}});
    const StitchPlan plan = PlanStitch(Settings(), inputs, 8 * Gigabytes, 16 * Gigabytes);

    EXPECT_EQ(plan.StartFrame, 2) << "the track's keys give the range";
    EXPECT_EQ(plan.EndFrame, 6);
    EXPECT_EQ(plan.Missing, "3-4");
    EXPECT_EQ(plan.Frames.size(), 3u);
    // Frame 6 is a quarter frame right and down: 125 x 62.5, origin (0, 12.5).
    EXPECT_EQ(plan.Canvas.Width, 125);
    EXPECT_EQ(plan.Canvas.Height, 62);
    EXPECT_EQ(plan.Canvas.Origin.y, 12.5);
    EXPECT_EQ(plan.Memory.Frames, 3.0 * 100 * 50 * 16);
    EXPECT_GT(plan.Memory.Layers, 0.0);
    EXPECT_EQ(plan.Budget, uint64_t(16 * Gigabytes * 0.8));

    StitchSettings backwards = Settings();
    backwards.Start = 6;
    backwards.End = 2;
    const StitchPlan only = PlanStitch(backwards, Inputs(1, 6), 8 * Gigabytes, 16 * Gigabytes);
    EXPECT_EQ(only.Frames.size(), 1u) << "a backward range reads the start frame alone";
    EXPECT_FALSE(only.Layered);
    EXPECT_EQ(only.Memory.Layers, 0.0);
}

TEST(StitchPlan, CanvasBeyondTheLimitNamesTheKeyThatAskedForIt) {
    struct Case {
        const char* Name;
        std::vector<TrackKey> Keys;
        const char* Words;
    };
    const Case cases[] = {
        {"on a key", {{1, 0.5, 0.5}, {2, 0.5, 0.5}, {3, 50.0, 0.5}}, "track.csv:4: the position of frame 3 (50, 0.5)"},
        {"between keys, the farther one", {{1, 0.5, 0.5}, {5, 50.0, 0.5}},
         "track.csv:3: the position of frame 2 (12.875, 0.5), from the key of frame 5,"},
    };
    StitchSettings settings = Settings();
    settings.Limits.MaxCanvasSide = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StitchInputs inputs = Inputs(1, 5);
        inputs.TrackFile = TrackOf(c.Keys);
        const Error e = PlanError(settings, inputs);
        EXPECT_EQ(e.Kind(), ErrorKind::BadInput);
        EXPECT_NE(std::string(e.what()).find(c.Words), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("--max-canvas-size"), std::string::npos) << e.what();
    }
}

TEST(StitchPlan, UnreadableFramesAndTheBudgetRefuseBeforeAnyPixel) {
    const Error bad = PlanError(Settings(), Inputs(1, 4, {3}));
    EXPECT_EQ(bad.Kind(), ErrorKind::BadInput);
    EXPECT_NE(std::string(bad.what()).find("f.0003.exr: cannot read; --skip-bad-frames"), std::string::npos);

    StitchSettings skipping = Settings();
    skipping.SkipBadFrames = true;
    const StitchPlan plan = PlanStitch(skipping, Inputs(1, 4, {3}), 8 * Gigabytes, 0);
    ASSERT_EQ(plan.Skipped.size(), 1u);
    EXPECT_EQ(plan.Skipped[0].Frame, 3);
    EXPECT_EQ(plan.Budget, 8 * Gigabytes) << "a machine that does not say plans with 8 GiB";
    EXPECT_EQ(PlanError(skipping, Inputs(1, 4, {1})).Kind(), ErrorKind::NoImage) << "the start frame is unreadable";

    StitchSettings tight = Settings();
    tight.Limits.MaxMemory = 100000;
    const Error over = PlanError(tight, Inputs(1, 4));
    EXPECT_NE(std::string(over.what()).find("above the memory budget of 97.7 KiB"), std::string::npos) << over.what();
}

TEST(StitchPlan, FeatureTracksAreMirroredAroundTheStartFrame) {
    Track feature = TrackOf({{1, 0.25, 0.5, 0.0}, {2, 0.5, 0.5, 4.0}, {5, 0.75, 0.25, 10.0}});
    feature.HasAngle = true;
    feature.Kind = TrackKind::Feature;
    StitchSettings settings = Settings();
    settings.Start = 2;
    for (const bool asCamera : {false, true}) {
        SCOPED_TRACE(asCamera ? "camera forced" : "the file's own kind");
        if (asCamera) settings.Kind = TrackKind::Camera;
        StitchInputs inputs = Inputs(1, 5);
        inputs.TrackFile = feature;
        const StitchPlan plan = PlanStitch(settings, inputs, 8 * Gigabytes, 16 * Gigabytes);
        const TrackKey& start = plan.TrackFile->Keys[1];
        const TrackKey& last = plan.TrackFile->Keys[2];
        EXPECT_EQ(start.X, 0.5);
        EXPECT_EQ(start.Angle, 4.0);
        EXPECT_EQ(last.X, asCamera ? 0.75 : 0.25) << "the feature moved right: the camera moved left";
        EXPECT_EQ(last.Y, asCamera ? 0.25 : 0.75);
        EXPECT_EQ(last.Angle, asCamera ? 10.0 : -2.0);
    }
}

TEST(StitchPlan, ThePatternsFrameListLimitsTheRangeAlsoWithATrack) {
    StitchInputs inputs = Inputs(1, 9);
    inputs.Sequence.Listed = {3, 5, 7};
    inputs.TrackFile = TrackOf({{1, 0.5, 0.5}, {9, 0.75, 0.5}});
    const StitchPlan plan = PlanStitch(Settings(), inputs, 8 * Gigabytes, 16 * Gigabytes);
    EXPECT_EQ(plan.StartFrame, 3);
    EXPECT_EQ(plan.EndFrame, 7);
    EXPECT_EQ(plan.MissingCount, 0u) << "frames the list leaves out are not missing files";

    StitchInputs gaps = Inputs(1, 9);
    gaps.Sequence.Listed = {3, 5, 7};
    gaps.Found = {3, 7};
    EXPECT_EQ(PlanStitch(Settings(), gaps, 8 * Gigabytes, 16 * Gigabytes).Missing, "5");
    gaps.Found = {5, 7};
    const Error error = PlanError(Settings(), gaps);
    EXPECT_EQ(error.Kind(), ErrorKind::BadInput);
    EXPECT_NE(std::string(error.what()).find("frames with files: 5, 7"), std::string::npos) << error.what();
}

TEST(StitchPlan, APixelTrackFromFramesOfAnotherSizeIsTold) {
    for (const int sourceWidth : {100, 200}) {
        StitchInputs inputs = Inputs(1, 3);
        inputs.TrackFile = TrackOf({{1, 50, 25}, {3, 60, 25}});
        inputs.TrackFile->Units = TrackUnits::Pixels;
        inputs.TrackFile->SourceWidth = sourceWidth;
        inputs.TrackFile->SourceHeight = 50;
        const StitchPlan plan = PlanStitch(Settings(), inputs, 8 * Gigabytes, 16 * Gigabytes);
        const bool told = std::any_of(plan.Warnings.begin(), plan.Warnings.end(), [](const std::string& w) {
            return w.find("tracked on 200 x 50 frames, the start frame is 100 x 50") != std::string::npos;
        });
        EXPECT_EQ(told, sourceWidth == 200);
    }
}

// After Effects keyframe data of a layer with pixels twice as wide as tall:
// the tracker's positions are the layer's own pixels, read as they are; the
// layer's Transform Position is in the composition's pixels and comes to
// the layer's. Either way one warning line says what was done.
TEST(StitchPlan, AfterEffectsPixelAspectIsReadAsTheFormatMeansAndTold) {
    auto text = [](const char* source, const char* comp) {
        return std::string("Adobe After Effects 8.0 Keyframe Data\n\n\tUnits Per Second\t24\n\tSource Width\t100\n"
                           "\tSource Height\t50\n\tSource Pixel Aspect Ratio\t") +
               source + "\n\tComp Pixel Aspect Ratio\t" + comp +
               "\n\nMotion Trackers\tTracker #1\tTrack Point #1\tFeature Center\n\tFrame\tX pixels\tY pixels\t\n"
               "\t1\t50\t25\t\n\t3\t40\t25\t\n\nTransform\tPosition\n\tFrame\tX pixels\tY pixels\tZ pixels\t\n"
               "\t1\t50\t25\t0\t\n\t3\t60\t25\t0\t\n\nEnd of Keyframe Data\n";
    };
    struct Case {
        const char *Source, *Comp, *Track;
        double X;            // frame 3's, as read
        const char* Told;    // in the one warning, or nullptr for none
    } cases[] = {
        {"1", "1", "Tracker #1/Track Point #1", 40, nullptr},
        {"1", "1", "Transform", 60, nullptr},
        {"2", "1", "Tracker #1/Track Point #1", 40, "Source Pixel Aspect Ratio 2: the tracker's X positions are the layer's own pixels"},
        {"2", "1", "Transform", 30, "(Comp Pixel Aspect Ratio 1), the frames in the layer's (Source Pixel Aspect Ratio 2): X multiplied by 0.5"},
        {"2", "2", "Transform", 60, "the composition's pixels are the frames' own"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Track) + " at " + c.Source + " / " + c.Comp);
        TrackReadOptions read;
        read.Name = c.Track;
        StitchInputs inputs = Inputs(1, 3);
        inputs.TrackFile = ParseTrack(text(c.Source, c.Comp), "ae.txt", read);
        EXPECT_EQ(inputs.TrackFile->Keys[1].X, c.X);
        const StitchPlan plan = PlanStitch(Settings(), inputs, 8 * Gigabytes, 16 * Gigabytes);
        const auto told = std::count_if(plan.Warnings.begin(), plan.Warnings.end(), [](const std::string& w) {
            return w.find("Pixel Aspect Ratio") != std::string::npos;
        });
        ASSERT_EQ(told, c.Told ? 1 : 0);
        if (c.Told) {
            EXPECT_TRUE(std::any_of(plan.Warnings.begin(), plan.Warnings.end(), [&](const std::string& w) {
                return w.rfind("'ae.txt': ", 0) == 0 && w.find(c.Told) != std::string::npos;
            })) << plan.Warnings.back();
        }
    }
}

// A render of about a gigabyte or more whose frames are all read by rows
// goes in bands where one pass would fit; not when told --one-pass, not when a
// frame is decoded whole, not when small.
TEST(StitchPlan, LargeRendersOfRowReadFramesGoInBandsForSpeed) {
    const auto plan = [](bool onePass, bool allRows, int w, uint64_t budget, int carried = 0, bool turning = false) {
        StitchInputs inputs = Inputs(1, 8);
        for (size_t i = 0; i < inputs.Headers.size(); ++i) {
            inputs.Headers[i].Info = FloatFrame(w, w / 2);
            inputs.Headers[i].Info->RowAccess = allRows || i != 3;
            inputs.Headers[i].Info->CarriedRows = i == 5 ? carried : 0;
        }
        inputs.TrackFile = TrackOf({{1, 0.5, 0.5}, {8, 1.5, 0.5, turning ? 2.0 : 0.0}});
        inputs.TrackFile->HasAngle = turning;
        StitchSettings settings = Settings();
        settings.OnePass = onePass;
        settings.Limits.MaxMemory = budget;
        return PlanStitch(settings, inputs, 8 * Gigabytes, 16 * Gigabytes);
    };
    const StitchPlan large = plan(false, true, 4000, 0);   // 8 frames of 4000 x 2000 float: 1 GiB
    ASSERT_GE(large.Memory.Total(), 4 * SpeedBandBytes);
    EXPECT_EQ(large.Bands, int(std::round(large.Memory.Total() / SpeedBandBytes)));
    EXPECT_TRUE(large.BandsForSpeed);
    EXPECT_NEAR(large.BandMemory, SpeedBandBytes, 0.25 * SpeedBandBytes);
    EXPECT_EQ(plan(true, true, 4000, 0).Bands, 1);
    EXPECT_EQ(plan(false, false, 4000, 0).Bands, 1);
    EXPECT_EQ(plan(false, true, 1000, 0).Bands, 1);
    // A frame of compressed chunks: fewer, larger bands, each holding the
    // rows its reads keep for the next band besides.
    const StitchPlan compressed = plan(false, true, 4000, 0, 36);
    EXPECT_EQ(compressed.Bands, 2);
    EXPECT_TRUE(compressed.BandsForSpeed);
    EXPECT_DOUBLE_EQ(PlanBand(compressed, 0, 2).Memory.Frames - PlanBand(large, 0, 2).Memory.Frames, 4000.0 * 16 * 36);
    EXPECT_DOUBLE_EQ(PlanBand(compressed, 1, 2).Memory.Frames, PlanBand(large, 1, 2).Memory.Frames);
    const StitchPlan larger = plan(false, true, 6325, 0, 36);
    EXPECT_EQ(larger.Bands, int(std::round(larger.Memory.Total() / LargeSpeedBandBytes)));
    EXPECT_GE(larger.Bands, 4);
    EXPECT_NEAR(larger.BandMemory, LargeSpeedBandBytes, 0.25 * LargeSpeedBandBytes);
    // Turned frames: larger bands too, as their turns read rows again.
    const StitchPlan turned = plan(false, true, 4000, 0, 0, true);
    ASSERT_TRUE(turned.Turning);
    EXPECT_EQ(turned.Bands, int(std::round(turned.Memory.Total() / LargeSpeedBandBytes)));
    // Too little for one pass: bands for the budget, said as such.
    const StitchPlan budgeted = plan(false, true, 4000, uint64_t(large.Memory.Total() / 2));
    EXPECT_GT(budgeted.Bands, 2);
    EXPECT_FALSE(budgeted.BandsForSpeed);
}
