// Whole runs of the built `tessellon` on small generated sequences, each in a
// fresh folder. Results are compared bit for bit with the plug-in driven
// directly in this process through the same module.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "RunLog.h"

using namespace tessellon;
namespace fs = std::filesystem;

namespace {

constexpr int W = 32;
constexpr int H = 24;

// One frame of the test shot: the camera's whole-pixel shift and roll.
// Shifts are multiples of W/8 and H/8, so positions are exact in every unit
// and origin the track can be written in.
struct Shot {
    int Frame;
    int ShiftX, ShiftY;
    double Angle;
};

const std::vector<Shot> kShot = {
    {1, 0, 0, 0.0}, {2, 4, 3, 0.0}, {3, 8, -3, 10.0}, {4, 12, 0, 0.0}, {5, -4, 6, -20.0},
};

// A textured world, the same for every frame, and a red block that moves.
float World(int x, int y, int c) {
    const int v = ((x * 37 + y * 91 + c * 53) % 251 + 251) % 251;
    return float(v) / 250.0f;
}

std::vector<float> FramePixels(const Shot& shot) {
    std::vector<float> rgba(size_t(W) * H * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float* p = &rgba[(size_t(y) * W + size_t(x)) * 4];
            const int wx = x + shot.ShiftX, wy = y + shot.ShiftY;
            for (int c = 0; c < 3; ++c) p[c] = World(wx, wy, c);
            p[3] = 1.0f;
            if (wx >= 4 * shot.Frame && wx < 4 * shot.Frame + 5 && wy >= 8 && wy < 13) {
                p[0] = 1.0f;
                p[1] = 0.0f;
                p[2] = 0.0f;
            }
        }
    return rgba;
}

using Held = HostRef<Image>;

Held MakeImage(const std::vector<float>& rgba, int w, int h) {
    Held image(NewImage({Tag<IMG_Width>(w), Tag<IMG_Height>(h)}));
    for (int y = 0; y < h; ++y) image.Get()->WriteSpan(0, y, w, &rgba[size_t(y) * size_t(w) * 4]);
    return image;
}

std::vector<float> Pixels(const Image& image) {
    std::vector<float> rgba(size_t(image.Width) * size_t(image.Height) * 4);
    for (int y = 0; y < image.Height; ++y)
        image.ReadSpan(0, y, image.Width, &rgba[size_t(y) * size_t(image.Width) * 4]);
    return rgba;
}

// Bit for bit, NaN payloads included.
::testing::AssertionResult SameImage(const Image& a, const Image& b) {
    if (a.Width != b.Width || a.Height != b.Height)
        return ::testing::AssertionFailure() << a.Width << " x " << a.Height << " against " << b.Width << " x "
                                             << b.Height;
    const std::vector<float> pa = Pixels(a), pb = Pixels(b);
    for (size_t i = 0; i < pa.size(); ++i)
        if (std::memcmp(&pa[i], &pb[i], sizeof(float)) != 0)
            return ::testing::AssertionFailure() << "pixel " << (i / 4) % size_t(a.Width) << ", "
                                                 << (i / 4) / size_t(a.Width) << " channel " << i % 4 << ": "
                                                 << pa[i] << " against " << pb[i];
    return ::testing::AssertionSuccess();
}

double TrackX(const Shot& s) { return 0.5 + double(s.ShiftX) / W; }
double TrackY(const Shot& s) { return 0.5 + double(s.ShiftY) / H; }

std::string Num(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The plug-in driven in this process, as `tessellon` drives it.
struct DirectRender {
    std::map<int, const Image*> Frames;
    std::vector<Shot> Keys;   // empty: no track
    bool Angles = true;
    double Start = 1, End = 5;
    int Method = 0;

    Held Run() const {
        static HostModule* module = [] {
            std::string error;
            HostModule* loaded = LoadModule(TESSELLON_MODULE, &error);
            EXPECT_NE(loaded, nullptr) << error;
            return loaded;
        }();
        if (!module) return Held();
        const Registry* record = ClassRegistry.Find("Orvandel.Tessellon");
        EXPECT_NE(record, nullptr);
        if (!record) return Held();
        Operator* op = record->Create(ScriptVal(), TagList());
        op->FindInput("FilterMethod")->SetValue(double(Method));
        op->FindInput("StartFrame")->SetValue(Start);
        op->FindInput("EndFrame")->SetValue(End);
        Input* position = op->FindInput("TrackData");
        Input* angle = op->FindInput("Angle");
        if (Keys.empty()) position->SetValue(0.5, 0.5);
        for (const Shot& key : Keys) {
            position->SetKey(double(key.Frame), TrackX(key), TrackY(key));
            if (Angles) angle->SetKey(double(key.Frame), key.Angle);
        }
        if (Keys.empty() || !Angles) angle->SetValue(0.0);
        op->FindInput("Input")->SetImageSource([this](double time) -> Image* {
            const auto it = Frames.find(int(time));
            if (it == Frames.end() || double(int(time)) != time) return nullptr;
            Image* image = const_cast<Image*>(it->second);
            image->Use();
            return image;
        });
        HostApp::RenderResult result = HostApp::Render(op, op->FindOutput("Output"), Start);
        delete op;
        EXPECT_FALSE(result.Failed) << result.Error;
        return Held(static_cast<Image*>(result.Output));
    }
};

struct RunResult {
    int Status = -1;
    std::string Out, Err, Log;   // Log: the progress lines of stderr
};

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Count(const std::string& text, const std::string& word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

class Tessellon : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ::unsetenv("TESSELLON_PLUGIN_PATH"); }

    void SetUp() override {
        std::string work = (fs::temp_directory_path() / "tessellon-e2e-XXXXXX").string();
        dir_ = ::mkdtemp(work.data());
        std::string logs = (fs::temp_directory_path() / "tessellon-e2e-logs-XXXXXX").string();
        logs_ = ::mkdtemp(logs.data());
        live_ = HostApp::LiveObjects();
    }

    void TearDown() override {
        frames_.clear();
        fs::remove_all(dir_);
        fs::remove_all(logs_);
        EXPECT_EQ(HostApp::LiveObjects(), live_);
    }

    // Runs the binary in the test's folder.
    RunResult Run(const std::vector<std::string>& args) {
        std::string command = "cd " + ShellQuote(dir_.string()) + " && " + ShellQuote(TESSELLON_EXE);
        for (const std::string& arg : args) command.append(1, ' ').append(ShellQuote(arg));
        command.append(" >").append(ShellQuote((logs_ / "out").string()));
        command.append(" 2>").append(ShellQuote((logs_ / "err").string()));
        RunResult result;
        const int status = std::system(command.c_str());
        result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.Out = ReadAll(logs_ / "out");
        result.Err = ReadAll(logs_ / "err");
        result.Log = TakeProgressLines(result.Err);
        EXPECT_EQ(result.Err.find("not given back"), std::string::npos) << result.Err;
        return result;
    }

    fs::path At(const std::string& name) const { return dir_ / name; }

    void WriteText(const std::string& name, const std::string& text) const {
        fs::create_directories(At(name).parent_path());
        std::ofstream(At(name), std::ios::binary) << text;
    }

    // Writes the shot's frames under `nameOf(number)`, numbered from
    // `offset` + 1, and keeps them for direct renders.
    template <class NameOf>
    void WriteShot(NameOf nameOf, int offset = 0) {
        for (const Shot& s : kShot) {
            const int number = s.Frame + offset;
            Held image = MakeImage(FramePixels(s), W, H);
            fs::create_directories(At(nameOf(number)).parent_path());
            WriteImageFile(*image.Get(), At(nameOf(number)).string());
            frames_[number] = std::move(image);
        }
    }
    void WriteShot() {
        WriteShot([](int f) {
            char name[32];
            std::snprintf(name, sizeof name, "f.%04d.exr", f);
            return std::string(name);
        });
    }

    // The track as normalized bottom-left CSV.
    static std::string TrackCsv() {
        std::string text = "frame,x,y,angle\n";
        for (const Shot& s : kShot)
            text += std::to_string(s.Frame) + "," + Num(TrackX(s)) + "," + Num(TrackY(s)) + "," + Num(s.Angle) + "\n";
        return text;
    }

    DirectRender Direct(int method = 0) const {
        DirectRender render;
        for (const auto& [frame, image] : frames_) render.Frames[frame] = image.Get();
        render.Keys = kShot;
        render.Method = method;
        return render;
    }

    Held ReadOutput(const std::string& name) const {
        return Held(ReadImageFile(At(name).string(), ImageLimits(), nullptr));
    }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            names.insert(fs::relative(entry.path(), dir_).string());
        return names;
    }

