// Render requests through the host's render entry point: what is read at
// which frame, what comes out, and that every host object comes back.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include "ToolTestSupport.h"

namespace {

// Renders `op` and checks that the request left nothing behind: the job is
// empty at once, and when the output is given back (at the end of the
// scope) no more host objects are alive than before the request.
class Rendered {
public:
    Rendered(StitchOperator* op, double time) : live_(HostApp::LiveObjects()) {
        result_ = HostApp::Render(op, op->OutImage, time);
        EXPECT_TRUE(op->CurrentJob.Empty());
    }
    ~Rendered() {
        if (result_.Output)
            result_.Output->Recycle();
        EXPECT_EQ(HostApp::LiveObjects(), live_);
    }
    Rendered(const Rendered&) = delete;
    Rendered& operator=(const Rendered&) = delete;

    bool Failed() const { return result_.Failed; }
    const std::string& Error() const { return result_.Error; }
    Image* Output() const {
        Parameter* out = result_.Output;
        if (out && out->Kind() != ParamKind::Image) {
            ADD_FAILURE() << "the output is not an image";
            return nullptr;
        }
        return static_cast<Image*>(out);
    }

private:
    int64_t live_;
    HostApp::RenderResult result_;
};

// The times at which the image input was fetched.
std::vector<double> ImageFetches() {
    std::vector<double> times;
    for (const HostApp::Fetch& f : HostApp::FetchLog())
        if (f.Input == "Input")
            times.push_back(f.Time);
    return times;
}

Image* Plain(int32_t w, int32_t h, Rgba colour) {
    return MakeImage(w, h, [=](int32_t, int32_t) { return colour; });
}

// A frame whose pixels say where they are and which frame they belong to.
Image* Patterned(int32_t w, int32_t h, int frame) {
    return MakeImage(w, h, [=](int32_t x, int32_t y) {
        return Rgba{float(x) / float(w), float(y) / float(h), float(frame) / 8.0f, 1.0f};
    });
}

void SetRange(StitchOperator* op, double start, double end, double filter = 0.0) {
    op->InStartFrame->SetValue(start);
    op->InEndFrame->SetValue(end);
    op->InFilterMethod->SetValue(filter);
}

}  // namespace

TEST_F(ToolTest, EqualFramesPassTheStartImageThrough) {
    Shot shot;
    for (int f = 3; f <= 7; ++f)
        shot.Add(f, Patterned(6, 4, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    SetRange(op, 5.0, 5.0);
    int progress = 0;
    HostApp::SetProgressHandler([&](Operator*, float) { ++progress; });
    HostApp::SetFetchLogging(true);

    for (double time : {0.0, 5.0, 50.0}) {
        SCOPED_TRACE(time);
        HostApp::ClearFetchLog();
        Rendered r(op, time);
        EXPECT_EQ(r.Output(), shot.At(5));
        const std::vector<HostApp::Fetch> log = HostApp::FetchLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].Input, "Input");
        EXPECT_EQ(log[0].Time, 5.0);
        EXPECT_EQ(log[1].Input, "TrackData");
        EXPECT_EQ(log[1].Time, 5.0);
    }
    EXPECT_EQ(progress, 0);
}

