// Reference counts, live counts and the guard against recycling dead objects.
#include <functional>

#include "HostTestSupport.h"

namespace {

struct KindCase {
    const char* name;
    ParamKind kind;
    std::function<Parameter*()> make;
};

std::vector<KindCase> KindCases() {
    return {
        {"Number", ParamKind::Number, [] { return Number::New(1.5); }},
        {"Point", ParamKind::Point, [] { return Point::New(0.25, 0.75); }},
        {"Image", ParamKind::Image, [] { return MakeImage(8, 4); }},
    };
}

}  // namespace

using ParameterTest = HostTest;

TEST_F(ParameterTest, ReferencesAndLiveCountsPerKind) {
    for (const KindCase& c : KindCases()) {
        SCOPED_TRACE(c.name);
        const int64_t before = HostApp::LiveObjects(c.kind);
        Parameter* p = c.make();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->Kind(), c.kind);
        EXPECT_EQ(p->References(), 1);
        EXPECT_EQ(HostApp::LiveObjects(c.kind), before + 1);
        EXPECT_EQ(HostApp::LiveObjects(), 1);

        p->Use();
        p->Use();
        EXPECT_EQ(p->References(), 3);
        p->Recycle();
        p->Recycle();
        EXPECT_EQ(p->References(), 1);
        EXPECT_EQ(HostApp::LiveObjects(c.kind), before + 1) << "alive while a reference is held";
        p->Recycle();
        EXPECT_EQ(HostApp::LiveObjects(c.kind), before);
    }
}

TEST_F(ParameterTest, ValuesOfNewObjects) {
    Held<Number> n(Number::New(-2.25));
    Held<Point> p(Point::New(0.125, 3.5));
    EXPECT_EQ(n->Value, -2.25);
    EXPECT_EQ(p->X, 0.125);
    EXPECT_EQ(p->Y, 3.5);
    EXPECT_EQ(HostApp::LiveObjects(ParamKind::Number), 1);
    EXPECT_EQ(HostApp::LiveObjects(ParamKind::Point), 1);
    EXPECT_EQ(HostApp::LiveObjects(ParamKind::Image), 0);
    EXPECT_EQ(HostApp::LiveObjects(static_cast<ParamKind>(7)), 0);
}

TEST_F(ParameterTest, ManyObjectsAcrossThreadsAllComeBack) {
    HostApp::SetWorkerCount(4);
    struct Op : ThreadedOperator {
        Op() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {}
        void ProcessChunk(Request*, int32_t chunk) override {
            for (int i = 0; i < 200; ++i) {
                Parameter* p = (i + chunk) % 2 ? static_cast<Parameter*>(Number::New(i)) : Point::New(i, chunk);
                p->Use();
                p->Recycle();
                p->Recycle();
            }
        }
    } op;
    op.DoMultiProcess(nullptr, 64);
    EXPECT_EQ(HostApp::LiveObjects(), 0);
}

using ParameterDeathTest = HostTest;

// Under the undefined-behaviour sanitizer the call on a dead object is
// stopped by the sanitizer's own check before the host's.
#if defined(__SANITIZE_ADDRESS__)
#  define DEAD_OBJECT(message) "(" message "|invalid vptr)"
#else
#  define DEAD_OBJECT(message) message
#endif

TEST_F(ParameterDeathTest, SecondRecycleStopsWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct { const char* name; std::function<Parameter*()> make; } cases[] = {
        {"Number", [] { return Number::New(1.0); }},
        {"Point", [] { return Point::New(0.5, 0.5); }},
        {"Image", [] { return MakeImage(2000, 1000); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(
            {
                Parameter* p = c.make();
                p->Recycle();
                p->Recycle();
            },
            DEAD_OBJECT("HostSystem: Recycle of an object that is not alive \\(0x"));
    }
    EXPECT_DEATH(
        {
            Parameter* p = Number::New(1.0);
            p->Recycle();
            p->Use();
        },
        DEAD_OBJECT("HostSystem: Use of an object that is not alive"));
}

TEST_F(ParameterDeathTest, RecycleOfADeadObjectIsCaughtEvenAfterNewObjectsWereMade) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The freed object's memory must not be handed to the next objects, or
    // the late Recycle would silently take a reference of one of them.
    EXPECT_DEATH(
        {
            Parameter* dead = Number::New(1.0);
            dead->Recycle();
            std::vector<Parameter*> fresh;
            for (int i = 0; i < 100; ++i)
                fresh.push_back(Number::New(i));
            dead->Recycle();
        },
        DEAD_OBJECT("not alive"));
}

TEST_F(ParameterTest, HostRefHoldsOneReferenceAndHandsItOn) {
    HostRef<Image> a(MakeImage(4, 4));
    ASSERT_TRUE(a);
    a->Use();   // a second reference, held by the test
    Image* raw = a.Get();
    HostRef<Image> b(std::move(a));
    EXPECT_FALSE(a) << "a moved holder is empty";
    EXPECT_EQ(raw->References(), 2) << "moving takes no reference and gives none back";
    b = HostRef<Image>(MakeImage(2, 2));
    EXPECT_EQ(raw->References(), 1) << "a holder assigned to gives back what it held";
    EXPECT_EQ(HostApp::LiveObjects(ParamKind::Image), 2);
    Image* handed = b.Release();
    b.Reset();
    EXPECT_EQ(handed->References(), 1) << "a released reference is the caller's";
    handed->Recycle();
    raw->Recycle();
    EXPECT_EQ(HostApp::LiveObjects(), 0);
}
