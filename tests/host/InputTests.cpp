// Inputs: declared types, keys, defaults, fetches; requests and renders.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "HostTestSupport.h"

namespace {

// An operator with one input of each kind, declared the way tools do.
struct TestOperator : ThreadedOperator {
    TestOperator() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {
        Frame = AddInput(HostID("Start frame", true), HostID("StartFrame", true),
                         TagList{Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_SliderControl),
                                 Tag<INP_Default>(4.0)});
        Plain = AddInput(HostID("Plain", true), HostID("Plain", true), TagList{Tag<LINK_DataType>(ID_Number)});
        Track = AddInput(HostID("Steady position", true), HostID("TrackData", true),
                         TagList{Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)});
        Picture = AddInput(HostID("Input", true), HostID("Input", true), TagList{Tag<LINK_DataType>(ID_Image)});
        Out = AddOutput(HostID("Output", true), HostID("Output", true), TagList{Tag<LINK_DataType>(ID_Image)});
        About = AddInput(HostID("About", true), HostID("About", true), TagList{Tag<INP_Control>(ID_ButtonControl)});
    }
    void Process(Request* request) override {
        if (OnProcess)
            OnProcess(request);
    }
    std::function<void(Request*)> OnProcess;
    Input *Frame, *Plain, *Track, *Picture, *About;
    Output* Out;
};

double NumberOf(Parameter* p) { return static_cast<Number*>(p)->Value; }

}  // namespace

using InputTest = HostTest;

TEST_F(InputTest, DeclarationsKeepOrderTypesAndTags) {
    TestOperator op;
    const struct { const char* id; const char* name; bool output; LinkType type; } expected[] = {
        {"StartFrame", "Start frame", false, LinkType::Number}, {"Plain", "Plain", false, LinkType::Number},
        {"TrackData", "Steady position", false, LinkType::Point}, {"Input", "Input", false, LinkType::Image},
        {"Output", "Output", true, LinkType::Image},           {"About", "About", false, LinkType::Button},
    };
    ASSERT_EQ(op.Links().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Link* link = op.Links()[i];
        EXPECT_STREQ(link->ID().Text(), expected[i].id);
        EXPECT_STREQ(link->Name().Text(), expected[i].name);
        EXPECT_EQ(link->IsOutput(), expected[i].output);
        EXPECT_EQ(link->Type(), expected[i].type) << expected[i].id;
        EXPECT_EQ(link->Owner(), &op);
    }
    EXPECT_EQ(op.Frame->Tags().GetID(INP_Control), ID_SliderControl);
    EXPECT_EQ(op.Frame->Tags().GetDouble(INP_Default), 4.0);
    EXPECT_EQ(op.FindInput("TrackData"), op.Track);
    EXPECT_EQ(op.FindInput("Output"), nullptr) << "an output is not an input";
    EXPECT_EQ(op.FindOutput("Output"), op.Out);
    EXPECT_EQ(op.FindOutput("Input"), nullptr);
    EXPECT_EQ(op.FindInput("Nothing"), nullptr);
    EXPECT_EQ(op.FindInput(nullptr), nullptr);
    EXPECT_EQ(op.ImageContext, static_cast<void*>(&op));
}