    fs::path dir_, logs_;
    std::map<int, Held> frames_;
    int64_t live_ = 0;
};

const std::vector<std::string> kStitch = {"stitch", "--frames", "f.%04d.exr", "--track", "t.csv"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_F(Tessellon, StitchIsTheToolDrivenDirectlyBitForBit) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    for (int method : {0, 1}) {
        SCOPED_TRACE(method ? "median" : "unique");
        const RunResult run =
            Run(With(kStitch, {"--method", method ? "median" : "unique", "--output", "out.exr", "--stats"}));
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Err, "");
        EXPECT_NE(run.Out.find("5 of 5 frames"), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("placement"), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("peak resident memory"), std::string::npos) << run.Out;

        const Held written = ReadOutput("out.exr");
        const Held direct = Direct(method).Run();
        ASSERT_NE(written.Get(), nullptr);
        ASSERT_NE(direct.Get(), nullptr);
        // The shifts reach 4 left and 12 right, 3 down and 6 up.
        EXPECT_EQ(written.Get()->Width, W + 16);
        EXPECT_EQ(written.Get()->Height, H + 9);
        EXPECT_TRUE(SameImage(*written.Get(), *direct.Get()));
    }
}

// A shot of EXR frames stitched to EXR, in one pass or as band tasks and
// their merge, never loads the image library, whose binding takes longer
// than such a run; a PNG output loads it.
TEST_F(Tessellon, PlainExrShotsNeverLoadTheImageLibrary) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds link the image library in";
#endif
    WriteShot();
    WriteText("t.csv", TrackCsv());
    ::setenv("LD_DEBUG", "files", 1);
    const std::vector<RunResult> plain = {
        Run(With(kStitch, {"--method", "median", "--output", "out.exr"})),
        Run(With(kStitch, {"--method", "median", "--band", "0/2", "--output", "b0.exr"})),
        Run(With(kStitch, {"--method", "median", "--band", "1/2", "--output", "b1.exr", "--compression", "piz"})),
        Run({"merge", "--output", "merged.exr", "b0.exr", "b1.exr"})};
    const RunResult png = Run(With(kStitch, {"--output", "out.png"}));
    ::unsetenv("LD_DEBUG");
    for (const RunResult& run : plain) {
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(Count(run.Err, "libTessellonImageLibrary.so"), 0u);
        EXPECT_EQ(Count(run.Err, "libOpenImageIO"), 0u);
    }
    ASSERT_EQ(png.Status, 0) << png.Err;
    EXPECT_GT(Count(png.Err, "libTessellonImageLibrary.so"), 0u);
    EXPECT_GT(Count(png.Err, "libOpenImageIO"), 0u);
    EXPECT_EQ(ReadAll(At("merged.exr")), ReadAll(At("out.exr")));
}

