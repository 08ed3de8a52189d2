// Renders the tool, loaded as the host loads it, on shots the fuzzer makes:
// up to eight frames of 1..16 x 1..16 pixels in any host format, holding
// any values (NaN, infinities, denormals, values beyond one), some frames
// missing, positions and angles keyed on some frames, any method, and start
// and end frames in any order, fractional or not a number.
//
// After each render: no exception left the tool, a stitched canvas has
// every pixel opaque (alpha exactly 1) or (0, 0, 0, 0), and once the output,
// the instance and the frames are given back no host object is alive.
// Anything else stops the fuzzer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_render: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// Reads the input front to back; zeros once it is used up.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    int8_t Signed() { return int8_t(Byte()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Channel values worth meeting: the ordinary and the troublesome.
constexpr float kValues[16] = {0.0f, 1.0f, 0.5f, 0.25f, -1.0f, 2.0f, kNaN, kInf,
                               -kInf, 1e30f, -0.0f, 0.75f, 1.0f / 3.0f, 65504.0f, 1e-40f, 0.999f};

// Track values: fractions of the frame in steps of 1/16 up to 8 frames away,
// now and then not a number, an infinity or a wild value.
double Position(uint8_t byte) {
    switch (byte) {
    case 0x7f: return std::numeric_limits<double>::quiet_NaN();
    case 0x80: return 1e6;
    case 0x81: return -std::numeric_limits<double>::infinity();
    case 0x82: return 1e300;
    default: return 0.5 + double(int8_t(byte)) / 16.0;
    }
}

double Angle(uint8_t byte) {
    switch (byte) {
    case 0x7f: return std::numeric_limits<double>::quiet_NaN();
    case 0x80: return std::numeric_limits<double>::infinity();
    case 0x81: return 1e18;
    default: return double(int8_t(byte)) * 7.5;
    }
}

// Frame numbers near the shot's, in quarter frames, or not a number.
double FrameValue(uint8_t byte, int first) {
    if (byte == 0xff) return std::numeric_limits<double>::quiet_NaN();
    return double(first) + double(int(byte % 64) - 16) / 4.0;
}

constexpr int32_t kFormats[4] = {Format_UInt8, Format_UInt16, Format_Half, Format_Float};
constexpr double kMethods[8] = {0.0, 1.0, 0.5, 2.0, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0, -1.0};

const Registry* record = nullptr;

// Whether the canvas keeps its promise: each pixel opaque or untouched.
bool CanvasIsSound(const Image& canvas) {
    std::vector<float> row(size_t(canvas.Width) * 4);
    for (int32_t y = 0; y < canvas.Height; ++y) {
        canvas.ReadSpan(0, y, canvas.Width, row.data());
        for (int32_t x = 0; x < canvas.Width; ++x) {
            const float* p = &row[size_t(x) * 4];
            const bool clear = p[0] == 0.0f && p[1] == 0.0f && p[2] == 0.0f && p[3] == 0.0f;
            if (p[3] != 1.0f && !clear) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string error;
    // Loaded once and kept: libFuzzer counts coverage of the module too.
    if (!LoadModule(TESSELLON_MODULE_PATH, &error)) {
        std::fprintf(stderr, "fuzz_render: cannot load %s: %s\n", TESSELLON_MODULE_PATH, error.c_str());
        std::exit(1);
    }
    record = ClassRegistry.Find("Orvandel.Tessellon");
    if (!record) {
        std::fprintf(stderr, "fuzz_render: the module registered no Orvandel.Tessellon\n");
        std::exit(1);
    }
    // A wild track asks for a canvas the host then refuses, as it refuses
    // anything above this, instead of the fuzzer running out of memory.
    HostApp::SetImageByteLimit(uint64_t(32) << 20);
    if (HostApp::LiveObjects() != 0) {
        std::fprintf(stderr, "fuzz_render: host objects alive before any run\n");
        std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t flags = in.Byte();
    HostApp::SetWorkerCount(1 + (flags & 1));
    const double method = kMethods[(flags >> 1) & 7];
    const int count = 1 + in.Byte() % 8;
    const int first = int(in.Byte() % 16) - 4;
    const double start = FrameValue(in.Byte(), first);
    const double end = FrameValue(in.Byte(), first);
    const double time = double(in.Signed());

    // The frames; some are missing.
    std::vector<Image*> frames(size_t(count), nullptr);
    for (Image*& frame : frames) {
        const uint8_t shape = in.Byte();
        if (shape == 0) continue;
        const int32_t width = 1 + shape % 16, height = 1 + in.Byte() % 16;
        const int32_t format = kFormats[in.Byte() % 4];
        frame = NewImage({Tag<IMG_Width>(width), Tag<IMG_Height>(height), Tag<IMG_Channel>(2), Tag<IMG_Channel>(1),
                          Tag<IMG_Channel>(0), Tag<IMG_Channel>(3), Tag<IMG_Format>(format)});
        Check(frame != nullptr, "the host refused a small frame");
        // Mostly opaque pixels, so that the stitch has something to combine.
        std::vector<float> row(size_t(width) * 4);
        for (int32_t y = 0; y < height; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t colour = in.Byte(), alpha = in.Byte();
                float* p = &row[size_t(x) * 4];
                p[0] = kValues[colour & 15];
                p[1] = kValues[colour >> 4];
                p[2] = kValues[(colour + alpha) & 15];
                p[3] = alpha < 192 ? 1.0f : kValues[alpha & 15];
            }
            frame->WriteSpan(0, y, width, row.data());
        }
    }

    Operator* op = record->Create(ScriptVal(), TagList());
    Check(op != nullptr, "no instance");
    op->FindInput("FilterMethod")->SetValue(method);
    op->FindInput("StartFrame")->SetValue(start);
    op->FindInput("EndFrame")->SetValue(end);
    Input* position = op->FindInput("TrackData");
    Input* angle = op->FindInput("Angle");
    for (int i = 0; i < count; ++i) {
        const uint8_t keys = in.Byte();
        if (keys & 1) {
            const double x = Position(in.Byte());
            position->SetKey(double(first + i), x, Position(in.Byte()));
        }
        if (keys & 2) angle->SetKey(double(first + i), Angle(in.Byte()));
    }
    op->FindInput("Input")->SetImageSource([&](double t) -> Image* {
        const double index = t - double(first);
        if (!(index >= 0.0 && index < double(count)) || index != std::trunc(index)) return nullptr;
        Image* frame = frames[size_t(index)];
        if (frame) frame->Use();
        return frame;
    });

    HostApp::RenderResult result = HostApp::Render(op, op->FindOutput("Output"), time);
    if (result.Failed) {
        std::fprintf(stderr, "fuzz_render: the render failed: %s\n", result.Error.c_str());
        Fail("an exception left the tool");
    }
    if (result.Output) {
        Check(result.Output->Kind() == ParamKind::Image, "the output is not an image");
        const Image* out = static_cast<const Image*>(result.Output);
        Check(out->Width > 0 && out->Height > 0, "an empty output");
        // The start image passed through keeps its own pixels; a canvas
        // holds only what compositing wrote.
        bool passedThrough = false;
        for (const Image* frame : frames) passedThrough = passedThrough || frame == out;
        if (!passedThrough) Check(CanvasIsSound(*out), "a canvas pixel neither opaque nor (0, 0, 0, 0)");
        result.Output->Recycle();
    }
    delete op;
    for (Image* frame : frames) {
        if (!frame) continue;
        Check(frame->References() == 1, "a frame reference was not given back");
        frame->Recycle();
    }
    Check(HostApp::LiveObjects() == 0, "host objects alive after the run");
    return 0;
}
