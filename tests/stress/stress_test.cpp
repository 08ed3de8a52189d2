// Many renders at once on the host's worker pool: eight tool instances, each
// stitching its own shot, must give exactly what each gives alone and with
// one worker; a render whose chunk runs out of memory must fail as a render
// and give back every reference it took.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"

// Allocations of at least this many bytes throw std::bad_alloc, as they do
// when memory runs out. Replacing the global operator new reaches the tool
// module too, which takes its memory from the same operator.
namespace {
std::atomic<size_t> failFrom{SIZE_MAX};
std::atomic<int> failedAllocations{0};
}  // namespace

// Every form that pairs with the plain operator delete is replaced, so that
// memory from any of them goes back the same way. The two that meet the C
// allocator are out of line: inlined, the compiler would take the free() of
// one for a mismatch with the operator new of the other.
[[gnu::noinline]] void* operator new(size_t size) {
    if (size >= failFrom.load(std::memory_order_relaxed)) {
        failedAllocations.fetch_add(1, std::memory_order_relaxed);
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& nothrow) noexcept { return operator new(size, nothrow); }
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { operator delete(memory); }
void operator delete[](void* memory) noexcept { operator delete(memory); }
void operator delete[](void* memory, size_t) noexcept { operator delete(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { operator delete(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { operator delete(memory); }

namespace {

// One shot: frames [First, Last] of Width x Height in a host format, moving
// by (StepX, StepY) of the frame and turning by StepAngle degrees per frame.
struct ShotSpec {
    int32_t Width, Height, Format;
    int First, Last;
    double StepX, StepY, StepAngle;
    int Method;   // "FilterMethod": 0 unique pixels, 1 median
    uint32_t Seed;
};

const ShotSpec kShots[8] = {
    {48, 32, Format_Float, 1, 6, 0.125, 0.0625, 0.0, 1, 11},
    {40, 40, Format_UInt8, 0, 5, -0.1, 0.05, 4.0, 0, 22},
    {64, 24, Format_Half, 3, 9, 0.03125, -0.125, -3.0, 1, 33},
    {33, 47, Format_UInt16, 10, 14, -0.2, -0.1, 0.0, 0, 44},
    {56, 36, Format_Float, -4, 3, 0.0625, 0.0, 7.5, 0, 55},
    {24, 64, Format_Float, 1, 12, 0.05, 0.04, 0.0, 1, 66},
    {72, 20, Format_UInt8, 5, 9, -0.07, 0.11, -12.0, 1, 77},
    {36, 30, Format_Half, 2, 8, 0.15, -0.05, 2.0, 0, 88},
};

uint32_t Hash(uint32_t v) {
    v ^= v >> 16;
    v *= 0x7feb352du;
    v ^= v >> 15;
    v *= 0x846ca68bu;
    return v ^ (v >> 16);
}

// A frame of the shot: noise over a gradient, a block that moves (so that
// the median has something to remove) and a few pixels that are not opaque.
Image* MakeFrame(const ShotSpec& spec, int frame) {
    Image* image = NewImage({Tag<IMG_Width>(spec.Width), Tag<IMG_Height>(spec.Height), Tag<IMG_Channel>(2),
                             Tag<IMG_Channel>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(3),
                             Tag<IMG_Format>(spec.Format)});
    if (!image) return nullptr;
    std::vector<float> row(size_t(spec.Width) * 4);
    for (int32_t y = 0; y < spec.Height; ++y) {
        for (int32_t x = 0; x < spec.Width; ++x) {
            const uint32_t h = Hash(spec.Seed * 7919u + uint32_t(frame) * 104729u + uint32_t(y * spec.Width + x));
            float* p = &row[size_t(x) * 4];
            for (int c = 0; c < 3; ++c) p[c] = float((h >> (8 * c)) & 0xff) / 255.0f * 0.5f + float(x + y) / 256.0f;
            p[3] = (h >> 24) < 8 ? 0.5f : 1.0f;
            if (x / 6 == frame % 5 && y / 6 == 1) p[0] = p[1] = p[2] = 1.0f;
        }
        image->WriteSpan(0, y, spec.Width, row.data());
    }
    return image;
}

// The frames of one shot, served to an image input; each fetch takes one reference.
class Shot {
public:
    explicit Shot(const ShotSpec& spec) : spec_(spec) {
        for (int f = spec.First; f <= spec.Last; ++f) frames_.push_back(MakeFrame(spec, f));
    }
    ~Shot() {
        for (Image* frame : frames_)
            if (frame) frame->Recycle();
    }
    Shot(const Shot&) = delete;
    Shot& operator=(const Shot&) = delete;

    Image* At(double time) const {
        const int frame = int(time);
        if (double(frame) != time || frame < spec_.First || frame > spec_.Last) return nullptr;
        Image* image = frames_[size_t(frame - spec_.First)];
        image->Use();
        return image;
    }
    const std::vector<Image*>& Frames() const { return frames_; }
    const ShotSpec& Spec() const { return spec_; }

private:
    ShotSpec spec_;
    std::vector<Image*> frames_;
};

// A rendered image as bits, so that NaN compares by payload too.
struct Result {
    bool Failed = false;
    std::string Error;
    int32_t Width = 0, Height = 0;
    std::vector<uint32_t> Bits;

    bool operator==(const Result& other) const = default;
};

class StressTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = LoadModule(TESSELLON_MODULE_PATH, &error);
        ASSERT_NE(module_, nullptr) << error;
        record_ = ClassRegistry.Find("Orvandel.Tessellon");
        ASSERT_NE(record_, nullptr);
        live_ = HostApp::LiveObjects();
    }
    void TearDown() override {
        failFrom.store(SIZE_MAX);
        HostApp::SetWorkerCount(0);
        for (Operator* op : ops_) delete op;
        ops_.clear();
        shots_.clear();
        EXPECT_EQ(HostApp::LiveObjects(), live_);
        if (module_) UnloadModule(module_);
    }

    // A tool instance set up for `shot`: its range, its track and its method.
    Operator* Instance(const Shot& shot) {
        const ShotSpec& s = shot.Spec();
        Operator* op = record_->Create(ScriptVal(), TagList());
        ops_.push_back(op);
        op->FindInput("FilterMethod")->SetValue(double(s.Method));
        op->FindInput("StartFrame")->SetValue(double(s.First));
        op->FindInput("EndFrame")->SetValue(double(s.Last));
        Input* position = op->FindInput("TrackData");
        Input* angle = op->FindInput("Angle");
        for (int f = s.First; f <= s.Last; ++f) {
            const int i = f - s.First;
            position->SetKey(double(f), 0.5 + s.StepX * i, 0.5 + s.StepY * i);
            angle->SetKey(double(f), s.StepAngle * i);
        }
        op->FindInput("Input")->SetImageSource([&shot](double time) { return shot.At(time); });
        return op;
    }

    const Shot& AddShot(const ShotSpec& spec) {
        shots_.push_back(std::make_unique<Shot>(spec));
        return *shots_.back();
    }

    static Result Render(Operator* op, double time) {
        HostApp::RenderResult rendered = HostApp::Render(op, op->FindOutput("Output"), time);
        Result result;
        result.Failed = rendered.Failed;
        result.Error = rendered.Error;
        if (rendered.Output && rendered.Output->Kind() == ParamKind::Image) {
            const Image* image = static_cast<const Image*>(rendered.Output);
            result.Width = image->Width;
            result.Height = image->Height;
            std::vector<float> row(size_t(image->Width) * 4);
            for (int32_t y = 0; y < image->Height; ++y) {
                image->ReadSpan(0, y, image->Width, row.data());
                const size_t at = result.Bits.size();
                result.Bits.resize(at + row.size());
                std::memcpy(&result.Bits[at], row.data(), row.size() * sizeof(float));
            }
        }
        if (rendered.Output) rendered.Output->Recycle();
        return result;
    }

    HostModule* module_ = nullptr;
    const Registry* record_ = nullptr;
    int64_t live_ = 0;
    std::vector<std::unique_ptr<Shot>> shots_;
    std::vector<Operator*> ops_;
};

TEST_F(StressTest, EightInstancesAtOnceGiveWhatEachGivesAloneAndWithOneWorker) {
    std::vector<Operator*> ops;
    for (const ShotSpec& spec : kShots) ops.push_back(Instance(AddShot(spec)));

    // Alone, on all cores; the time asked for does not matter.
    std::vector<Result> alone;
    for (size_t i = 0; i < ops.size(); ++i) {
        alone.push_back(Render(ops[i], double(kShots[i].First)));
        ASSERT_FALSE(alone.back().Failed) << alone.back().Error;
        ASSERT_GT(alone.back().Width, 0) << "shot " << i;
    }
    HostApp::SetWorkerCount(1);
    for (size_t i = 0; i < ops.size(); ++i) EXPECT_EQ(Render(ops[i], 100.0), alone[i]) << "shot " << i;

    // All at once, each from a thread of its own, with the pool at its
    // default, at fewer workers than renders, and at more workers than cores.
    constexpr int rounds = 3;
    for (int workers : {0, 3, 16}) {
        SCOPED_TRACE(::testing::Message() << workers << " workers");
        HostApp::SetWorkerCount(workers);
        std::vector<std::vector<Result>> together(ops.size());
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (size_t i = 0; i < ops.size(); ++i)
            threads.emplace_back([&, i] {
                // Start together, so that the renders overlap.
                ready.fetch_add(1);
                while (ready.load() < int(ops.size())) std::this_thread::yield();
                for (int r = 0; r < rounds; ++r) together[i].push_back(Render(ops[i], double(r)));
            });
        for (std::thread& thread : threads) thread.join();
        for (size_t i = 0; i < ops.size(); ++i)
            for (int r = 0; r < rounds; ++r) EXPECT_EQ(together[i][size_t(r)], alone[i]) << "shot " << i << " round " << r;
    }
    // Only the shots' own frames are alive, each with the shots' reference alone.
    int64_t frames = 0;
    for (const auto& shot : shots_)
        for (const Image* frame : shot->Frames()) {
            EXPECT_EQ(frame->References(), 1);
            ++frames;
        }
    EXPECT_EQ(HostApp::LiveObjects(), live_ + frames);
}

// A canvas row buffer is the only allocation of that size in these renders:
// the frames are narrow and the track spreads them over a wide canvas.
TEST_F(StressTest, AChunkOutOfMemoryFailsTheRenderAndGivesEverythingBack) {
    const ShotSpec wide = {64, 12, Format_Float, 1, 16, 1.0, 0.0, 0.0, 1, 99};
    const Shot& shot = AddShot(wide);
    Operator* op = Instance(shot);
    const Result whole = Render(op, 1.0);
    ASSERT_FALSE(whole.Failed) << whole.Error;
    ASSERT_EQ(whole.Width, 64 * 16);
    const int64_t live = HostApp::LiveObjects();
    const size_t rowBytes = size_t(whole.Width) * 4 * sizeof(float);

    for (int workers : {1, 0, 4}) {
        SCOPED_TRACE(::testing::Message() << workers << " workers");
        HostApp::SetWorkerCount(workers);
        failedAllocations.store(0);
        failFrom.store(rowBytes);
        const Result failed = Render(op, 1.0);
        failFrom.store(SIZE_MAX);
        EXPECT_GT(failedAllocations.load(), 0);
        EXPECT_TRUE(failed.Failed);
        EXPECT_EQ(failed.Error, std::bad_alloc().what());
        EXPECT_EQ(failed.Width, 0);
        EXPECT_EQ(HostApp::LiveObjects(), live);
        for (const Image* frame : shot.Frames()) EXPECT_EQ(frame->References(), 1);
        // The instance renders again as before.
        EXPECT_EQ(Render(op, 1.0), whole);
    }
}

}  // namespace