TEST_F(InputTest, NumberKeysInterpolateAndHold) {
    TestOperator op;
    const struct { const char* name; std::vector<std::pair<double, double>> keys; double time; double value; } cases[] = {
        {"declared default", {}, 12.0, 4.0},
        {"one key held before", {{5, 2.0}}, -100.0, 2.0},
        {"one key held after", {{5, 2.0}}, 100.0, 2.0},
        {"before the first key", {{0, 10.0}, {10, 20.0}}, -3.0, 10.0},
        {"on the first key", {{0, 10.0}, {10, 20.0}}, 0.0, 10.0},
        {"between", {{0, 10.0}, {10, 20.0}}, 2.5, 12.5},
        {"on the last key", {{0, 10.0}, {10, 20.0}}, 10.0, 20.0},
        {"after the last key", {{0, 10.0}, {10, 20.0}}, 11.0, 20.0},
        {"keys given out of order", {{10, 20.0}, {0, 10.0}, {20, 0.0}}, 15.0, 10.0},
        {"a key set twice keeps the last", {{0, 1.0}, {4, 2.0}, {4, 6.0}}, 2.0, 3.5},
        {"NaN time reads the first key", {{0, 1.0}, {4, 2.0}}, std::numeric_limits<double>::quiet_NaN(), 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        op.Frame->ClearKeys();
        for (auto [t, v] : c.keys)
            op.Frame->SetKey(t, v);
        EXPECT_DOUBLE_EQ(op.Frame->NumberAt(c.time), c.value);
        Held<Parameter> fetched(op.Frame->GetSource(c.time));
        ASSERT_TRUE(fetched);
        EXPECT_EQ(fetched->Kind(), ParamKind::Number);
        EXPECT_DOUBLE_EQ(NumberOf(fetched.Get()), c.value);
    }
    // On a key its own value, even beside a key that is not finite.
    const double inf = std::numeric_limits<double>::infinity();
    op.Frame->ClearKeys();
    op.Frame->SetKey(0, 1.0);
    op.Frame->SetKey(4, inf);
    op.Frame->SetKey(8, 2.0);
    EXPECT_EQ(op.Frame->NumberAt(0.0), 1.0);
    EXPECT_EQ(op.Frame->NumberAt(4.0), inf);
    EXPECT_EQ(op.Frame->NumberAt(8.0), 2.0);
    EXPECT_EQ(op.Plain->NumberAt(3.0), 0.0) << "no declared default: 0";
    op.Frame->SetKey(0, 1.0);
    op.Frame->SetValue(9.0);
    EXPECT_EQ(op.Frame->NumberAt(0.0), 9.0) << "SetValue replaces the keys";
    EXPECT_THROW(op.Frame->SetKey(std::numeric_limits<double>::infinity(), 1.0), std::invalid_argument);
}

TEST_F(InputTest, PointKeysInterpolateBothCoordinates) {
    TestOperator op;
    double x = 0, y = 0;
    op.Track->PointAt(7.0, x, y);
    EXPECT_EQ(x, 0.5);
    EXPECT_EQ(y, 0.5);
    op.Track->SetKey(10, 0.25, 0.75);
    op.Track->SetKey(20, 0.75, 0.25);
    const struct { double t, x, y; } cases[] = {{0, 0.25, 0.75}, {10, 0.25, 0.75}, {12.5, 0.375, 0.625},
                                                {20, 0.75, 0.25}, {99, 0.75, 0.25}};
    for (const auto& c : cases) {
        Held<Parameter> p(op.Track->GetSourceAttrs(c.t, nullptr, REQF_SourceValue, REQF_SourceValue));
        ASSERT_TRUE(p);
        ASSERT_EQ(p->Kind(), ParamKind::Point);
        EXPECT_DOUBLE_EQ(static_cast<Point*>(p.Get())->X, c.x) << c.t;
        EXPECT_DOUBLE_EQ(static_cast<Point*>(p.Get())->Y, c.y) << c.t;
    }
    op.Track->SetValue(0.1, 0.2);
    op.Track->PointAt(15, x, y);
    EXPECT_EQ(x, 0.1);
    EXPECT_EQ(y, 0.2);
}

TEST_F(InputTest, EachFetchIsANewObjectWithOneReference) {
    TestOperator op;
    Parameter* a = op.Frame->GetSource(1.0);
    Parameter* b = op.Frame->GetSourceAttrs(1.0, nullptr, REQF_SourceValue, REQF_SourceValue);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->References(), 1);
    EXPECT_EQ(b->References(), 1);
    EXPECT_EQ(HostApp::LiveObjects(ParamKind::Number), 2);
    a->Recycle();
    b->Recycle();
}

