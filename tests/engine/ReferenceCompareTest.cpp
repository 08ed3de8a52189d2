// The engine against the literal stitcher on random small shots: every
// canvas bit and every progress value must agree.
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "EngineHarness.h"
#include "ReferenceStitch.h"

namespace {

struct Shot {
    int32_t Start = 0, End = 0;
    float Filter = 0.0f;
};

class RandomShots {
public:
    // Wide shots have frames of hundreds of columns and few rows, so that
    // their canvas rows span many of the compositing's column tiles.
    explicit RandomShots(uint32_t seed, bool wide = false) : rng_(seed), wide_(wide) {}

    // Fills the harness with frames, positions and angles and returns the range.
    Shot Make(StitchHarness& host) {
        const int32_t formats[] = {Format_UInt8, Format_UInt16, Format_Half, Format_Float};
        const int32_t format = formats[Int(0, 3)];
        const int32_t w = wide_ ? Int(130, 400) : Int(2, 18), h = wide_ ? Int(1, 4) : Int(2, 18);
        Shot shot;
        shot.Start = Int(-3, 5);
        // Now and then a long shot, so that pixels have many layers to choose from.
        shot.End = Chance(0.1) ? shot.Start - Int(1, 3) : shot.Start + (Chance(0.15) ? Int(14, 40) : Int(1, 6));
        const float filters[] = {0.0f, 1.0f, 1.0f, 0.0f, 0.5f, 2.0f};
        shot.Filter = filters[Int(0, 5)];

        const double refX = Real(0.3, 0.7), refY = Real(0.3, 0.7);
        const bool turning = Chance(0.5);
        const double angles[] = {0, 5, 90, 180, 355, 370, -30, -400, 10};
        for (int32_t t = std::min(shot.Start, shot.End); t <= std::max(shot.Start, shot.End); ++t) {
            const bool start = t == shot.Start;
            if (start || !Chance(0.15)) {
                const bool resized = !start && Chance(0.4);
                const int32_t fw = resized ? std::max(1, w + Int(-4, 6)) : w;
                const int32_t fh = resized ? std::max(1, h + Int(-4, 6)) : h;
                host.Frames[t] = MakeImage(fw, fh, Chance(0.2) ? formats[Int(0, 3)] : format,
                                           [&](int32_t, int32_t) { return Pixel(); });
            }
            if (start) {
                host.SetPosition(t, refX, refY);
            } else if (Chance(0.05)) {
                host.SetPosition(t, std::numeric_limits<double>::quiet_NaN(), refY);
            } else {
                host.SetPosition(t, refX + Offset(w), refY + Offset(h));
            }
            host.SetAngle(t, turning ? (Chance(0.5) ? angles[Int(0, 8)] : Real(-720, 720)) : 0.0);
        }
        return shot;
    }

private:
    int32_t Int(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng_); }
    double Real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    // Half the offsets sit a hair off whole pixels, where the order of the
    // sums and the direction of truncation decide the landing pixel.
    double Offset(int32_t size) {
        if (Chance(0.5)) return Real(-0.7, 0.7);
        return double(Int(-size / 2, size / 2)) / double(size) + Real(-1e-13, 1e-13);
    }

    float Channel() {
        const double r = Real(0, 1);
        if (r < 0.015) return std::bit_cast<float>(0x7fa00000u);   // signalling: storing it may change it
        if (r < 0.03) return std::numeric_limits<float>::quiet_NaN();
        if (r < 0.05) return -0.0f;
        if (r < 0.06) return std::numeric_limits<float>::infinity();
        if (r < 0.15) return float(Int(0, 4)) * 0.25f;   // ties
        return float(Real(-0.5, 1.5));
    }
    Rgba Pixel() {
        const float alphas[] = {0.0f, 0.5f, 0.999f, 1.0001f, std::numeric_limits<float>::quiet_NaN(), 1.0f};
        // Wide shots are nearly all opaque, so that whole runs of pixels
        // have every layer opaque, as frames from a camera do.
        return Rgba{Channel(), Channel(), Channel(), Chance(wide_ ? 0.995 : 0.7) ? 1.0f : alphas[Int(0, 5)]};
    }

    std::mt19937 rng_;
    bool wide_;
};

std::vector<uint32_t> BitsOf(const std::vector<float>& values) {
    std::vector<uint32_t> bits;
    for (float value : values) bits.push_back(std::bit_cast<uint32_t>(value));
    return bits;
}

}  // namespace

// Stitches `shots` random shots with the engine and the literal stitcher
// and compares every canvas bit and progress value; `leaked` counts what a
// shot left alive.
void CompareOnRandomShots(std::unique_ptr<StitchHarness>& Host, const std::function<int64_t()>& leaked, uint32_t shots,
                          bool wide) {
    const uint32_t Shots = shots;
    int made = 0;
    for (uint32_t seed = 1; seed <= Shots; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << (wide ? ", wide" : ""));
        Host = std::make_unique<StitchHarness>();
        // Every other shot is placed row by row as it is combined, the
        // unturned layers read from their frames, as the tool does.
        Host->PlaceWhileCombining = seed % 2 == 0;
        HostApp::SetWorkerCount(int(seed % 3) + 1);
        const Shot shot = RandomShots(seed, wide).Make(*Host);

        StitchJob job;
        std::vector<float> progress;
        const bool prepared = Host->Prepare(job, shot.Start, shot.End, shot.Filter, &progress);
        if (prepared) Host->Composite(job);
        const ReferenceResult expected =
            ReferenceStitch(Host->Inputs(), shot.Start, shot.End, shot.Filter, Host->ImageContext);

        EXPECT_EQ(BitsOf(progress), BitsOf(expected.Progress));
        ASSERT_EQ(prepared, expected.Canvas != nullptr);
        if (prepared) {
            ++made;
            ASSERT_EQ(job.Canvas->Width, expected.Canvas->Width);
            ASSERT_EQ(job.Canvas->Height, expected.Canvas->Height);
            EXPECT_EQ(job.Canvas->Format, expected.Canvas->Format);
            const std::vector<float> got = AllPixels(job.Canvas), want = AllPixels(expected.Canvas);
            for (size_t i = 0; i < got.size(); i += 4) {
                if (std::memcmp(&got[i], &want[i], 4 * sizeof(float)) == 0) continue;
                const size_t pixel = i / 4;
                ADD_FAILURE() << "pixel (" << pixel % size_t(job.Canvas->Width) << ", "
                              << pixel / size_t(job.Canvas->Width) << ") engine " << got[i] << " " << got[i + 1]
                              << " " << got[i + 2] << " " << got[i + 3] << " reference " << want[i] << " "
                              << want[i + 1] << " " << want[i + 2] << " " << want[i + 3];
                break;
            }
            expected.Canvas->Recycle();
        }
        ReleaseJob(job);
        EXPECT_EQ(leaked(), 0);
        if (::testing::Test::HasFailure()) break;
    }
    HostApp::SetWorkerCount(0);
    EXPECT_GT(made, int(Shots) * 9 / 10);
}

TEST_F(EngineTest, MatchesTheLiteralStitcherOnRandomShots) {
    CompareOnRandomShots(Host, [this] { return Leaked(); }, 300, false);
}

TEST_F(EngineTest, MatchesTheLiteralStitcherOnWideRandomShots) {
    CompareOnRandomShots(Host, [this] { return Leaked(); }, 60, true);
}