TEST_F(Tessellon, OneAndTwoThreadsWriteTheSameImage) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    for (const char* method : {"unique", "median"}) {
        SCOPED_TRACE(method);
        ASSERT_EQ(Run(With(kStitch, {"--method", method, "--threads", "1", "--output", "one.exr"})).Status, 0);
        ASSERT_EQ(Run(With(kStitch, {"--method", method, "--threads", "2", "--output", "two.exr"})).Status, 0);
        const Held one = ReadOutput("one.exr"), two = ReadOutput("two.exr");
        ASSERT_TRUE(one.Get() && two.Get());
        EXPECT_TRUE(SameImage(*one.Get(), *two.Get()));
    }
}

TEST_F(Tessellon, EveryTrackFormatUnitAndOriginGivesTheSameImage) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    ASSERT_EQ(Run(With(kStitch, {"--output", "reference.exr"})).Status, 0);
    const Held reference = ReadOutput("reference.exr");
    ASSERT_NE(reference.Get(), nullptr);

    std::string json = "{\"frames\": [", text, pixelsCsv = "frame,x,y,angle\n", topLeftCsv = pixelsCsv,
                pixelsTopLeftCsv = pixelsCsv, shuffledCsv = "\xEF\xBB\xBF# from a tracker\r\nY,ANGLE,Frame,x\r\n";
    for (const Shot& s : kShot) {
        const std::string f = std::to_string(s.Frame), x = Num(TrackX(s)), y = Num(TrackY(s)), a = Num(s.Angle);
        json += (s.Frame == kShot.front().Frame ? "" : ", ") + std::string("{\"frame\": ") + f + ", \"x\": " + x +
                ", \"y\": " + y + ", \"angle\": " + a + "}";
        text += f + "\t" + x + "  " + y + " " + a + "\n";
        pixelsCsv += f + "," + Num(TrackX(s) * W) + "," + Num(TrackY(s) * H) + "," + a + "\n";
        topLeftCsv += f + "," + x + "," + Num(1.0 - TrackY(s)) + "," + Num(-s.Angle) + "\n";
        pixelsTopLeftCsv += f + "," + Num(TrackX(s) * W) + "," + Num((1.0 - TrackY(s)) * H) + "," + Num(-s.Angle) + "\n";
        shuffledCsv += y + "," + a + "," + f + "," + x + "\r\n";
    }
    json += "]}";

    struct Case {
        const char* Name;
        std::string Text;
        std::vector<std::string> Options;
    };
    const std::vector<Case> cases = {
        {"track.json", json, {}},
        {"track.txt", text, {}},
        {"track.chan", text, {}},
        {"shuffled.csv", shuffledCsv, {}},
        {"pixels.csv", pixelsCsv, {"--track-units", "pixels"}},
        {"topleft.csv", topLeftCsv, {"--track-origin", "top-left"}},
        {"both.csv", pixelsTopLeftCsv, {"--track-units", "pixels", "--track-origin", "top-left"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteText(c.Name, c.Text);
        const RunResult run = Run(With({"stitch", "--frames", "f.%04d.exr", "--track", c.Name, "--output", "out.exr"},
                                       c.Options));
        ASSERT_EQ(run.Status, 0) << run.Err;
        const Held out = ReadOutput("out.exr");
        ASSERT_NE(out.Get(), nullptr);
        EXPECT_TRUE(SameImage(*out.Get(), *reference.Get()));
    }
}

// 4 / 24 rows from the top become fractions whose difference, times 24,
// truncates to 3: the pixel track must still shift frame 2 by 4 rows.
TEST_F(Tessellon, WholePixelOffsetsInAPixelTrackLandOnThosePixels) {
    for (const Shot& s : {Shot{1, 0, 0, 0.0}, Shot{2, -5, 4, 0.0}})
        WriteImageFile(*MakeImage(FramePixels(s), W, H).Get(), At("f.000" + std::to_string(s.Frame) + ".exr").string());
    WriteText("t.csv", "frame,x,y\n1,20,4\n2,15,0\n");
    const RunResult run =
        Run(With(kStitch, {"--track-units", "pixels", "--track-origin", "top-left", "--output", "out.exr"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    const Held out = ReadOutput("out.exr");
    ASSERT_NE(out.Get(), nullptr);
    ASSERT_EQ(out.Get()->Width, W + 5);
    ASSERT_EQ(out.Get()->Height, H + 4);
    // The columns left of frame 1 are frame 2's alone: canvas (x, y) shows world (x - 5, y).
    const std::vector<float> rgba = Pixels(*out.Get());
    for (int y = 4; y < H + 4; ++y)
        for (int x = 0; x < 5; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(rgba[(size_t(y) * (W + 5) + size_t(x)) * 4 + size_t(c)], c < 3 ? World(x - 5, y, c) : 1.0f)
                    << x << ", " << y;
}

// Each sample in docs/tracks/samples is the track of `tessellon shot` as
// its tracker exports it, in the format's own units, origin and kind: read
// with the format's defaults, it must place every frame exactly where the
// shot's own camera track does.
TEST_F(Tessellon, EachTrackSampleStitchesTheSampleShotAsItsExactTrack) {
    ASSERT_EQ(Run({"shot", "--output-dir", "shot", "--track-format", "auto"}).Status, 2);
    EXPECT_FALSE(fs::exists(At("shot"))) << "a refused shot writes nothing";
    const RunResult shot = Run({"shot", "--output-dir", "shot"});
    ASSERT_EQ(shot.Status, 0) << shot.Err;
    const std::vector<std::string> stitch = {"stitch", "--frames", "shot/frame.%04d.exr", "--output"};
    const RunResult truth = Run(With(stitch, {"truth.exr", "--track", "shot/track.csv", "--quiet"}));
    ASSERT_EQ(truth.Status, 0) << truth.Err;
    const Held reference = ReadOutput("truth.exr");
    ASSERT_NE(reference.Get(), nullptr);
    // 128 x 64 frames, a pan of 88 pixels and a drift from -5 to +5.
    EXPECT_EQ(reference.Get()->Width, 128 + 88);
    EXPECT_EQ(reference.Get()->Height, 64 + 10);

    for (const char* sample : {"track.csv", "track.json", "track.txt", "track_ae.txt", "track.chan", "track_curve.txt",
                               "track_3de.txt", "track.2dt", "track_syntheyes.txt", "track_shake.txt"}) {
        SCOPED_TRACE(sample);
        const RunResult run =
            Run(With(stitch, {"out.exr", "--track", std::string(TESSELLON_TRACK_SAMPLES) + "/" + sample, "--quiet"}));
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_EQ(run.Err, "");
        const Held out = ReadOutput("out.exr");
        ASSERT_NE(out.Get(), nullptr);
        EXPECT_TRUE(SameImage(*out.Get(), *reference.Get()));
    }
}

TEST_F(Tessellon, MalformedTracksNameFileAndLine) {
    WriteShot();
    struct Case {
        const char* Name;
        const char* Text;
        const char* Where;
        const char* Words;
    };
    const Case cases[] = {
        {"nocolumn.csv", "frame,x\n1,0.5\n", "nocolumn.csv:1", "y"},
        {"word.csv", "frame,x,y\n1,0.5,0.5\n2,abc,0.5\n", "word.csv:3:", "abc"},
        {"junk.csv", "frame,x,y\n1,0.5,0.5\n\n# note\n2,1.5px,0.5\n", "junk.csv:5:", "1.5px"},
        {"twice.csv", "frame,x,y\n1,0.5,0.5\n2,0.5,0.5\n1,0.6,0.5\n", "twice.csv:4", "1"},
        {"nan.json", "{\"frames\": [\n {\"frame\": 1, \"x\": 0.5, \"y\": 0.5},\n {\"frame\": 2, \"x\": NaN, \"y\": 0.5}\n]}",
         "nan.json:", ""},
        {"short.txt", "1 0.5 0.5\n2 0.5\n", "short.txt:2", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteText(c.Name, c.Text);
        const std::set<std::string> before = Listing();
        const RunResult run =
            Run({"stitch", "--frames", "f.%04d.exr", "--track", c.Name, "--output", "out.exr"});
        EXPECT_EQ(run.Status, 2);
        EXPECT_EQ(run.Err.rfind("tessellon ERROR: ", 0), 0u) << run.Err;
        EXPECT_NE(run.Err.find(c.Where), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find(c.Words), std::string::npos) << run.Err;
        EXPECT_EQ(Listing(), before) << "a failed run wrote something";
    }
}

TEST_F(Tessellon, PatternsFindTheirFrames) {
    struct Case {
        const char* Pattern;
        const char* Format;   // how the files are named
        int First;            // the frame number the shot's first frame gets
        const char* Summary;
    };
    const Case cases[] = {
        {"a.#.exr", "a.%04d.exr", 1, "5 of 5 frames"},
        {"b.@.exr", "b.%d.exr", 1, "5 of 5 frames"},
        {"c.@@.exr", "c.%02d.exr", 8, "5 of 5 frames"},
        {"neg.%04d.exr", "neg.%04d.exr", -3, "5 of 5 frames"},
        {"sub/d_%d.exr", "sub/d_%d.exr", -2, "5 of 5 frames"},
        {"r.2-4#.exr", "r.%04d.exr", 1, "3 of 3 frames"},
    };
    bool first = true;
    Held reference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Pattern);
        // The same pictures under other numbers: without a track every frame
        // sits at (0.5, 0.5), so the numbering must not change the image.
        WriteShot(
            [&](int f) {
                char name[64];
                std::snprintf(name, sizeof name, c.Format, f);
                return std::string(name);
            },
            c.First - 1);
        const RunResult run = Run({"stitch", "--frames", c.Pattern, "--output", "out.exr"});
        ASSERT_EQ(run.Status, 0) << run.Err;
        EXPECT_NE(run.Out.find(c.Summary), std::string::npos) << run.Out;
        Held out = ReadOutput("out.exr");
        ASSERT_NE(out.Get(), nullptr);
        EXPECT_EQ(out.Get()->Width, W);
        EXPECT_EQ(out.Get()->Height, H);
        if (std::string(c.Summary) != "5 of 5 frames") continue;
        if (first) {
            reference = std::move(out);
            first = false;
        } else {
            EXPECT_TRUE(SameImage(*out.Get(), *reference.Get()));
        }
    }
}

TEST_F(Tessellon, MissingFramesAreSkippedWithOneWarning) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    fs::remove(At("f.0003.exr"));
    fs::remove(At("f.0004.exr"));
    const RunResult run = Run(With(kStitch, {"--method", "median", "--output", "out.exr"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(Count(run.Err, "tessellon WARNING: "), 1u) << run.Err;
    EXPECT_EQ(Count(run.Err, "\n"), 1u) << run.Err;
    EXPECT_NE(run.Err.find("3-4"), std::string::npos) << run.Err;
    EXPECT_NE(run.Out.find("3 of 5 frames"), std::string::npos) << run.Out;

    DirectRender direct = Direct(1);
    direct.Frames.erase(3);
    direct.Frames.erase(4);
    const Held expected = direct.Run();
    const Held out = ReadOutput("out.exr");
    ASSERT_TRUE(out.Get() && expected.Get());
    EXPECT_TRUE(SameImage(*out.Get(), *expected.Get()));
}

// What a render farm keeps of a run: the progress as plain lines, a phase
// at a time, and the report.
TEST_F(Tessellon, BatchRunsLogTheirPhasesAndReportTheRun) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    fs::remove(At("f.0003.exr"));
    WriteText("f.0004.exr", "not an image");
    const RunResult run = Run(With(kStitch, {"--method", "median", "--output", "out.exr", "--skip-bad-frames",
                                             "--report", "run.json"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    size_t at = 0;
    for (const char* phase : {"reading frame headers", "gathering", "placing layers", "compositing", "releasing",
                              "writing the output"}) {
        const size_t found = run.Log.find(phase, at);
        EXPECT_NE(found, std::string::npos) << phase << " in order, in\n" << run.Log;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(run.Log.find('\r'), std::string::npos) << "no terminal line drawing in a log";

    std::ifstream in(At("run.json"));
    const nlohmann::json report = nlohmann::json::parse(in);
    EXPECT_EQ(report["frames"]["used"], "1-2, 5");
    EXPECT_EQ(report["frames"]["without_file"], "3");
    ASSERT_EQ(report["frames"]["skipped"].size(), 1u);
    EXPECT_EQ(report["frames"]["skipped"][0]["frame"], 4);
    EXPECT_NE(report["frames"]["skipped"][0]["reason"].get<std::string>().find("f.0004.exr"), std::string::npos);
    const Held out = ReadOutput("out.exr");
    ASSERT_TRUE(out.Get());
    EXPECT_EQ(report["canvas"]["width"], out.Get()->Width);
    EXPECT_EQ(report["canvas"]["height"], out.Get()->Height);
    EXPECT_EQ(report["warnings"].size(), size_t(Count(run.Err, "tessellon WARNING: ")));
    EXPECT_GT(report["memory"]["peak_resident"].get<double>(), 0.0);
    EXPECT_GE(report["seconds"]["total"].get<double>(), report["seconds"]["writing"].get<double>());

    const RunResult quiet = Run(With(kStitch, {"--output", "out.exr", "--quiet", "--report", "no/such/run.json"}));
    EXPECT_EQ(quiet.Status, 2) << quiet.Err;
    EXPECT_EQ(quiet.Log, "") << "a quiet run logs nothing";
    EXPECT_NE(quiet.Err.find("no/such/run.json"), std::string::npos) << quiet.Err;
}

TEST_F(Tessellon, AMissingStartFrameIsBadInput) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    fs::remove(At("f.0001.exr"));
    const std::set<std::string> before = Listing();
    const RunResult run = Run(With(kStitch, {"--output", "out.exr"}));
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Err.find("tessellon ERROR: no image at the start frame 1"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("f.0001.exr"), std::string::npos) << run.Err;
    EXPECT_EQ(Listing(), before);
}

TEST_F(Tessellon, UnreadableFramesFailOrAreSkipped) {
    struct Case {
        const char* Damage;
        bool Skip;
    };
    const Case cases[] = {
        {"garbage", false}, {"garbage", true}, {"truncated", false},
        {"truncated", true}, {"folder", false}, {"folder", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Damage) + (c.Skip ? " skipped" : ""));
        WriteShot();
        WriteText("t.csv", TrackCsv());
        const fs::path bad = At("f.0003.exr");
        if (std::string(c.Damage) == "garbage") {
            WriteText("f.0003.exr", "these bytes are not an image");
        } else if (std::string(c.Damage) == "truncated") {
            // The header survives, the pixels do not: found only when decoding.
            fs::resize_file(bad, fs::file_size(bad) / 2);
        } else {
            fs::remove(bad);
            fs::create_directory(bad);
        }
        const std::set<std::string> before = Listing();
        std::vector<std::string> args = With(kStitch, {"--output", "out.exr"});
        if (c.Skip) args.push_back("--skip-bad-frames");
        const RunResult run = Run(args);
        if (!c.Skip) {
            EXPECT_EQ(run.Status, 2);
            EXPECT_EQ(run.Err.rfind("tessellon ERROR: ", 0), 0u) << run.Err;
            EXPECT_NE(run.Err.find("f.0003.exr"), std::string::npos) << run.Err;
            EXPECT_EQ(Listing(), before);
        } else {
            ASSERT_EQ(run.Status, 0) << run.Err;
            EXPECT_NE(run.Err.find("tessellon WARNING: skipped frame 3"), std::string::npos) << run.Err;
            EXPECT_NE(run.Out.find("4 of 5 frames"), std::string::npos) << run.Out;
            DirectRender direct = Direct();
            direct.Frames.erase(3);
            const Held expected = direct.Run();
            const Held out = ReadOutput("out.exr");
            ASSERT_TRUE(out.Get() && expected.Get());
            EXPECT_TRUE(SameImage(*out.Get(), *expected.Get()));
        }
        fs::remove_all(dir_);
        fs::create_directory(dir_);
    }
    // Skipped or not, an unreadable start frame leaves the tool without an image.
    WriteShot();
    WriteText("t.csv", TrackCsv());
    WriteText("f.0001.exr", "not an image");
    const RunResult run = Run(With(kStitch, {"--output", "out.exr", "--skip-bad-frames"}));
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Err.find("no image at the start frame 1: f.0001.exr"), std::string::npos) << run.Err;
    EXPECT_FALSE(fs::exists(At("out.exr")));
}

TEST_F(Tessellon, FailuresHaveTheirStatusAndWriteNothing) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    // Frame 4's key pushes the canvas to ten million frame widths.
    WriteText("wild.csv", "frame,x,y\n1,0.5,0.5\n2,0.5,0.5\n\n4,1e7,0.5\n5,0.5,0.5\n");
    fs::create_directory(At("taken.exr"));
    const std::vector<std::string> base = {"stitch", "--frames", "f.%04d.exr"};
    struct Case {
        std::vector<std::string> Args;
        int Status;
        std::vector<std::string> Words;
    };
    const std::vector<Case> cases = {
        {{}, 2, {"subcommand"}},
        {{"stitch"}, 2, {"--frames"}},
        {{"stitch", "--frames", "f.%04d.exr"}, 2, {"--output"}},
        {{"frobnicate"}, 2, {"frobnicate"}},
        {With(base, {"--output", "o.exr", "--method", "mean"}), 2, {"--method"}},
        {With(base, {"--output", "o.exr", "--threads", "0"}), 2, {"--threads"}},
        {With(base, {"--output", "o.exr", "--start", "one"}), 2, {"--start"}},
        {With(base, {"--output", "o.xyz"}), 2, {"o.xyz", "unknown output file type"}},
        {With(base, {"--output", "nowhere/o.exr"}), 2, {"nowhere", "does not exist"}},
        {With(base, {"--output", "t.csv/o.exr"}), 2, {"t.csv", "not a folder"}},
        {With(base, {"--output", "/sys/o.exr"}), 2, {"/sys", "takes no new files"}},
        {With(base, {"--output", "taken.exr"}), 2, {"taken.exr", "folder"}},
        {With(base, {"--output", "f.0002.exr"}), 2, {"f.0002.exr", "input"}},
        {With(base, {"--output", "./f.0009.exr"}), 2, {"frame 9 of the input sequence"}},
        {{"stitch", "--frames", "g.%04d.exr", "--output", "o.exr"}, 2, {"no files match", "g.0001.exr"}},
        {{"stitch", "--frames", "frames.exr", "--output", "o.exr"}, 2, {"no frame number"}},
        {With(base, {"--output", "o.exr", "--start", "7"}), 2, {"start frame 7", "f.0007.exr", "frames with files: 1-5"}},
        {With(base, {"--output", "o.exr", "--track", "none.csv"}), 2, {"none.csv"}},
        {With(base, {"--output", "o.exr", "--track", "wild.csv"}), 2, {"wild.csv:5:", "frame 4", "--track-units pixels"}},
        {With(base, {"--output", "o.exr", "--track", "t.csv", "--max-canvas-size", "47"}), 2,
         {"t.csv:6:", "frame 5", "48 x 33"}},
        {With(base, {"--output", "o.exr", "--track", "t.csv", "--max-canvas-size", "40"}), 2,
         {"t.csv:5:", "frame 4", "--max-canvas-size"}},
        {With(base, {"--output", "o.exr", "--track", "t.csv", "--max-image-bytes", "10K"}), 2,
         {"start frame", "--max-image-bytes"}},
        {With(base, {"--output", "o.exr", "--max-memory", "1K"}), 2, {"--max-memory", "memory budget"}},
        {With(base, {"--output", "o.exr", "--max-memory", "lots"}), 2, {"--max-memory"}},
        {With(base, {"--output", "o.exr", "--max-image-size", "16"}), 2, {"f.0001.exr"}},
        {With(base, {"--output", "o.exr", "--track", "t.csv", "--colorconvert", "nosuchspace", "sRGB"}), 2, {"nosuchspace"}},
        {With(base, {"--output", "o.exr", "--plugin", "nowhere.so"}), 2, {"nowhere.so"}},
    };
    const std::set<std::string> before = Listing();
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& arg : c.Args) line += arg + " ";
        SCOPED_TRACE(line);
        const RunResult run = Run(c.Args);
        EXPECT_EQ(run.Status, c.Status) << run.Err;
        EXPECT_EQ(run.Err.rfind("tessellon ERROR: ", 0), 0u) << run.Err;
        for (const std::string& word : c.Words) EXPECT_NE(run.Err.find(word), std::string::npos) << run.Err;
        EXPECT_EQ(Listing(), before) << "a failed run wrote something";
    }
    // The limits are inclusive: the canvas is 48 x 33.
    EXPECT_EQ(Run(With(base, {"--output", "o.exr", "--track", "t.csv", "--max-canvas-size", "48"})).Status, 0);
}

TEST_F(Tessellon, EqualStartAndEndPassTheStartFrameThrough) {
    WriteShot();
    WriteText("t.csv", TrackCsv());
    const RunResult run = Run(With(kStitch, {"--start", "3.9", "--end", "3.2", "--output", "out.exr", "--quiet"}));
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(run.Err, "");
    const Held out = ReadOutput("out.exr");
    ASSERT_NE(out.Get(), nullptr);
    EXPECT_TRUE(SameImage(*out.Get(), *frames_.at(3).Get()));
}

TEST_F(Tessellon, ToolsListsTheToolAndWritesItsTile) {
    const RunResult run = Run({"tools", "--tile", "tile.bmp"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    for (const char* words : {"Orvandel.Tessellon", "Tessellon tool.", "Built: Mar 15 2009", "ThreadedOperator",
                              "TrackData \"Steady position\": Point, OffsetControl",
                              "\"None (unique pixels)\"", "Output \"Output\": Image", "About \"About\""})
        EXPECT_NE(run.Out.find(words), std::string::npos) << words << "\n" << run.Out;
    const std::string bmp = ReadAll(At("tile.bmp"));
    ASSERT_EQ(bmp.size(), 14u + 40u + 160u * 120u * 4u);
    EXPECT_EQ(bmp.substr(0, 2), "BM");

    ASSERT_EQ(Run({"tools", "--tile", "tile.png"}).Status, 0);
    const Held png = ReadOutput("tile.png");
    ASSERT_NE(png.Get(), nullptr);
    EXPECT_EQ(png.Get()->Width, 160);
    EXPECT_EQ(png.Get()->Height, 120);
    // The bottom-left pixel of both is the same pixel: the first of the bitmap's rows.
    float corner[4];
    png.Get()->ReadSpan(0, 0, 1, corner);
    const uint8_t* first = reinterpret_cast<const uint8_t*>(bmp.data()) + 54;
    EXPECT_EQ(corner[0], float(first[2]) / 255.0f);
    EXPECT_EQ(corner[1], float(first[1]) / 255.0f);
    EXPECT_EQ(corner[2], float(first[0]) / 255.0f);
    EXPECT_EQ(corner[3], 1.0f);
}

TEST_F(Tessellon, AboutShowsTheAboutBox) {
    const RunResult run = Run({"about"});
    ASSERT_EQ(run.Status, 0) << run.Err;
    EXPECT_EQ(run.Out.rfind("About this filter\n\nTessellon 1.0\n", 0), 0u) << run.Out;
    EXPECT_NE(run.Out.find("generates a stitched image from a number of images."), std::string::npos) << run.Out;
}

TEST_F(Tessellon, ThePluginPathFindsTheModule) {
    WriteShot();
    const std::string module = TESSELLON_MODULE;
    ::setenv("TESSELLON_PLUGIN_PATH", ("/nonexistent:" + fs::path(module).parent_path().string()).c_str(), 1);
    const RunResult viaFolder = Run({"about"});
    ::setenv("TESSELLON_PLUGIN_PATH", "/nonexistent/Tessellon.so", 1);
    const RunResult wrong = Run({"about"});
    const RunResult named = Run({"about", "--plugin", module});
    ::unsetenv("TESSELLON_PLUGIN_PATH");
    EXPECT_EQ(viaFolder.Status, 0) << viaFolder.Err;
    EXPECT_EQ(wrong.Status, 2);
    EXPECT_NE(wrong.Err.find("/nonexistent/Tessellon.so"), std::string::npos) << wrong.Err;
    EXPECT_EQ(named.Status, 0) << named.Err;
}

}  // namespace