TEST_F(InputTest, ButtonDeliversItsValue) {
    TestOperator op;
    Held<Parameter> unpressed(op.About->GetSource(0.0));
    ASSERT_TRUE(unpressed);
    EXPECT_EQ(NumberOf(unpressed.Get()), 0.0);
    op.About->SetValue(1.0);
    Held<Parameter> pressed(op.About->GetSource(0.0));
    EXPECT_EQ(NumberOf(pressed.Get()), 1.0);
}

TEST_F(InputTest, ImageInputDeliversWhatItsSourceGives) {
    TestOperator op;
    EXPECT_EQ(op.Picture->GetSource(3.0), nullptr) << "nothing connected";
    op.Picture->SetImageSource([](double time) -> Image* {
        if (time == 2.0)
            return nullptr;   // a gap in the sequence
        return MakeImage(int32_t(time) + 1, 2);
    });
    Held<Parameter> frame(op.Picture->GetSource(4.0));
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->Kind(), ParamKind::Image);
    EXPECT_EQ(static_cast<Image*>(frame.Get())->Width, 5);
    EXPECT_EQ(op.Picture->GetSourceAttrs(2.0, nullptr, REQF_SourceValue, REQF_SourceValue), nullptr);
}

TEST_F(InputTest, FetchLogRecordsInputAndTimeWhenOn) {
    TestOperator op;
    op.Picture->SetImageSource([](double) { return MakeImage(1, 1); });
    Held<Parameter> quiet(op.Frame->GetSource(1.0));
    EXPECT_TRUE(HostApp::FetchLog().empty()) << "logging is off by default";
    HostApp::SetFetchLogging(true);
    Held<Parameter> a(op.Picture->GetSource(10.0));
    Held<Parameter> b(op.Track->GetSourceAttrs(11.0, nullptr, REQF_SourceValue, REQF_SourceValue));
    Held<Parameter> c(op.Frame->GetSource(-2.0));
    const auto log = HostApp::FetchLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Input, "Input");
    EXPECT_EQ(log[0].Time, 10.0);
    EXPECT_EQ(log[1].Input, "TrackData");
    EXPECT_EQ(log[1].Time, 11.0);
    EXPECT_EQ(log[2].Input, "StartFrame");
    EXPECT_EQ(log[2].Time, -2.0);
    HostApp::ClearFetchLog();
    EXPECT_TRUE(HostApp::FetchLog().empty());
}

TEST_F(InputTest, RequestCarriesValuesAtItsTime) {
    TestOperator op;
    op.Frame->SetKey(0, 0.0);
    op.Frame->SetKey(10, 100.0);
    op.Track->SetKey(0, 0.0, 1.0);
    op.Track->SetKey(10, 1.0, 0.0);
    {
        Request request(&op, 3.0);
        EXPECT_EQ(request.Time(), 3.0);
        Parameter* frame = request.GetInputData(op.Frame, 0);
        ASSERT_NE(frame, nullptr);
        EXPECT_DOUBLE_EQ(NumberOf(frame), 30.0);
        EXPECT_EQ(request.GetInputData(op.Frame, 0), frame) << "the same object each time";
        auto* track = static_cast<Point*>(request.GetInputData(op.Track, 0));
        ASSERT_NE(track, nullptr);
        EXPECT_DOUBLE_EQ(track->X, 0.3);
        EXPECT_DOUBLE_EQ(track->Y, 0.7);
        EXPECT_EQ(request.GetInputData(op.Picture, 0), nullptr);
        EXPECT_EQ(request.GetInputData(op.About, 0), nullptr);
        EXPECT_EQ(request.GetInputData(op.Frame, 1), nullptr);
        EXPECT_EQ(HostApp::LiveObjects(), 3) << "two numbers and a point, owned by the request";
    }
    EXPECT_EQ(HostApp::LiveObjects(), 0);
}

