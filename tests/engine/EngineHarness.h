// Drives the engine through real host objects: an operator with the tool's
// "Input", "TrackData" and "Angle" inputs, frames served from a table, and
// the stages run in the order a render request runs them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "HostApp.h"
#include "HostSystem.h"
#include "StitchJob.h"

using Rgba = std::array<float, 4>;

// Bitwise equality, so that NaN payloads and -0.0 count.
bool SameBits(const Rgba& a, const Rgba& b);

// A four-channel image of the given format with pixel (x, y) = paint(x, y).
Image* MakeImage(int32_t width, int32_t height, int32_t format,
                 const std::function<Rgba(int32_t x, int32_t y)>& paint);
Rgba PixelAt(const Image* image, int32_t x, int32_t y);
// Every pixel, rows from 0 up, four floats per pixel.
std::vector<float> AllPixels(const Image* image);

class StitchHarness : public ThreadedOperator {
public:
    StitchHarness();
    ~StitchHarness() override;

    void ProcessChunk(Request* request, int32_t chunk) override;

    // Frame t is served as Frames[t] (one reference each, given back by the
    // harness); a frame not in the table, or null, has no image.
    std::map<int32_t, Image*> Frames;
    void SetPosition(int32_t frame, double x, double y) { TrackData->SetKey(frame, x, y); }
    void SetAngle(int32_t frame, double degrees) { Angle->SetKey(frame, degrees); }

    FrameInputs Inputs() const { return FrameInputs{Image_, TrackData, Angle}; }

    // Fetches the start image and reference position as a render request does.
    void BeginJob(StitchJob& job, int32_t start, float filter) const;
    // Gathers (when start < end), plans, places; false when a stage failed.
    bool Prepare(StitchJob& job, int32_t start, int32_t end, float filter,
                 std::vector<float>* progress = nullptr);
    // Composites every canvas row on the host's workers.
    void Composite(const StitchJob& job);

    // As the tool renders: Prepare leaves the unturned layers' rows to be
    // placed row by row, and Composite places and combines each row at once
    // (PlaceAndCompositeRow).
    bool PlaceWhileCombining = false;

    Input* Image_ = nullptr;
    Input* TrackData = nullptr;
    Input* Angle = nullptr;

private:
    const StitchJob* running_ = nullptr;
};

// Records the values a stage reports as progress.
ProgressReport Recorder(std::vector<float>& values);

// Every case starts and ends with no live host object: whatever a case
// fetched or made has been given back once its harness is gone.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HostApp::LiveObjects(), 0); }
    void TearDown() override {
        Host.reset();
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
    // Live objects beyond the frames the harness serves.
    int64_t Leaked() const;

    std::unique_ptr<StitchHarness> Host = std::make_unique<StitchHarness>();
};

// A float frame whose pixel (x, y) is (x, y, id, 1): every pixel tells where
// it came from.
Image* CoordinateFrame(int32_t width, int32_t height, float id, int32_t format = Format_Float);
// A start image and samples at the given positions, built by hand.
void AddSample(StitchJob& job, Image* frame, double x, double y, double angle = 0.0);
