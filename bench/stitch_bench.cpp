// The engine on a reference shot against the machine's own bounds.
//
//   stitch_bench --shot DIR [--start N] [--end N]
//                [--expect-unique FILE] [--expect-median FILE]
//                [--check-only | --no-check] [benchmark flags]
//
// Loads DIR/frame.####.exr and DIR/track.csv the way `tessellon stitch`
// does. Before anything is timed it stitches the shot with the slow literal
// transcription of the tests and with the engine (one worker and all
// workers), in both modes, and compares every bit; the files given with
// --expect-* (outputs of `tessellon stitch` on the same shot) must agree
// too. Any difference ends the run without figures. (--no-check is for
// trying a change quickly; bench/run never passes it.)
//
// Then it times, on the workers as the compositing runs, or on one thread
// as placement runs:
//   ReadCovered      one read-only pass over the bytes of every layer's
//                    footprint, row by row: what compositing cannot beat
//   CopyCanvas       copying the canvas's bytes row by row between two
//                    buffers already in memory: the copy bound
//   CompositeMedian, CompositeUnique
//   Place            PlaceLayers (turning included when the track turns)
//   CopyFresh/4k     copying every frame's bytes into fresh memory on one
//   CopyFresh/2m     thread, without and with huge pages
//   CopyTouched      the same into memory already touched
#include <sys/mman.h>
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HostApp.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "ReferenceStitch.h"
#include "StitchJob.h"
#include "TrackFile.h"

namespace {

namespace fs = std::filesystem;

struct Settings {
    std::string Shot;
    int32_t Start = 0;
    int32_t End = -1;   // -1: the track's last key
    std::string ExpectUnique, ExpectMedian;
    bool CheckOnly = false;
    bool NoCheck = false;
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "stitch_bench: %s\n", what.c_str());
    std::exit(1);
}

class ShotOperator : public ThreadedOperator {
public:
    enum class Work { Composite, ReadCovered, CopyRows };

    ShotOperator() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {
        TrackData = AddInput(HostID("Steady position", true), HostID("TrackData", true),
                             {Tag<LINK_DataType>(ID_Point), Tag<INP_Control>(ID_OffsetControl)});
        Angle = AddInput(HostID("Steady angle", true), HostID("Angle", true),
                         {Tag<LINK_DataType>(ID_Number), Tag<INP_Control>(ID_ScrewControl), Tag<INP_Default>(0.0)});
        Frames = AddInput(HostID("Input", true), HostID("Input", true), {Tag<LINK_DataType>(ID_Image), Tag<LINK_Main>(1)});
        Frames->SetImageSource([this](double time) -> Image* {
            const int64_t k = int64_t(time) - first_;
            if (time != std::trunc(time) || k < 0 || k >= int64_t(images_.size())) return nullptr;
            images_[size_t(k)]->Use();
            return images_[size_t(k)];
        });
    }
    ~ShotOperator() override {
        for (Image* image : images_) image->Recycle();
    }

    void Load(const Settings& settings) {
        tessellon::Track track = tessellon::ReadTrackFile((fs::path(settings.Shot) / "track.csv").string());
        if (track.Keys.empty()) Fail("the track has no keys");
        first_ = settings.Start;
        last_ = settings.End >= 0 ? settings.End : track.Keys.back().Frame;
        for (int32_t t = first_; t <= last_; ++t) {
            char name[32];
            std::snprintf(name, sizeof name, "frame.%04d.exr", int(t));
            images_.push_back(
                tessellon::ReadImageFile((fs::path(settings.Shot) / name).string(), tessellon::ImageLimits(), ImageContext));
        }
        tessellon::ConvertTrack(track, tessellon::TrackUnits::Normalized, tessellon::TrackOrigin::BottomLeft,
                                images_.front()->Width, images_.front()->Height);
        for (const tessellon::TrackKey& key : track.Keys) {
            TrackData->SetKey(key.Frame, key.X, key.Y);
            Angle->SetKey(key.Frame, key.Angle);
        }
        Turning = track.HasAngle;
    }

    int32_t First() const { return first_; }
    int32_t Last() const { return last_; }
    const std::vector<Image*>& Images() const { return images_; }
    FrameInputs Inputs() const { return FrameInputs{Frames, TrackData, Angle}; }