TEST_F(ToolTest, FrameValuesTruncateTowardZero) {
    Shot shot;
    for (int f = -3; f <= 7; ++f)
        shot.Add(f, Patterned(4, 4, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    HostApp::SetFetchLogging(true);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double top = 2147483647.0, bottom = -2147483648.0;
    struct Case {
        double start, end;
        std::vector<double> fetches;   // of the image input, in order
        bool output;
    };
    const Case cases[] = {
        {3.9, 6.2, {3, 3, 4, 5, 6}, true},
        {-2.7, -0.5, {-2, -2, -1, 0}, true},
        {-0.9, 1.99, {0, 0, 1}, true},
        // Values no frame number can hold read as the nearest that can, and
        // NaN as frame 0, instead of converting to nothing defined.
        {nan, 2.0, {0, 0, 1, 2}, true},
        {1e12, 1e12, {top}, false},
        {-inf, -inf, {bottom}, false},
        {inf, -inf, {top}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end);
        SetRange(op, c.start, c.end);
        HostApp::ClearFetchLog();
        Rendered r(op, 0.0);
        EXPECT_FALSE(r.Failed()) << r.Error();
        EXPECT_EQ(ImageFetches(), c.fetches);
        EXPECT_EQ(r.Output() != nullptr, c.output);
    }
}

TEST_F(ToolTest, NoStartImageGivesNoOutput) {
    Shot shot;
    for (int f = 4; f <= 8; ++f)
        shot.Add(f, Patterned(4, 4, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    SetRange(op, 3.0, 8.0);
    HostApp::SetFetchLogging(true);
    Rendered r(op, 6.0);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.Output(), nullptr);
    EXPECT_EQ(ImageFetches(), std::vector<double>{3.0});
}

TEST_F(ToolTest, StartAfterEndGivesATransparentCanvasOfTheStartImage) {
    Shot shot;
    shot.Add(20, Patterned(8, 6, 20));
    for (int f = 10; f < 20; ++f)
        shot.Add(f, Patterned(5, 5, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    HostApp::SetFetchLogging(true);

    for (double filter : {0.0, 1.0}) {
        SCOPED_TRACE(filter);
        SetRange(op, 20.0, 10.0, filter);
        HostApp::ClearFetchLog();
        Rendered r(op, 15.0);
        Image* out = r.Output();
        ASSERT_NE(out, nullptr);
        EXPECT_NE(out, shot.At(20));
        EXPECT_EQ(out->Width, 8);
        EXPECT_EQ(out->Height, 6);
        EXPECT_EQ(Pixels(out), std::vector<float>(8 * 6 * 4, 0.0f));
        EXPECT_EQ(ImageFetches(), std::vector<double>{20.0});
    }
}

TEST_F(ToolTest, EveryFrameOfTheTimelineGetsTheSameImage) {
    Shot shot;
    for (int f = 0; f <= 4; ++f)
        shot.Add(f, Patterned(12, 10, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    op->InTrackData->SetKey(0.0, 0.5, 0.5);
    op->InTrackData->SetKey(4.0, 0.7, 0.4);
    op->InAngle->SetKey(0.0, 0.0);
    op->InAngle->SetKey(4.0, 20.0);

    for (double filter : {0.0, 1.0}) {
        SCOPED_TRACE(filter);
        SetRange(op, 0.0, 4.0, filter);
        Rendered at50(op, 50.0), at80(op, 80.0), at2(op, 2.0);
        ASSERT_NE(at50.Output(), nullptr);
        ASSERT_NE(at80.Output(), nullptr);
        ASSERT_NE(at2.Output(), nullptr);
        EXPECT_NE(at50.Output(), at80.Output());
        EXPECT_EQ(at50.Output()->Width, at80.Output()->Width);
        EXPECT_EQ(at50.Output()->Height, at80.Output()->Height);
        EXPECT_EQ(Pixels(at50.Output()), Pixels(at80.Output()));
        EXPECT_EQ(Pixels(at50.Output()), Pixels(at2.Output()));
    }
}

TEST_F(ToolTest, FilterMethodPicksFirstOpaqueOrMedian) {
    // Three frames in place. Column 0 of the first frame is not opaque, so
    // there only the other two count.
    Shot shot;
    shot.Add(0, MakeImage(3, 2, [](int32_t x, int32_t) { return Rgba{0.1f, 0.2f, 0.3f, x == 0 ? 0.5f : 1.0f}; }));
    shot.Add(1, Plain(3, 2, Rgba{0.9f, 0.8f, 0.7f, 1.0f}));
    shot.Add(2, Plain(3, 2, Rgba{0.5f, 0.5f, 0.5f, 1.0f}));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);

    struct Case {
        double filter;
        Rgba column0, others;
    };
    const Case cases[] = {
        {0.0, {0.9f, 0.8f, 0.7f, 1.0f}, {0.1f, 0.2f, 0.3f, 1.0f}},
        {1.0, {0.9f, 0.8f, 0.7f, 1.0f}, {0.5f, 0.5f, 0.5f, 1.0f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        SetRange(op, 0.0, 2.0, c.filter);
        Rendered r(op, 1.0);
        Image* out = r.Output();
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(out->Width, 3);
        ASSERT_EQ(out->Height, 2);
        const std::vector<float> pixels = Pixels(out);
        for (size_t i = 0; i < 6; ++i) {
            const Rgba want = i % 3 == 0 ? c.column0 : c.others;
            EXPECT_EQ(pixels[i * 4 + 0], want.r) << "pixel " << i;
            EXPECT_EQ(pixels[i * 4 + 1], want.g) << "pixel " << i;
            EXPECT_EQ(pixels[i * 4 + 2], want.b) << "pixel " << i;
            EXPECT_EQ(pixels[i * 4 + 3], want.a) << "pixel " << i;
        }
    }
}

TEST_F(ToolTest, CanvasFollowsTheTrackAndProgressGoesToTheHost) {
    Shot shot;
    for (int f = 0; f <= 2; ++f)
        shot.Add(f, Patterned(8, 8, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    op->InTrackData->SetKey(0.0, 0.5, 0.5);
    op->InTrackData->SetKey(1.0, 0.75, 0.5);
    op->InTrackData->SetKey(2.0, 0.25, 0.625);
    SetRange(op, 0.0, 2.0);

    std::vector<float> progress;
    HostApp::SetProgressHandler([&](Operator* from, float fraction) {
        EXPECT_EQ(from, op);
        // While the request runs, the instance holds its job.
        EXPECT_EQ(op->CurrentJob.StartImage, shot.At(0));
        ASSERT_NE(op->CurrentJob.ReferencePosition, nullptr);
        EXPECT_EQ(op->CurrentJob.ReferencePosition->X, 0.5);
        progress.push_back(fraction);
    });
    Rendered r(op, 9.0);
    ASSERT_NE(r.Output(), nullptr);
    // Reaches of 0.25 to both sides in x and 0.125 upward in y.
    EXPECT_EQ(r.Output()->Width, 12);
    EXPECT_EQ(r.Output()->Height, 9);
    EXPECT_EQ(progress, (std::vector<float>{0.0f, 0.5f, 1.0f, 0.0f, 1.0f / 3.0f, 2.0f / 3.0f}));
}

TEST_F(ToolTest, CanvasTheHostCannotMakeGivesNoOutput) {
    struct Case {
        const char* name;
        double x, y;   // "TrackData" at frame 1
        double startX, startY;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"wider than 32 bits", 1e9, 0.5, 0.5, 0.5},
        {"wider than the host's largest side", 2e5, 0.5, 0.5, 0.5},
        {"no finite reference position", 0.5, 0.5, nan, nan},
    };
    Shot shot;
    for (int f = 0; f <= 2; ++f)
        shot.Add(f, Patterned(8, 8, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    SetRange(op, 0.0, 2.0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        op->InTrackData->ClearKeys();
        op->InTrackData->SetKey(0.0, c.startX, c.startY);
        op->InTrackData->SetKey(1.0, c.x, c.y);
        op->InTrackData->SetKey(2.0, c.startX, c.startY);
        Rendered r(op, 0.0);
        EXPECT_FALSE(r.Failed()) << r.Error();
        EXPECT_EQ(r.Output(), nullptr);
    }
}

TEST_F(ToolTest, AFailureMidRequestGivesEverythingBack) {
    Shot shot;
    for (int f = 0; f <= 2; ++f)
        shot.Add(f, Patterned(8, 8, f));
    StitchOperator* op = Create();
    shot.Serve(op->InImage);
    op->InTrackData->SetKey(0.0, 0.5, 0.5);
    op->InTrackData->SetKey(2.0, 0.625, 0.5);
    SetRange(op, 0.0, 2.0, 1.0);

    // Progress reports 1 to 3 come while gathering, 4 to 6 while placing,
    // when the canvas and the layers exist.
    for (int failAt : {1, 3, 4, 6}) {
        SCOPED_TRACE(failAt);
        int calls = 0;
        HostApp::SetProgressHandler([&](Operator*, float) {
            if (++calls == failAt)
                throw std::runtime_error("stopped");
        });
        Rendered r(op, 0.0);
        EXPECT_TRUE(r.Failed());
        EXPECT_EQ(r.Error(), "stopped");
    }
    HostApp::SetProgressHandler(nullptr);
    Rendered after(op, 0.0);
    ASSERT_NE(after.Output(), nullptr);
    EXPECT_EQ(after.Output()->Width, 9);
}

TEST_F(ToolTest, TwoInstancesRenderingAtOnceGiveWhatEachGivesAlone) {
    Shot shotA, shotB;
    for (int f = 0; f <= 6; ++f) {
        shotA.Add(f, Patterned(40, 30, f));
        shotB.Add(f, MakeImage(24, 36, [f](int32_t x, int32_t y) {
            return Rgba{float((x * 7 + f) % 11) / 11.0f, float(y % 5) / 5.0f, 0.25f, 1.0f};
        }));
    }
    StitchOperator* a = Create();
    StitchOperator* b = Create();
    shotA.Serve(a->InImage);
    shotB.Serve(b->InImage);
    SetRange(a, 0.0, 6.0, 1.0);
    SetRange(b, 1.0, 6.0, 0.0);
    a->InTrackData->SetKey(0.0, 0.5, 0.5);
    a->InTrackData->SetKey(6.0, 0.8, 0.3);
    a->InAngle->SetKey(6.0, 15.0);
    b->InTrackData->SetKey(1.0, 0.5, 0.5);
    b->InTrackData->SetKey(6.0, 0.1, 0.9);

    const auto render = [](StitchOperator* op) {
        HostApp::RenderResult result = HostApp::Render(op, op->OutImage, 3.0);
        std::vector<float> pixels;
        if (result.Output) {
            pixels = Pixels(static_cast<Image*>(result.Output));
            result.Output->Recycle();
        }
        return pixels;
    };
    const int64_t live = HostApp::LiveObjects();
    const std::vector<float> aloneA = render(a);
    const std::vector<float> aloneB = render(b);
    ASSERT_FALSE(aloneA.empty());
    ASSERT_FALSE(aloneB.empty());

    constexpr int rounds = 4;
    std::vector<std::vector<float>> togetherA(rounds), togetherB(rounds);
    std::thread ta([&] {
        for (auto& out : togetherA)
            out = render(a);
    });
    std::thread tb([&] {
        for (auto& out : togetherB)
            out = render(b);
    });
    ta.join();
    tb.join();
    for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(togetherA[i], aloneA) << "round " << i;
        EXPECT_EQ(togetherB[i], aloneB) << "round " << i;
    }
    EXPECT_EQ(HostApp::LiveObjects(), live);
    EXPECT_TRUE(a->CurrentJob.Empty());
    EXPECT_TRUE(b->CurrentJob.Empty());
}