TEST_F(InputTest, OutputDataPassesOwnership) {
    TestOperator op;
    TestOperator other;
    {
        Request request(&op, 0.0);
        EXPECT_EQ(request.TakeOutputData(op.Out), nullptr);
        Image* first = MakeImage(2, 2);
        Image* second = MakeImage(3, 3);
        EXPECT_TRUE(request.SetOutputData(op.Out, first));
        EXPECT_TRUE(request.SetOutputData(op.Out, second));   // replaces: first is given back
        EXPECT_EQ(HostApp::LiveObjects(ParamKind::Image), 1);
        EXPECT_FALSE(request.SetOutputData(other.Out, MakeImage(1, 1))) << "not this operator's output";
        EXPECT_EQ(HostApp::LiveObjects(ParamKind::Image), 1);
        Parameter* taken = request.TakeOutputData(op.Out);
        EXPECT_EQ(taken, second);
        EXPECT_EQ(request.TakeOutputData(op.Out), nullptr);
        taken->Recycle();
        EXPECT_TRUE(request.SetOutputData(op.Out, nullptr));
        EXPECT_TRUE(request.SetOutputData(op.Out, MakeImage(4, 4)));
    }
    EXPECT_EQ(HostApp::LiveObjects(), 0) << "the request gives back what is left";
}

TEST_F(InputTest, RenderRunsProcessAndCatchesWhatItThrows) {
    TestOperator op;
    op.Frame->SetValue(6.0);
    op.OnProcess = [&](Request* request) {
        const double frame = NumberOf(request->GetInputData(op.Frame, 0));
        request->SetOutputData(op.Out, MakeImage(int32_t(frame), 1));
    };
    HostApp::RenderResult ok = HostApp::Render(&op, op.Out, 1.0);
    EXPECT_FALSE(ok.Failed);
    ASSERT_NE(ok.Output, nullptr);
    EXPECT_EQ(static_cast<Image*>(ok.Output)->Width, 6);
    ok.Output->Recycle();

    const struct { const char* name; std::function<void()> fault; const char* error; } cases[] = {
        {"std exception", [] { throw std::runtime_error("tool failed"); }, "tool failed"},
        {"anything else", [] { throw 42; }, "unknown exception"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        op.OnProcess = [&](Request* request) {
            request->SetOutputData(op.Out, MakeImage(2, 2));
            c.fault();
        };
        HostApp::RenderResult failed = HostApp::Render(&op, op.Out, 1.0);
        EXPECT_TRUE(failed.Failed);
        EXPECT_EQ(failed.Error, c.error);
        EXPECT_EQ(failed.Output, nullptr);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
    op.OnProcess = nullptr;
    HostApp::RenderResult empty = HostApp::Render(&op, op.Out, 1.0);
    EXPECT_FALSE(empty.Failed);
    EXPECT_EQ(empty.Output, nullptr);
    EXPECT_TRUE(HostApp::Render(nullptr, nullptr, 0.0).Failed);
}

TEST_F(InputTest, KeyedValueNamesTheKeysItComesFrom) {
    const std::vector<HostApp::Key> keys{{1.0, 0.0, 10.0}, {3.0, 2.0, 30.0}, {7.0, 6.0, 70.0}};
    struct Case {
        double Time, X;
        size_t Before, After;
    };
    const Case cases[] = {
        {0.0, 0.0, 0, 0}, {NAN, 0.0, 0, 0}, {1.0, 0.0, 0, 0}, {2.0, 1.0, 0, 1},
        {3.0, 2.0, 1, 1}, {5.0, 4.0, 1, 2}, {7.0, 6.0, 2, 2}, {9.0, 6.0, 2, 2},
    };
    for (const Case& c : cases) {
        const HostApp::KeyedValue v = HostApp::ValueAt(keys, c.Time);
        EXPECT_EQ(v.X, c.X) << c.Time;
        EXPECT_EQ(v.Before, c.Before) << c.Time;
        EXPECT_EQ(v.After, c.After) << c.Time;
    }
}
