// Generated shots: the exact track, the scene seen through the camera, and
// files that come out the same whatever the threads.
#include "Shot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImageFiles.h"
#include "ShotTracks.h"
#include "TrackFile.h"

using namespace tessellon;
namespace fs = std::filesystem;

namespace {

ShotSpec SmallShot() {
    ShotSpec shot;
    shot.FrameWidth = 96;
    shot.FrameHeight = 54;
    shot.FrameCount = 6;
    shot.FirstFrame = 10;
    shot.Pan = 197;   // shifts with fractions, so rounding and truncation differ
    shot.DriftPixels = 7;
    return shot;
}

fs::path FreshFolder(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("tessellon-shots-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Shots, TrackGivesBackEachFramesWholePixelShift) {
    const fs::path folder = FreshFolder("track");
    for (const ShotSpec& shot : {SmallShot(), ShotSpec{}}) {
        const std::string path = (folder / "track.csv").string();
        WriteTrackFile(shot, path);
        const Track track = ReadTrackFile(path);
        ASSERT_EQ(track.Keys.size(), size_t(shot.FrameCount));
        const TrackKey& first = track.Keys[0];
        bool negative = false;
        for (int k = 0; k < shot.FrameCount; ++k) {
            const TrackKey& key = track.Keys[size_t(k)];
            const Camera camera = CameraAt(shot, k);
            EXPECT_EQ(key.Frame, shot.FirstFrame + k);
            EXPECT_EQ(std::trunc((key.X - first.X) * shot.FrameWidth), camera.ShiftX) << "frame " << k;
            EXPECT_EQ(std::trunc((key.Y - first.Y) * shot.FrameHeight), camera.ShiftY) << "frame " << k;
            EXPECT_EQ(key.Angle, camera.Roll);
            negative = negative || camera.ShiftY < 0;
        }
        EXPECT_TRUE(negative) << "the drift should take the camera below frame 0 too";
        EXPECT_EQ(CameraAt(shot, shot.FrameCount - 1).ShiftX, shot.Pan);
    }
    fs::remove_all(folder);
}

// Without roll a frame is the scene cut out at its shift: where two frames
// overlap they hold the same pixels, and the ball is all that differs.
TEST(Shots, FramesWithoutRollAgreeWhereTheyOverlap) {
    ShotSpec shot = SmallShot();
    shot.RollDegrees = 0.0;
    shot.Ball = false;
    const Scene scene = DrawScene(shot, 2);
    std::vector<float> last, frame;
    DrawFrame(shot, scene, 0, last);
    const int w = shot.FrameWidth, h = shot.FrameHeight;
    for (int k = 1; k < shot.FrameCount; ++k) {
        DrawFrame(shot, scene, k, frame);
        const Camera before = CameraAt(shot, k - 1), camera = CameraAt(shot, k);
        int compared = 0, differ = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int xb = x + camera.ShiftX - before.ShiftX, yb = y + camera.ShiftY - before.ShiftY;
                if (xb < 0 || xb >= w || yb < 0 || yb >= h) continue;
                ++compared;
                for (int c = 0; c < 4; ++c)
                    differ += frame[(size_t(y) * w + x) * 4 + c] != last[(size_t(yb) * w + xb) * 4 + c];
            }
        EXPECT_GT(compared, w * h / 4) << "frame " << k;
        EXPECT_EQ(differ, 0) << "frame " << k;
        last.swap(frame);
    }

    // The ball: somewhere in the shot, small, and red.
    const ShotSpec plain = shot;
    shot.Ball = true;
    int changed = 0, red = 0;
    for (int k = 0; k < shot.FrameCount; ++k) {
        DrawFrame(plain, scene, k, last);
        DrawFrame(shot, scene, k, frame);
        for (size_t i = 0; i < frame.size(); i += 4) {
            changed += frame[i] != last[i] || frame[i + 1] != last[i + 1];
            red += frame[i] > 0.5f && frame[i] > 3.0f * frame[i + 1];
        }
    }
    EXPECT_GT(red, 0);
    EXPECT_GT(changed, 0);
    EXPECT_LT(changed, shot.FrameCount * w * h / 8);
}

TEST(Shots, FilesAreTheSameOnEveryRunAndReadBackAsDrawn) {
    const ShotSpec shot = SmallShot();
    // PFM: the EXR writer stamps the time into every file.
    const std::string names = "f%03d.pfm";
    const fs::path a = FreshFolder("a"), b = FreshFolder("b");
    WriteFrames(shot, DrawScene(shot, 1), a.string(), names, 1);
    const Scene scene = DrawScene(shot, 3);
    WriteFrames(shot, scene, b.string(), names, 3);
    for (int k = 0; k < shot.FrameCount; ++k) {
        const std::string name = FrameFileName(names, shot.FirstFrame + k);
        ASSERT_TRUE(fs::exists(a / name)) << name;
        EXPECT_EQ(Bytes(a / name), Bytes(b / name)) << name;
    }
    std::vector<float> drawn, read(size_t(shot.FrameWidth) * shot.FrameHeight * 4);
    DrawFrame(shot, scene, 4, drawn);
    Image* image = ReadImageFile((b / FrameFileName(names, shot.FirstFrame + 4)).string(), {}, nullptr);
    for (int y = 0; y < shot.FrameHeight; ++y)
        image->ReadSpan(0, y, shot.FrameWidth, &read[size_t(y) * shot.FrameWidth * 4]);
    image->Recycle();
    EXPECT_EQ(read, drawn);
    fs::remove_all(a);
    fs::remove_all(b);
}

TEST(Shots, FrameNamesTakeOneNumberConversion) {
    EXPECT_EQ(FrameFileName("frame.%04d.exr", 7), "frame.0007.exr");
    EXPECT_EQ(FrameFileName("100%%_%d", -3), "100%_-3");
    for (const char* bad : {"frame.exr", "%d-%d", "%s", "%05x", "%d%", "%099d"})
        EXPECT_THROW(FrameFileName(bad, 1), Error) << bad;
}

// The committed samples are what `tessellon shot --track-format NAME`
// writes; read back with the format's own units, origin and kind, each
// gives the camera's whole-pixel shift of every frame.
TEST(Shots, TrackSamplesAreTheSampleShotsExports) {
    const ShotSpec shot = SampleShot();
    const TrackFormat formats[] = {TrackFormat::Csv,       TrackFormat::Json,     TrackFormat::Text,
                                   TrackFormat::AfterEffects, TrackFormat::Chan,  TrackFormat::NukeAscii,
                                   TrackFormat::Equalizer, TrackFormat::PfTrack,  TrackFormat::SynthEyes,
                                   TrackFormat::Shake};
    for (TrackFormat format : formats) {
        const std::string name = ShotTrackFileName(format);
        SCOPED_TRACE(name);
        const fs::path path = fs::path(TESSELLON_TRACK_SAMPLES) / name;
        EXPECT_EQ(Bytes(path), ShotTrackText(shot, format))
            << "remake it with: tessellon shot --track-format " << TrackFormatName(format);
        Track track = ReadTrackFile(path.string());
        ASSERT_EQ(track.Keys.size(), size_t(shot.FrameCount));
        ConvertTrack(track, track.Units.value_or(TrackUnits::Normalized),
                     track.Origin.value_or(TrackOrigin::BottomLeft), shot.FrameWidth, shot.FrameHeight);
        // A feature moves against the camera.
        const double sign = track.Kind == TrackKind::Feature ? -1.0 : 1.0;
        for (int k = 0; k < shot.FrameCount; ++k) {
            const TrackKey& key = track.Keys[size_t(k)];
            EXPECT_EQ(key.Frame, shot.FirstFrame + k);
            EXPECT_EQ(sign * (key.X - track.Keys[0].X) * shot.FrameWidth, CameraAt(shot, k).ShiftX) << "frame " << k;
            EXPECT_EQ(sign * (key.Y - track.Keys[0].Y) * shot.FrameHeight, CameraAt(shot, k).ShiftY) << "frame " << k;
        }
    }
    ShotSpec rolling = shot;
    rolling.RollDegrees = 2.0;
    EXPECT_THROW(ShotTrackText(rolling, TrackFormat::Shake), Error);   // no angle to hold the roll
    EXPECT_THROW(ShotTrackText(shot, TrackFormat::Auto), Error);
}

}  // namespace
