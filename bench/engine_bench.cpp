// The engine on an HD shot: 60 frames of 1920 x 1080 float RGBA panning 32
// pixels a frame, so the canvas is about two frame widths wide and every
// canvas column is covered by up to 60 layers (30 on average).
//
//   engine_bench [--benchmark_filter=...]
//
// The compositing runs take the number of host workers as their argument
// (0: one per core).
//
// Before anything is timed, the stitched canvas is made with one worker
// and with all workers and the two are compared bit for bit.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "HostApp.h"
#include "HostSystem.h"
#include "StitchJob.h"

namespace {

constexpr int32_t FrameWidth = 1920, FrameHeight = 1080, FrameCount = 60, PanPerFrame = 32;

// The scene the camera pans over, and a small object that moves through it
// faster than the camera, which the median removes.
float Hash(uint32_t x, uint32_t y, uint32_t z) {
    uint32_t h = x * 73856093u ^ y * 19349663u ^ z * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return float(h & 0xFFFF) / 65535.0f;
}

// A point of the scene seen in frame t: the scene plus a little sensor
// noise, so that the frames never agree exactly.
float Scene(int32_t x, int32_t y, int channel, int32_t t) {
    return Hash(uint32_t(x), uint32_t(y), uint32_t(channel)) + 0.02f * Hash(uint32_t(x), uint32_t(y), uint32_t(t * 3 + channel + 7));
}

class BenchOperator : public ThreadedOperator {
public:
    BenchOperator() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {
        TrackData = AddInput(HostID("Steady position", true), HostID("TrackData", true),
                             {Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)});
        Angle = AddInput(HostID("Steady angle", true), HostID("Angle", true),
                         {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ScrewControl), Tag<INP_Default>(0.0)});
        Frames = AddInput(HostID("Input", true), HostID("Input", true), {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)});
        images_.resize(FrameCount);
        std::vector<float> row(size_t(FrameWidth) * 4);
        for (int32_t t = 0; t < FrameCount; ++t) {
            Image* image = NewImage({Tag<IMG_Width>(FrameWidth), Tag<IMG_Height>(FrameHeight), Tag<IMG_Channel>(0),
                                     Tag<IMG_Channel>(1), Tag<IMG_Channel>(2), Tag<IMG_Channel>(3),
                                     Tag<IMG_Format>(int32_t(Format_Float))});
            const int32_t objectX = 300 + 60 * t, objectY = 400;
            for (int32_t y = 0; y < FrameHeight; ++y) {
                for (int32_t x = 0; x < FrameWidth; ++x) {
                    const bool object = x >= objectX && x < objectX + 120 && y >= objectY && y < objectY + 120;
                    for (int c = 0; c < 3; ++c)
                        row[size_t(x) * 4 + size_t(c)] = object ? 1.0f : Scene(x + PanPerFrame * t, y, c, t);
                    row[size_t(x) * 4 + 3] = 1.0f;
                }
                image->WriteSpan(0, y, FrameWidth, row.data());
            }
            images_[size_t(t)] = image;
            TrackData->SetKey(t, 0.5 + double(PanPerFrame * t) / FrameWidth, 0.5);
        }
        Frames->SetImageSource([this](double time) -> Image* {
            const int32_t t = int32_t(time);
            if (t < 0 || t >= FrameCount) return nullptr;
            images_[size_t(t)]->Use();
            return images_[size_t(t)];
        });
    }
    ~BenchOperator() override {
        for (Image* image : images_) image->Recycle();
    }

    void ProcessChunk(Request*, int32_t chunk) override {
        if (readOnly_)
            ReadCovered(*running_, chunk);
        else
            CompositeRow(*running_, chunk);
    }

    void Begin(StitchJob& job, float filter) {
        job.StartImage = static_cast<Image*>(Frames->GetSource(0));
        job.ReferencePosition = static_cast<Point*>(TrackData->GetSource(0));
        job.Filter = filter;
    }
    void Gather(StitchJob& job) { GatherFrames(job, FrameInputs{Frames, TrackData, Angle}, 0, FrameCount - 1, {}); }

    void Rows(const StitchJob& job, bool readOnly) {
        running_ = &job;
        readOnly_ = readOnly;
        Request request(this, 0.0);
        DoMultiProcess(&request, job.Canvas->Height);
        running_ = nullptr;
    }

    // What a row costs at least: one read of every covering layer's span.
    static void ReadCovered(const StitchJob& job, int32_t y) {
        thread_local std::vector<float> span;
        float sink = 0.0f;
        for (size_t i = 0; i < job.Layers.size(); ++i) {
            const LayerFootprint& f = job.Footprints[i];
            if (y < f.Y0 || y >= f.Y1) continue;
            span.resize(size_t(f.X1 - f.X0) * 4);
            job.Layers[i]->ReadSpan(f.X0, y, f.X1 - f.X0, span.data());
            sink += span[3];
        }
        benchmark::DoNotOptimize(sink);
    }

    Input* TrackData = nullptr;
    Input* Angle = nullptr;
    Input* Frames = nullptr;