    // Gathers, plans and places as a render request does; false if a stage failed.
    bool Prepare(StitchJob& job, float filter) const {
        job.StartImage = static_cast<Image*>(Frames->GetSource(first_));
        job.ReferencePosition = static_cast<Point*>(TrackData->GetSource(first_));
        job.Filter = filter;
        GatherFrames(job, Inputs(), first_, last_, {});
        return PlanCanvas(job, ImageContext) && PlaceLayers(job, {});
    }

    void Rows(const StitchJob& job, Work work) {
        running_ = &job;
        work_ = work;
        Request request(this, 0.0);
        DoMultiProcess(&request, job.Canvas->Height);
        running_ = nullptr;
    }

    void ProcessChunk(Request*, int32_t y) override {
        switch (work_) {
        case Work::Composite: CompositeRow(*running_, y); break;
        case Work::ReadCovered: ReadCovered(*running_, y); break;
        case Work::CopyRows: std::memcpy(CopyTo + size_t(y) * CopyRowBytes, CopyFrom + size_t(y) * CopyRowBytes, CopyRowBytes); break;
        }
    }

    // Every byte of every layer's footprint in row y, read once, in the
    // layers' own storage.
    static void ReadCovered(const StitchJob& job, int32_t y) {
        uint64_t a = 0, b = 0, c = 0, d = 0;
        for (size_t i = 0; i < job.Layers.size(); ++i) {
            const LayerFootprint& f = job.Footprints[i];
            if (y < f.Y0 || y >= f.Y1 || f.X0 >= f.X1) continue;
            const BufferGroup& g = job.Layers[i]->Group[0];
            const uint8_t* bytes = g.Base + g.RowOffsets[y] + int64_t(f.X0) * g.PixelStride;
            const size_t words = size_t(f.X1 - f.X0) * size_t(g.PixelStride) / 8;
            const auto* w = reinterpret_cast<const uint64_t*>(bytes);
            size_t k = 0;
            for (; k + 4 <= words; k += 4) {
                a ^= w[k];
                b ^= w[k + 1];
                c ^= w[k + 2];
                d ^= w[k + 3];
            }
            for (; k < words; ++k) a ^= w[k];
        }
        benchmark::DoNotOptimize(a ^ b ^ c ^ d);
    }

    Input* TrackData = nullptr;
    Input* Angle = nullptr;
    Input* Frames = nullptr;
    bool Turning = false;
    const uint8_t* CopyFrom = nullptr;
    uint8_t* CopyTo = nullptr;
    size_t CopyRowBytes = 0;

private:
    std::vector<Image*> images_;
    int32_t first_ = 0, last_ = -1;
    const StitchJob* running_ = nullptr;
    Work work_ = Work::Composite;
};

// Rows of an image, four floats per pixel, bottom row first.
std::vector<float> Pixels(const Image& image) {
    std::vector<float> pixels(size_t(image.Width) * size_t(image.Height) * 4);
    for (int32_t y = 0; y < image.Height; ++y)
        image.ReadSpan(0, y, image.Width, &pixels[size_t(y) * size_t(image.Width) * 4]);
    return pixels;
}

// "" when the two agree bit for bit, else where they first differ.
std::string Difference(const Image& a, const Image& b) {
    if (a.Width != b.Width || a.Height != b.Height)
        return "sizes " + std::to_string(a.Width) + " x " + std::to_string(a.Height) + " and " +
               std::to_string(b.Width) + " x " + std::to_string(b.Height);
    const std::vector<float> pa = Pixels(a), pb = Pixels(b);
    for (size_t i = 0; i < pa.size(); ++i)
        if (std::memcmp(&pa[i], &pb[i], sizeof(float)) != 0) {
            const size_t pixel = i / 4;
            return "pixel (" + std::to_string(pixel % size_t(a.Width)) + ", " + std::to_string(pixel / size_t(a.Width)) +
                   ") channel " + std::to_string(i % 4) + ": " + std::to_string(pa[i]) + " and " + std::to_string(pb[i]);
        }
    return "";
}

using Held = HostRef<Image>;

// The engine with `workers` workers, its canvas with one reference.
Image* EngineStitch(ShotOperator& op, float filter, int workers) {
    StitchJob job;
    if (!op.Prepare(job, filter)) {
        ReleaseJob(job);
        Fail("the engine could not place the shot");
    }
    HostApp::SetWorkerCount(workers);
    op.Rows(job, ShotOperator::Work::Composite);
    HostApp::SetWorkerCount(0);
    Image* canvas = job.Canvas;
    job.Canvas = nullptr;
    ReleaseJob(job);
    return canvas;
}

void Check(ShotOperator& op, float filter, const std::string& expected) {
    const char* mode = filter == 1.0f ? "median" : "unique";
    Held reference, one, all;
    reference.Reset(ReferenceStitch(op.Inputs(), op.First(), op.Last(), filter, op.ImageContext).Canvas);
    if (!reference.Get()) Fail(std::string(mode) + ": the literal transcription made no canvas");
    one.Reset(EngineStitch(op, filter, 1));
    all.Reset(EngineStitch(op, filter, 0));
    std::string why = Difference(*reference.Get(), *one.Get());
    if (!why.empty()) Fail(std::string(mode) + ": the engine with one worker and the literal transcription differ at " + why);
    why = Difference(*reference.Get(), *all.Get());
    if (!why.empty()) Fail(std::string(mode) + ": the engine with every worker and the literal transcription differ at " + why);
    std::string also;
    if (!expected.empty()) {
        Held file;
        file.Reset(tessellon::ReadImageFile(expected, tessellon::ImageLimits(), nullptr));
        why = Difference(*reference.Get(), *file.Get());
        if (!why.empty()) Fail(std::string(mode) + ": " + expected + " and the literal transcription differ at " + why);
        also = ", " + expected + ",";
    }
    std::printf("check %s: the engine with 1 and %u workers%s and the literal transcription agree on all %d x %d pixels\n",
                mode, std::max(1u, std::thread::hardware_concurrency()), also.c_str(), reference.Get()->Width,
                reference.Get()->Height);
    std::fflush(stdout);
}

// Fresh anonymous memory, huge pages allowed or not.
struct Fresh {
    void* Base = MAP_FAILED;
    size_t Bytes = 0;
    Fresh(size_t bytes, bool huge) : Bytes(bytes) {
        Base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (Base == MAP_FAILED) throw std::bad_alloc();
        madvise(Base, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    }
    ~Fresh() { munmap(Base, Bytes); }
    uint8_t* Data() const { return static_cast<uint8_t*>(Base); }
};

uint64_t FrameBytes(const ShotOperator& op) {
    uint64_t bytes = 0;
    for (const Image* image : op.Images()) bytes += image->StorageBytes();
    return bytes;
}

void CopyFrames(const ShotOperator& op, uint8_t* to) {
    for (const Image* image : op.Images()) {
        std::memcpy(to, image->Group[0].Base, image->StorageBytes());
        to += image->StorageBytes();
    }
}

// Registers a benchmark timed by the wall clock, in milliseconds.
template <class Fn>
void Timed(const std::string& name, Fn fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)->UseRealTime()->Unit(benchmark::kMillisecond);
}

// CPU time of the whole process (every thread), for a figure that other
// programs on the machine disturb less than the wall clock.
double ProcessSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + 1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Runs `work` once per iteration and reports the process's CPU seconds per
// iteration as the counter "cpu_s".
template <class Fn>
void Loop(benchmark::State& state, Fn work) {
    const double begin = ProcessSeconds();
    for (auto _ : state) work();
    state.counters["cpu_s"] = benchmark::Counter((ProcessSeconds() - begin) / double(state.iterations()));
}

benchmark::Counter BytesRate(double bytes) {
    return benchmark::Counter(bytes, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1024);
}