private:
    std::vector<Image*> images_;
    const StitchJob* running_ = nullptr;
    bool readOnly_ = false;
};

// The shot, made once, and a job placed from it, kept for the compositing runs.
struct Workload {
    BenchOperator Op;
    StitchJob Placed;
    bool Deterministic = false;

    Workload() {
        Op.Begin(Placed, 0.0f);
        Op.Gather(Placed);
        if (!PlanCanvas(Placed, Op.ImageContext) || !PlaceLayers(Placed, {})) return;
        Deterministic = SameWithAnyWorkers(0.0f) && SameWithAnyWorkers(1.0f);
        std::printf("canvas %d x %d, %zu layers, results %s across worker counts\n", Placed.Canvas->Width,
                    Placed.Canvas->Height, Placed.Layers.size(), Deterministic ? "identical" : "DIFFERENT");
    }
    ~Workload() { ReleaseJob(Placed); }

    std::vector<float> Canvas() const {
        const Image& canvas = *Placed.Canvas;
        std::vector<float> pixels(size_t(canvas.Width) * size_t(canvas.Height) * 4);
        for (int32_t y = 0; y < canvas.Height; ++y)
            canvas.ReadSpan(0, y, canvas.Width, &pixels[size_t(y) * size_t(canvas.Width) * 4]);
        return pixels;
    }

    bool SameWithAnyWorkers(float filter) {
        Placed.Filter = filter;
        HostApp::SetWorkerCount(1);
        Placed.Canvas->Fill(0, 0, 0, 0);
        Op.Rows(Placed, false);
        const std::vector<float> one = Canvas();
        HostApp::SetWorkerCount(0);
        Placed.Canvas->Fill(0, 0, 0, 0);
        Op.Rows(Placed, false);
        const std::vector<float> all = Canvas();
        return std::memcmp(one.data(), all.data(), one.size() * sizeof(float)) == 0;
    }
};

Workload& Shot() {
    static Workload workload;
    return workload;
}

void GatherAndPlan(benchmark::State& state) {
    Workload& shot = Shot();
    for (auto _ : state) {
        StitchJob job;
        shot.Op.Begin(job, 0.0f);
        shot.Op.Gather(job);
        benchmark::DoNotOptimize(PlanCanvas(job, shot.Op.ImageContext));
        state.PauseTiming();
        ReleaseJob(job);
        state.ResumeTiming();
    }
}

void Place(benchmark::State& state) {
    Workload& shot = Shot();
    for (auto _ : state) {
        state.PauseTiming();
        StitchJob job;
        shot.Op.Begin(job, 0.0f);
        shot.Op.Gather(job);
        PlanCanvas(job, shot.Op.ImageContext);
        state.ResumeTiming();
        benchmark::DoNotOptimize(PlaceLayers(job, {}));
        state.PauseTiming();
        ReleaseJob(job);
        state.ResumeTiming();
    }
    state.counters["frame px/s"] = benchmark::Counter(double(FrameCount) * FrameWidth * FrameHeight,
                                                      benchmark::Counter::kIsIterationInvariantRate);
}

void Composite(benchmark::State& state, float filter, bool readOnly) {
    Workload& shot = Shot();
    if (!shot.Deterministic) {
        state.SkipWithError("results depend on the number of workers");
        return;
    }
    shot.Placed.Filter = filter;
    HostApp::SetWorkerCount(int(state.range(0)));
    for (auto _ : state) shot.Op.Rows(shot.Placed, readOnly);
    const Image& canvas = *shot.Placed.Canvas;
    state.counters["canvas px/s"] = benchmark::Counter(double(canvas.Width) * canvas.Height,
                                                       benchmark::Counter::kIsIterationInvariantRate);
    state.counters["workers"] = HostApp::WorkerCount() ? HostApp::WorkerCount() : int(std::thread::hardware_concurrency());
    HostApp::SetWorkerCount(0);
}

void CompositeUnique(benchmark::State& state) { Composite(state, 0.0f, false); }
void CompositeMedian(benchmark::State& state) { Composite(state, 1.0f, false); }
void ReadCoveredLayers(benchmark::State& state) { Composite(state, 0.0f, true); }

}  // namespace

BENCHMARK(GatherAndPlan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(Place)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
// Argument: host workers, 0 for one per core.
BENCHMARK(CompositeUnique)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Arg(1)->Arg(0);
BENCHMARK(CompositeMedian)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Arg(1)->Arg(0);
BENCHMARK(ReadCoveredLayers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Arg(1)->Arg(0);

BENCHMARK_MAIN();