void Register(ShotOperator& op, StitchJob& placed) {
    const uint64_t frameBytes = FrameBytes(op);
    const Image& canvas = *placed.Canvas;
    const double canvasPixels = double(canvas.Width) * canvas.Height;
    uint64_t covered = 0;
    for (size_t i = 0; i < placed.Layers.size(); ++i) {
        const LayerFootprint& f = placed.Footprints[i];
        covered += uint64_t(f.X1 - f.X0) * uint64_t(f.Y1 - f.Y0) * uint64_t(placed.Layers[i]->Group[0].PixelStride);
    }

    Timed("ReadCovered", [&op, &placed, covered](benchmark::State& state) {
        Loop(state, [&] { op.Rows(placed, ShotOperator::Work::ReadCovered); });
        state.counters["bytes/s"] = BytesRate(double(covered));
    });
    Timed("CopyCanvas", [&op, &placed](benchmark::State& state) {
        const Image& c = *placed.Canvas;
        const size_t row = size_t(c.Width) * size_t(c.Group[0].PixelStride);
        std::vector<uint8_t> from(row * size_t(c.Height), 1), to(row * size_t(c.Height), 2);
        op.CopyFrom = from.data();
        op.CopyTo = to.data();
        op.CopyRowBytes = row;
        Loop(state, [&] { op.Rows(placed, ShotOperator::Work::CopyRows); });
        state.counters["bytes/s"] = BytesRate(double(from.size()));
    });
    for (const float filter : {1.0f, 0.0f}) {
        Timed(filter == 1.0f ? "CompositeMedian" : "CompositeUnique",
              [&op, &placed, filter, canvasPixels](benchmark::State& state) {
                  placed.Filter = filter;
                  Loop(state, [&] { op.Rows(placed, ShotOperator::Work::Composite); });
                  state.counters["px/s"] = benchmark::Counter(canvasPixels, benchmark::Counter::kIsIterationInvariantRate);
              });
    }
    Timed("Place", [&op, frameBytes](benchmark::State& state) {
        for (auto _ : state) {
            state.PauseTiming();
            StitchJob job;
            job.StartImage = static_cast<Image*>(op.Frames->GetSource(op.First()));
            job.ReferencePosition = static_cast<Point*>(op.TrackData->GetSource(op.First()));
            GatherFrames(job, op.Inputs(), op.First(), op.Last(), {});
            const bool planned = bool(PlanCanvas(job, op.ImageContext));
            state.ResumeTiming();
            const bool ok = planned && bool(PlaceLayers(job, {}));
            state.PauseTiming();
            ReleaseJob(job);
            if (!ok) state.SkipWithError("placement failed");
            state.ResumeTiming();
        }
        state.counters["bytes/s"] = BytesRate(double(frameBytes));
    });
    for (const bool huge : {false, true}) {
        Timed(huge ? "CopyFresh/2m" : "CopyFresh/4k", [&op, frameBytes, huge](benchmark::State& state) {
            for (auto _ : state) {
                state.PauseTiming();
                {
                    Fresh to(frameBytes, huge);
                    state.ResumeTiming();
                    CopyFrames(op, to.Data());
                    benchmark::ClobberMemory();
                    state.PauseTiming();
                }
                state.ResumeTiming();
            }
            state.counters["bytes/s"] = BytesRate(double(frameBytes));
        });
    }
    Timed("CopyTouched", [&op, frameBytes](benchmark::State& state) {
        std::vector<uint8_t> to(frameBytes, 1);
        for (auto _ : state) {
            CopyFrames(op, to.data());
            benchmark::ClobberMemory();
        }
        state.counters["bytes/s"] = BytesRate(double(frameBytes));
    });
}

Settings ParseArguments(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--shot") s.Shot = value();
        else if (arg == "--start") s.Start = std::stoi(value());
        else if (arg == "--end") s.End = std::stoi(value());
        else if (arg == "--expect-unique") s.ExpectUnique = value();
        else if (arg == "--expect-median") s.ExpectMedian = value();
        else if (arg == "--check-only") s.CheckOnly = true;
        else if (arg == "--no-check") s.NoCheck = true;
        else Fail("unknown argument " + arg);
    }
    if (s.Shot.empty()) Fail("--shot DIR is required");
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const Settings settings = ParseArguments(argc, argv);
    try {
        ShotOperator op;
        op.Load(settings);
        std::printf("shot %s: frames %d to %d, %zu frames of %d x %d, %llu bytes of frame pixels%s\n",
                    settings.Shot.c_str(), op.First(), op.Last(), op.Images().size(), op.Images().front()->Width,
                    op.Images().front()->Height, static_cast<unsigned long long>(FrameBytes(op)),
                    op.Turning ? ", turning" : "");
        std::fflush(stdout);
        if (!settings.NoCheck) {
            Check(op, 1.0f, settings.ExpectMedian);
            Check(op, 0.0f, settings.ExpectUnique);
        }
        if (settings.CheckOnly) return 0;

        StitchJob placed;
        if (!op.Prepare(placed, 1.0f)) Fail("the engine could not place the shot");
        Register(op, placed);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        ReleaseJob(placed);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    return 0;
}
