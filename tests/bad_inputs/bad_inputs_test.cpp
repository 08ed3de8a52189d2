// The bad-input catalogue: whole runs of the built `tessellon` on small
// generated inputs, each case in a fresh folder. Every case states the exit
// status and the words of the message; every failure must leave the folder
// as it was (no output, no temporary file) and every run must give back all
// its host objects. Cases that must work state what the output holds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <locale.h>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "RunLog.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr int W = 32;
constexpr int H = 24;

// ------------------------------------------------------------------ pictures

// Channel values, top row first, as files store them.
struct Picture {
    int Width = 0, Height = 0, Channels = 4;
    std::vector<float> Values;

    float* At(int x, int row) { return &Values[(size_t(row) * size_t(Width) + size_t(x)) * size_t(Channels)]; }
    const float* At(int x, int row) const {
        return &Values[(size_t(row) * size_t(Width) + size_t(x)) * size_t(Channels)];
    }
};

Picture Blank(int w, int h, int channels) {
    return Picture{w, h, channels, std::vector<float>(size_t(w) * size_t(h) * size_t(channels), 0.0f)};
}

// One frame of the test shot: the camera's whole-pixel shift and roll.
// Shifts are multiples of W/8 and H/8, so the track is exact as text.
struct Shot {
    int Frame;
    int ShiftX, ShiftY;
    double Angle;
};

const std::vector<Shot> kShot = {
    {1, 0, 0, 0.0}, {2, 4, 3, 0.0}, {3, 8, -3, 10.0}, {4, 12, 0, 0.0}, {5, -4, 6, -20.0},
};

// A textured world the camera looks at, multiples of 1/250, and a red block
// that moves with the frame number. File rows run top down: row r shows the
// world's y = H - 1 - r.
Picture ShotFrame(const Shot& shot) {
    Picture p = Blank(W, H, 4);
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; ++x) {
            const int wx = x + shot.ShiftX, wy = (H - 1 - row) + shot.ShiftY;
            float* v = p.At(x, row);
            for (int c = 0; c < 3; ++c) v[c] = float(((wx * 37 + wy * 91 + c * 53) % 251 + 251) % 251) / 250.0f;
            v[3] = 1.0f;
            if (wx >= 4 * shot.Frame && wx < 4 * shot.Frame + 5 && wy >= 8 && wy < 13) {
                v[0] = 1.0f;
                v[1] = 0.0f;
                v[2] = 0.0f;
            }
        }
    return p;
}

std::string Num(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

double TrackX(const Shot& s) { return 0.5 + double(s.ShiftX) / W; }
double TrackY(const Shot& s) { return 0.5 + double(s.ShiftY) / H; }

// The shot's track as rows "frame,x,y,angle" (normalized, bottom-left).
std::vector<std::string> TrackRows(char separator = ',', bool angles = true) {
    std::vector<std::string> rows;
    for (const Shot& s : kShot) {
        const std::string sep(1, separator);
        rows.push_back(std::to_string(s.Frame) + sep + Num(TrackX(s)) + sep + Num(TrackY(s)) +
                       (angles ? sep + Num(s.Angle) : std::string()));
    }
    return rows;
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

const std::string kTrackCsv = "frame,x,y,angle\n" + Join(TrackRows(), "\n");

// --------------------------------------------------------------- PNG headers

uint32_t Crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xffffffffu;
}

void PutBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(char(uint8_t(v >> shift)));
}

void PutChunk(std::string& out, const char* type, const std::string& payload) {
    PutBig32(out, uint32_t(payload.size()));
    const std::string body = type + payload;
    out += body;
    PutBig32(out, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// An 8-bit RGBA PNG whose header claims width x height, with a token IDAT.
std::string PngClaiming(uint32_t width, uint32_t height) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    PutBig32(ihdr, width);
    PutBig32(ihdr, height);
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", std::string("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9));
    PutChunk(png, "IEND", "");
    return png;
}

// A little-endian 8-bit grey TIFF whose header claims width x height in one
// strip of `rowsPerStrip` rows (the strip itself is eight bytes).
std::string TiffClaiming(uint32_t width, uint32_t height, uint32_t rowsPerStrip) {
    std::string tiff("II*\0", 4);
    const auto put16 = [&](uint16_t v) { tiff += char(v & 0xff), tiff += char(v >> 8); };
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) tiff += char(uint8_t(v >> (8 * i)));
    };
    put32(16);
    tiff += std::string(8, '\x80');
    struct Entry {
        uint16_t Tag, Type;
        uint32_t Value;
    };
    const Entry entries[] = {{256, 4, width}, {257, 4, height}, {258, 3, 8},           {259, 3, 1}, {262, 3, 1},
                             {273, 4, 8},     {277, 3, 1},      {278, 4, rowsPerStrip}, {279, 4, 1}};
    put16(uint16_t(std::size(entries)));
    for (const Entry& e : entries) {
        put16(e.Tag);
        put16(e.Type);
        put32(1);
        if (e.Type == 3) {
            put16(uint16_t(e.Value));
            put16(0);
        } else {
            put32(e.Value);
        }
    }
    put32(0);
    return tiff;
}

// ------------------------------------------------------------- files and runs

void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes a picture with the image library in `type`, alpha as given (never
// divided out of the colour). `spec` may move the data window.
void WritePicture(const fs::path& path, const Picture& picture, OIIO::TypeDesc type,
                  const std::function<void(OIIO::ImageSpec&)>& adjust = {}) {
    OIIO::ImageSpec spec(picture.Width, picture.Height, picture.Channels, type);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (adjust) adjust(spec);
    auto out = OIIO::ImageOutput::create(path.string());
    ASSERT_TRUE(out) << OIIO::geterror();
    ASSERT_TRUE(out->open(path.string(), spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, picture.Values.data())) << out->geterror();
    ASSERT_TRUE(out->close()) << out->geterror();
}

// A written output: RGBA floats, top row first, or Width 0 when unreadable.
Picture ReadOutput(const fs::path& path) {
    Picture picture;
    auto in = OIIO::ImageInput::open(path.string());
    EXPECT_TRUE(in) << path << ": " << OIIO::geterror();
    if (!in) return picture;
    const OIIO::ImageSpec spec = in->spec();
    EXPECT_EQ(spec.nchannels, 4);
    EXPECT_EQ(spec.x, spec.full_x);
    EXPECT_EQ(spec.width, spec.full_width);
    picture = Blank(spec.width, spec.height, spec.nchannels);
    EXPECT_TRUE(in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, picture.Values.data()))
        << in->geterror();
    return picture;
}

// Bit for bit, NaN payloads included.
::testing::AssertionResult SamePicture(const Picture& a, const Picture& b) {
    if (a.Width != b.Width || a.Height != b.Height || a.Channels != b.Channels)
        return ::testing::AssertionFailure() << a.Width << " x " << a.Height << " x " << a.Channels << " against "
                                             << b.Width << " x " << b.Height << " x " << b.Channels;
    if (a.Width == 0) return ::testing::AssertionFailure() << "no picture";
    for (size_t i = 0; i < a.Values.size(); ++i)
        if (std::memcmp(&a.Values[i], &b.Values[i], sizeof(float)) != 0) {
            const size_t pixel = i / size_t(a.Channels);
            return ::testing::AssertionFailure() << "pixel " << pixel % size_t(a.Width) << ", row "
                                                 << pixel / size_t(a.Width) << ", channel " << i % size_t(a.Channels)
                                                 << ": " << a.Values[i] << " against " << b.Values[i];
        }
    return ::testing::AssertionSuccess();
}

struct RunResult {
    int Status = -1;
    std::string Out, Err, Log;   // Log: the progress lines of stderr
};

// Whatever a locale variable of the caller says must not reach the child
// unless a case asks for it.
bool Dropped(const char* entry) {
    for (const char* name : {"TESSELLON_PLUGIN_PATH=", "LC_", "LANG=", "LANGUAGE="})
        if (std::strncmp(entry, name, std::strlen(name)) == 0) return true;
    return false;
}

// Runs the built binary in `dir` with `args` and the extra environment
// `env` ("NAME=value"), stdout and stderr into files of `logs`.
RunResult RunTessellon(const fs::path& dir, const fs::path& logs, const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
    std::vector<std::string> argStore = {TESSELLON_EXE};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStore) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** entry = environ; *entry; ++entry)
        if (!Dropped(*entry)) envStore.emplace_back(*entry);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& entry : envStore) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string outPath = (logs / "out").string(), errPath = (logs / "err").string();

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    RunResult result;
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        ADD_FAILURE() << "cannot run " << TESSELLON_EXE;
        return result;
    }
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.Out = ReadBytes(logs / "out");
    result.Err = ReadBytes(logs / "err");
    result.Log = TakeProgressLines(result.Err);
    // Under the sanitizers a report would otherwise pass as exit status 1.
    EXPECT_EQ(result.Err.find("Sanitizer"), std::string::npos) << result.Err;
    EXPECT_EQ(result.Err.find("runtime error"), std::string::npos) << result.Err;
    EXPECT_EQ(result.Err.find("not given back"), std::string::npos) << result.Err;
    return result;
}

// Stderr without the lines libpng prints itself before it gives up on a
// damaged file (the image library leaves its default error printer on).
std::string OwnLines(const std::string& err) {
    std::string own, line;
    std::istringstream lines(err);
    while (std::getline(lines, line))
        if (line.rfind("libpng ", 0) != 0) own += line + "\n";
    return own;
}

bool GermanLocaleInstalled() {
    const locale_t german = ::newlocale(LC_ALL_MASK, "de_DE.UTF-8", locale_t(0));
    if (german == locale_t(0)) return false;
    ::freelocale(german);
    return true;
}

// ------------------------------------------------------------------- the cases

// A case's folder and what it can put there.
class Folder {
public:
    Folder(fs::path dir, fs::path logs) : dir_(std::move(dir)), logs_(std::move(logs)) {}

    fs::path At(const std::string& name) const { return dir_ / name; }
    void Text(const std::string& name, const std::string& text) const { WriteBytes(At(name), text); }

    // The shot under "f.%04d<ext>" in `type` (with the shot's alpha); frames
    // listed in `skip` are not written.
    void WriteShot(const std::string& ext = ".exr", OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT,
                   const std::vector<int>& skip = {}) const {
        for (const Shot& s : kShot) {
            if (std::find(skip.begin(), skip.end(), s.Frame) != skip.end()) continue;
            WritePicture(FramePath(s.Frame, ext), ShotFrame(s), type);
        }
    }
    fs::path FramePath(int frame, const std::string& ext = ".exr") const {
        char name[32];
        std::snprintf(name, sizeof name, "f.%04d", frame);
        return At(name + ext);
    }
    void WriteFrame(int frame, const Picture& picture, OIIO::TypeDesc type, const std::string& ext = ".exr",
                    const std::function<void(OIIO::ImageSpec&)>& adjust = {}) const {
        WritePicture(FramePath(frame, ext), picture, type, adjust);
    }

    RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        return RunTessellon(dir_, logs_, args, env);
    }

    // What a run of the same inputs with `args` writes to `name`.
    Picture RunFor(const std::string& name, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}) const {
        std::vector<std::string> full = args;
        full.insert(full.end(), {"--output", name, "--quiet"});
        const RunResult run = Run(full, env);
        EXPECT_EQ(run.Status, 0) << run.Err;
        Picture picture = run.Status == 0 ? ReadOutput(At(name)) : Picture();
        fs::remove(At(name));
        return picture;
    }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            names.insert(fs::relative(entry.path(), dir_).string());
        return names;
    }

private:
    fs::path dir_, logs_;
};

struct Case {
    std::string Name;
    std::function<void(const Folder&)> Make;   // writes the inputs
    std::vector<std::string> Args;             // "--output out.exr" is added unless an --output is given
    int Status = 0;
    std::vector<std::string> Words;            // in stderr, in any order
    std::vector<std::string> Env = {};         // "NAME=value" for the run
    // For a run that works: what the output ("out.exr") must be. The run's
    // result is given for its summary line and warnings.
    std::function<void(const Folder&, const Picture&, const RunResult&)> Check = {};
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.Name; }

std::vector<std::string> Stitch(const std::string& frames = "f.%04d.exr", const std::string& track = "t.csv") {
    std::vector<std::string> args = {"stitch", "--frames", frames};
    if (!track.empty()) args.insert(args.end(), {"--track", track});
    return args;
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The shot with its track, and one frame replaced by `damage`.
std::function<void(const Folder&)> ShotWith(const std::string& ext, int frame,
                                            const std::function<void(const fs::path&)>& damage) {
    return [=](const Folder& f) {
        f.WriteShot(ext, ext == ".png" ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT);
        f.Text("t.csv", kTrackCsv);
        const fs::path path = f.FramePath(frame, ext);
        fs::remove(path);
        damage(path);
    };
}

// The first half of a whole file of the shot in that format.
std::function<void(const fs::path&)> Truncated(const std::string& ext) {
    return [=](const fs::path& path) {
        const fs::path whole = path.parent_path() / ("whole" + ext);
        WritePicture(whole, ShotFrame(kShot[2]), ext == ".png" ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::FLOAT);
        const std::string bytes = ReadBytes(whole);
        fs::remove(whole);
        WriteBytes(path, bytes.substr(0, bytes.size() / 2));
    };
}

std::string Noise(size_t size) {
    std::string bytes(size, '\0');
    uint32_t seed = 12345;
    for (char& b : bytes) b = char((seed = seed * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// The output equals the shot stitched from the clean track, bit for bit.
void SameAsCleanTrack(const Folder& f, const Picture& out, const RunResult&) {
    f.Text("clean.csv", kTrackCsv);
    EXPECT_TRUE(SamePicture(out, f.RunFor("clean.exr", Stitch("f.%04d.exr", "clean.csv"))));
}

// ---------------------------------------------------------------- image files

// Damaged or hostile frames: each fails the run (naming the file and why),
// or with --skip-bad-frames is left out with a warning.
std::vector<Case> DamagedFrameCases() {
    const auto words = [](const std::string& file, std::vector<std::string> more) {
        more.insert(more.begin(), file);
        return more;
    };
    std::vector<Case> cases = {
        {"ZeroByteFile", ShotWith(".exr", 3, [](const fs::path& p) { WriteBytes(p, ""); }), Stitch(), 2,
         words("f.0003.exr", {"empty", "--skip-bad-frames"})},
        {"TruncatedExr", ShotWith(".exr", 3, Truncated(".exr")), Stitch(), 2,
         words("f.0003.exr", {"cannot read"})},
        {"TruncatedPng", ShotWith(".png", 3, Truncated(".png")), Stitch("f.%04d.png"), 2,
         words("f.0003.png", {"cannot read"})},
        {"RandomBytes", ShotWith(".exr", 3, [](const fs::path& p) { WriteBytes(p, Noise(4096)); }), Stitch(), 2,
         words("f.0003.exr", {"cannot read"})},
        {"DirectoryAsFrame", ShotWith(".exr", 3, [](const fs::path& p) { fs::create_directory(p); }), Stitch(), 2,
         words("f.0003.exr", {"directory"})},
        {"HeaderClaims100000x100000", ShotWith(".png", 3, [](const fs::path& p) {
             WriteBytes(p, PngClaiming(100000, 100000));
         }),
         Stitch("f.%04d.png"), 2, words("f.0003.png", {"100000 x 100000", "limit", "65535", "--max-image-size"})},
        {"PngClaims1x2pow31", ShotWith(".png", 3, [](const fs::path& p) { WriteBytes(p, PngClaiming(1, 1u << 31)); }),
         Stitch("f.%04d.png"), 2, words("f.0003.png", {"cannot read"})},
        {"TiffClaims1x2pow31", ShotWith(".tif", 3, [](const fs::path& p) {
             WriteBytes(p, TiffClaiming(1, 1u << 31, 0x7fffffffu));
         }),
         Stitch("f.%04d.tif"), 2, words("f.0003.tif", {"2147483648", "limit"})},
        {"TiffClaims1x2pow31Less1", ShotWith(".tif", 3, [](const fs::path& p) {
             WriteBytes(p, TiffClaiming(1, 0x7fffffffu, 0x7fffffffu));
         }),
         Stitch("f.%04d.tif"), 2, words("f.0003.tif", {"1 x 2147483647", "limit", "--max-image-size"})},
        {"PngZeroWidth", ShotWith(".png", 3, [](const fs::path& p) { WriteBytes(p, PngClaiming(0, 16)); }),
         Stitch("f.%04d.png"), 2, words("f.0003.png", {"cannot read"})},
        {"TiffZeroWidth", ShotWith(".tif", 3, [](const fs::path& p) { WriteBytes(p, TiffClaiming(0, 16, 16)); }),
         Stitch("f.%04d.tif"), 2, words("f.0003.tif", {"cannot read"})},
        {"FifoAsFrame", ShotWith(".exr", 3, [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }),
         Stitch(), 2, words("f.0003.exr", {"not a regular file"})},
        {"DanglingLinkAsFrame", ShotWith(".exr", 3, [](const fs::path& p) { fs::create_symlink("gone.exr", p); }),
         Stitch(), 2, words("f.0003.exr", {"no such file"})},
        {"TooManyChannels", ShotWith(".exr", 3, [](const fs::path& p) {
             WritePicture(p, Blank(W, H, 1025), OIIO::TypeDesc::HALF);
         }),
         Stitch(), 2, words("f.0003.exr", {"1025 channels", "1024", "--max-channels"})},
        {"StartFrameClaims100000x100000", ShotWith(".png", 1, [](const fs::path& p) {
             WriteBytes(p, PngClaiming(100000, 100000));
         }),
         Stitch("f.%04d.png"), 2, words("f.0001.png", {"100000 x 100000", "--max-image-size"})},
        {"DamagedStartFrame", ShotWith(".exr", 1, [](const fs::path& p) { WriteBytes(p, Noise(100)); }), Stitch(), 2,
         words("f.0001.exr", {"cannot read"})},
        {"DamagedStartFrameSkipped", ShotWith(".exr", 1, [](const fs::path& p) { WriteBytes(p, Noise(100)); }),
         With(Stitch(), {"--skip-bad-frames"}), 1, words("f.0001.exr", {"no image at the start frame 1"})},
        {"HugeFrameBelowARaisedLimit", ShotWith(".png", 3, [](const fs::path& p) {
             WriteBytes(p, PngClaiming(100000, 100000));
         }),
         With(Stitch("f.%04d.png"), {"--max-image-size", "200000"}), 2,
         words("f.0003.png", {"bytes of pixels", "--max-frame-bytes"})},
    };
    // A frame that is damaged mid-range is left out when asked; the rest is
    // the same stitch without it.
    for (const auto& [name, ext, damage] :
         std::vector<std::tuple<std::string, std::string, std::function<void(const fs::path&)>>>{
             {"TruncatedExrSkipped", ".exr", Truncated(".exr")},
             {"TruncatedPngSkipped", ".png", Truncated(".png")},
             {"ZeroByteFileSkipped", ".exr", [](const fs::path& p) { WriteBytes(p, ""); }},
             {"HeaderClaims100000x100000Skipped", ".png",
              [](const fs::path& p) { WriteBytes(p, PngClaiming(100000, 100000)); }},
         }) {
        const std::string frames = "f.%04d" + ext;
        cases.push_back(Case{name, ShotWith(ext, 3, damage), With(Stitch(frames), {"--skip-bad-frames"}), 0,
                             {"WARNING", "skipped frame 3", "f.0003" + ext}, {},
                             [frames, ext](const Folder& f, const Picture& out, const RunResult& run) {
                                 EXPECT_NE(run.Out.find("4 of 5 frames"), std::string::npos) << run.Out;
                                 // The same as the shot without frame 3.
                                 fs::remove_all(f.FramePath(3, ext));
                                 const Picture without = f.RunFor("without.exr", Stitch(frames));
                                 EXPECT_TRUE(SamePicture(out, without));
                             }});
    }
    return cases;
}

// Channel counts map by position: one is grey, two grey and alpha, three
// RGB, four RGBA, more the first four. Two identical frames in place give
// each opaque pixel as the file holds it, every other pixel (0, 0, 0, 0).
Case ChannelCase(const std::string& name, int channels, OIIO::TypeDesc type, const std::string& ext) {
    const double scale = type == OIIO::TypeDesc::UINT8 ? 255.0 : type == OIIO::TypeDesc::UINT16 ? 65535.0 : 0.0;
    Picture file = Blank(W, H, channels);
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < channels; ++c) {
                const int v = (x * 29 + row * 13 + c * 71) % 256;
                float value = scale > 0 ? float(v) / 255.0f : float(v) / 64.0f - 1.0f;
                // Alpha: opaque, half or clear by position.
                const bool alpha = (channels == 2 && c == 1) || (channels >= 4 && c == 3);
                if (alpha) value = (x + row) % 3 == 0 ? 0.5f : (x + row) % 3 == 1 ? 1.0f : 0.0f;
                file.At(x, row)[c] = value;
            }
    // What the host reads: 8- and 16-bit values divided by their maximum.
    const auto stored = [scale](float value) {
        return scale > 0 ? float(std::lround(double(value) * scale)) / float(scale) : value;
    };
    Picture expected = Blank(W, H, 4);
    for (int row = 0; row < H; ++row)
        for (int x = 0; x < W; ++x) {
            const float* in = file.At(x, row);
            float rgba[4];
            switch (channels) {
            case 1: rgba[0] = rgba[1] = rgba[2] = stored(in[0]), rgba[3] = 1.0f; break;
            case 2: rgba[0] = rgba[1] = rgba[2] = stored(in[0]), rgba[3] = stored(in[1]); break;
            case 3: for (int c = 0; c < 3; ++c) rgba[c] = stored(in[c]); rgba[3] = 1.0f; break;
            default: for (int c = 0; c < 4; ++c) rgba[c] = stored(in[c]);
            }
            if (rgba[3] == 1.0f) std::copy_n(rgba, 4, expected.At(x, row));
        }
    return Case{name,
                [=](const Folder& f) {
                    f.WriteFrame(1, file, type, ext);
                    f.WriteFrame(2, file, type, ext);
                },
                // Values as stored: the channels are under test, not the colour.
                With(Stitch("f.%04d" + ext, ""), {"--colorspace", "linear"}),
                0,
                {},
                {},
                [expected](const Folder&, const Picture& out, const RunResult&) {
                    EXPECT_TRUE(SamePicture(out, expected));
                }};
}

// The same picture in 8-bit, 16-bit, half and float stitches to the same
// geometry, each value within its format's rounding of the float result.
Case FormatCase(const std::string& name, OIIO::TypeDesc type, const std::string& ext, float tolerance) {
    return Case{name,
                [=](const Folder& f) {
                    f.WriteShot(ext, type);
                    // Whole-pixel shifts without turns: every layer pixel is a frame pixel.
                    f.Text("t.csv", "frame,x,y\n" + Join(TrackRows(',', false), "\n"));
                },
                With(Stitch("f.%04d" + ext), {"--method", "median", "--colorspace", "linear"}),
                0,
                {},
                {},
                [=](const Folder& f, const Picture& out, const RunResult&) {
                    f.WriteShot(".exr", OIIO::TypeDesc::FLOAT);
                    const Picture reference = f.RunFor("float.exr", With(Stitch(), {"--method", "median"}));
                    ASSERT_EQ(out.Width, reference.Width);
                    ASSERT_EQ(out.Height, reference.Height);
                    // The shifts reach 4 left and 12 right, 3 down and 6 up.
                    EXPECT_EQ(out.Width, W + 16);
                    EXPECT_EQ(out.Height, H + 9);
                    int differences = 0;
                    for (size_t i = 0; i < out.Values.size(); ++i) {
                        const bool alpha = i % 4 == 3;
                        // The float stitch's value, stored in the format: off by half a
                        // step at most, ties included (hence the margin far below a step).
                        const float allowed = alpha ? 0.0f : tolerance + 1e-6f;
                        if (!(std::fabs(out.Values[i] - reference.Values[i]) <= allowed) && ++differences <= 5)
                            ADD_FAILURE() << "value " << i << ": " << out.Values[i] << " against "
                                          << reference.Values[i];
                    }
                    EXPECT_EQ(differences, 0);
                }};
}

std::vector<Case> ImageCases() {
    std::vector<Case> cases = DamagedFrameCases();
    cases.push_back(ChannelCase("OneChannelIsGrey", 1, OIIO::TypeDesc::UINT8, ".png"));
    cases.push_back(ChannelCase("TwoChannelsAreGreyAndAlpha", 2, OIIO::TypeDesc::UINT8, ".png"));
    cases.push_back(ChannelCase("ThreeChannelsAreOpaqueRgb", 3, OIIO::TypeDesc::UINT8, ".png"));
    cases.push_back(ChannelCase("FourChannelsAreRgba", 4, OIIO::TypeDesc::FLOAT, ".exr"));
    cases.push_back(ChannelCase("SevenChannelsGiveTheFirstFour", 7, OIIO::TypeDesc::UINT16, ".tif"));
    // The channels past the fourth are told of, not read.
    cases.back().Words = {"frames 1-2 hold more than is read: channel 'channel4', channel 'channel5'"};
    cases.push_back(FormatCase("EightBitLikeFloat", OIIO::TypeDesc::UINT8, ".png", 0.5f / 255.0f));
    cases.push_back(FormatCase("SixteenBitLikeFloat", OIIO::TypeDesc::UINT16, ".tif", 0.5f / 65535.0f));
    cases.push_back(FormatCase("HalfLikeFloat", OIIO::TypeDesc::HALF, ".exr", 1.0f / 4096.0f));

    // A PNG named .exr is read by its content.
    cases.push_back(Case{"PngNamedExr",
                         [](const Folder& f) {
                             f.WriteShot();
                             f.Text("t.csv", kTrackCsv);
                             fs::remove(f.FramePath(4));
                             WritePicture(f.At("p.png"), ShotFrame(kShot[3]), OIIO::TypeDesc::UINT8);
                             fs::rename(f.At("p.png"), f.FramePath(4));
                         },
                         Stitch(),
                         0,
                         {},
                         {},
                         [](const Folder& f, const Picture& out, const RunResult& run) {
                             EXPECT_NE(run.Out.find("5 of 5 frames"), std::string::npos) << run.Out;
                             // The shot's values are multiples of 1/250: 8 bits hold
                             // them to within half a step (ties included).
                             f.WriteShot();
                             const Picture exr = f.RunFor("exr.exr", Stitch());
                             ASSERT_EQ(out.Values.size(), exr.Values.size());
                             for (size_t i = 0; i < out.Values.size(); ++i)
                                 ASSERT_NEAR(out.Values[i], exr.Values[i], 0.5 / 255.0 + 1e-6) << i;
                         }});

    // Values are carried as they are: NaN and infinities through both
    // methods (the median orders NaN after every number), negative and
    // above-one values unclamped. Three float frames in place.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Column {
        float Values[3];   // red of frames 1, 2, 3 at this column
        float Unique, Median;
    };
    const std::vector<Column> columns = {
        {{nan, 0.2f, 0.3f}, nan, 0.3f},  {{nan, nan, 0.1f}, nan, nan},    {{inf, -inf, 0.5f}, inf, 0.5f},
        {{inf, inf, 0.0f}, inf, inf},    {{-0.5f, 2.5f, 7.0f}, -0.5f, 2.5f}, {{-3.0f, -2.0f, -1.0f}, -3.0f, -2.0f},
        {{1e30f, -1e30f, 1.5f}, 1e30f, 1.5f}, {{0.25f, nan, inf}, 0.25f, inf},
    };
    for (const char* method : {"unique", "median"}) {
        const bool median = std::string(method) == "median";
        cases.push_back(Case{std::string("NonFiniteAndOutOfRangeValuesCarriedBy") + (median ? "Median" : "Unique"),
                             [columns](const Folder& f) {
                                 for (int frame = 0; frame < 3; ++frame) {
                                     Picture p = Blank(int(columns.size()), 2, 4);
                                     for (int row = 0; row < 2; ++row)
                                         for (size_t x = 0; x < columns.size(); ++x) {
                                             float* v = p.At(int(x), row);
                                             v[0] = columns[x].Values[frame];
                                             v[1] = -v[0];
                                             v[2] = 0.5f;
                                             v[3] = 1.0f;
                                         }
                                     f.WriteFrame(frame + 1, p, OIIO::TypeDesc::FLOAT);
                                 }
                             },
                             With(Stitch("f.%04d.exr", ""), {"--method", method}),
                             0,
                             {},
                             {},
                             [columns, median](const Folder&, const Picture& out, const RunResult&) {
                                 ASSERT_EQ(out.Width, int(columns.size()));
                                 ASSERT_EQ(out.Height, 2);
                                 for (int row = 0; row < 2; ++row)
                                     for (size_t x = 0; x < columns.size(); ++x) {
                                         SCOPED_TRACE(::testing::Message() << "column " << x << " row " << row);
                                         const float* v = out.At(int(x), row);
                                         const float want = median ? columns[x].Median : columns[x].Unique;
                                         if (std::isnan(want)) {
                                             EXPECT_TRUE(std::isnan(v[0])) << v[0];
                                         } else {
                                             EXPECT_EQ(v[0], want);
                                         }
                                         // Green is minus red: the median of green is
                                         // minus the median of red only for numbers.
                                         if (!median) {
                                             if (std::isnan(want))
                                                 EXPECT_TRUE(std::isnan(v[1])) << v[1];
                                             else
                                                 EXPECT_EQ(v[1], -want);
                                         }
                                         EXPECT_EQ(v[2], 0.5f);
                                         EXPECT_EQ(v[3], 1.0f);
                                     }
                             }});
    }

    // The display window gives the frame's size and place; pixels outside
    // the data window are (0, 0, 0, 0), and so never opaque.
    // Pictures that would come out wrong without a word are told of.
    const auto opaque = [](int w, int h, int channels, float alpha) {
        Picture p = Blank(w, h, channels);
        for (size_t i = 0; i < p.Values.size(); ++i) p.Values[i] = i % size_t(channels) == 3 ? alpha : 0.5f;
        return p;
    };
    cases.push_back(Case{"FramesWithoutAnOpaquePixelAreTold",
                         [=](const Folder& f) {
                             f.WriteFrame(1, opaque(W, H, 4, 0.5f), OIIO::TypeDesc::FLOAT);
                             f.WriteFrame(2, opaque(W, H, 4, 0.999f), OIIO::TypeDesc::FLOAT);
                         },
                         Stitch("f.%04d.exr", ""),
                         0,
                         {"frames 1-2 have no fully opaque pixel",
                          "the result has no fully opaque pixel: every pixel is transparent"}});
    cases.push_back(Case{"DataAllOutsideTheDisplayWindowIsTold",
                         [=](const Folder& f) {
                             const auto away = [](OIIO::ImageSpec& spec) {
                                 spec.x = W + 2;
                                 spec.full_x = spec.full_y = 0;
                                 spec.full_width = W;
                                 spec.full_height = H;
                             };
                             f.WriteFrame(1, opaque(W, H, 4, 1.0f), OIIO::TypeDesc::FLOAT);
                             f.WriteFrame(2, opaque(W, H, 4, 1.0f), OIIO::TypeDesc::FLOAT, ".exr", away);
                         },
                         Stitch("f.%04d.exr", ""),
                         0,
                         {"frame 2 has no data inside the display window: all transparent"}});
    cases.push_back(Case{"ViewsLeftUnreadAreTold",
                         [=](const Folder& f) {
                             const auto views = [](OIIO::ImageSpec& spec) {
                                 spec.channelnames = {"R", "G", "B", "A", "right.R", "right.G", "right.B", "right.A"};
                                 spec.alpha_channel = 3;
                                 const OIIO::ustring names[2] = {OIIO::ustring("left"), OIIO::ustring("right")};
                                 spec.attribute("multiView", OIIO::TypeDesc(OIIO::TypeDesc::STRING, 2), names);
                             };
                             for (int frame : {1, 2}) f.WriteFrame(frame, opaque(W, H, 8, 1.0f), OIIO::TypeDesc::HALF, ".exr", views);
                         },
                         Stitch("f.%04d.exr", ""),
                         0,
                         {"frames 1-2 hold more than is read: view 'right'"}});
    cases.push_back(Case{"ExrDataWindowInsideOutDisplayWindow",
                         [](const Folder& f) {
                             Picture data = Blank(24, 26, 4);
                             for (int row = 0; row < 26; ++row)
                                 for (int x = 0; x < 24; ++x) {
                                     float* v = data.At(x, row);
                                     v[0] = float(x) / 32.0f;
                                     v[1] = float(row) / 32.0f;
                                     v[2] = 0.75f;
                                     v[3] = 1.0f;
                                 }
                             const auto windows = [](OIIO::ImageSpec& spec) {
                                 spec.x = -4;
                                 spec.y = 5;
                                 spec.full_x = 0;
                                 spec.full_y = 0;
                                 spec.full_width = W;
                                 spec.full_height = H;
                             };
                             f.WriteFrame(1, data, OIIO::TypeDesc::HALF, ".exr", windows);
                             f.WriteFrame(2, data, OIIO::TypeDesc::HALF, ".exr", windows);
                         },
                         Stitch("f.%04d.exr", ""),
                         0,
                         {"frames 1-2 have data outside the display window, left out (--data-window keeps it)"},
                         {},
                         [](const Folder&, const Picture& out, const RunResult&) {
                             ASSERT_EQ(out.Width, W);
                             ASSERT_EQ(out.Height, H);
                             for (int row = 0; row < H; ++row)
                                 for (int x = 0; x < W; ++x) {
                                     // Display pixel (x, row) is data pixel (x + 4, row - 5).
                                     const int dx = x + 4, drow = row - 5;
                                     const bool inside = dx < 24 && drow >= 0 && drow < 26;
                                     const float want[4] = {inside ? float(dx) / 32.0f : 0.0f,
                                                            inside ? float(drow) / 32.0f : 0.0f, inside ? 0.75f : 0.0f,
                                                            inside ? 1.0f : 0.0f};
                                     for (int c = 0; c < 4; ++c)
                                         ASSERT_EQ(out.At(x, row)[c], want[c])
                                             << "pixel " << x << ", " << row << " channel " << c;
                                 }
                         }});

    // Frames of other sizes than the start frame are allowed. The canvas is
    // the start frame's (no track moves anything); the others sit at its
    // bottom-left corner, so the median sees three frames there, two where
    // only the larger of the others reaches and one elsewhere.
    cases.push_back(Case{"FramesOfDifferentSizes",
                         [](const Folder& f) {
                             const auto plain = [](int w, int h, float value) {
                                 Picture p = Blank(w, h, 4);
                                 for (int i = 0; i < w * h; ++i) {
                                     std::fill_n(&p.Values[size_t(i) * 4], 3, value);
                                     p.Values[size_t(i) * 4 + 3] = 1.0f;
                                 }
                                 return p;
                             };
                             f.WriteFrame(1, plain(40, 30, 0.25f), OIIO::TypeDesc::FLOAT);
                             f.WriteFrame(2, plain(24, 16, 0.75f), OIIO::TypeDesc::HALF);
                             f.WriteFrame(3, plain(32, 24, 0.75f), OIIO::TypeDesc::FLOAT);
                         },
                         With(Stitch("f.%04d.exr", ""), {"--method", "median"}),
                         0,
                         {"frame 2 is 24 x 16, not the start frame's 40 x 30",
                          "frame 3 is 32 x 24, not the start frame's 40 x 30"},
                         {},
                         [](const Folder&, const Picture& out, const RunResult& run) {
                             EXPECT_NE(run.Out.find("3 of 3 frames"), std::string::npos) << run.Out;
                             ASSERT_EQ(out.Width, 40);
                             ASSERT_EQ(out.Height, 30);
                             for (int row = 0; row < 30; ++row)
                                 for (int x = 0; x < 40; ++x) {
                                     const int y = 29 - row;   // from the bottom
                                     const float want = x < 32 && y < 24 ? 0.75f : 0.25f;
                                     ASSERT_EQ(out.At(x, row)[0], want) << "pixel " << x << ", " << y;
                                     ASSERT_EQ(out.At(x, row)[3], 1.0f);
                                 }
                         }});
    return cases;
}

// ------------------------------------------------------------ whole sequences

std::vector<Case> SequenceCases() {
    const auto shot = [](std::vector<int> skip = {}) {
        return [skip](const Folder& f) {
            f.WriteShot(".exr", OIIO::TypeDesc::FLOAT, skip);
            f.Text("t.csv", kTrackCsv);
        };
    };
    // Whether the process may create files anywhere: then a read-only folder
    // is no obstacle, and a folder the system refuses to all stands in.
    const bool root = ::geteuid() == 0;
    return {
        {"MissingFrameMidRange", shot({3}), With(Stitch(), {"--method", "median"}), 0,
         {"tessellon WARNING: 1 frame has no file and no image: 3 of 'f.%04d.exr'"}, {},
         [](const Folder& f, const Picture& out, const RunResult& run) {
             EXPECT_NE(run.Out.find("4 of 5 frames"), std::string::npos) << run.Out;
             EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
             EXPECT_EQ(out.Width, W + 16);
             // A missing frame is a frame without an image, as is an
             // unreadable one passed over.
             WriteBytes(f.FramePath(3), Noise(64));
             const Picture passed = f.RunFor("passed.exr", With(Stitch(), {"--method", "median", "--skip-bad-frames"}));
             EXPECT_TRUE(SamePicture(out, passed));
         }},
        {"SeveralMissingFrames", shot({2, 4}), With(Stitch(), {"--start", "1", "--end", "5"}), 0,
         {"2 frames have no file and no image: 2, 4"}, {},
         [](const Folder&, const Picture&, const RunResult& run) {
             EXPECT_NE(run.Out.find("3 of 5 frames"), std::string::npos) << run.Out;
         }},
        {"MissingStartFrame", shot({1}), Stitch(), 2,
         {"no image at the start frame 1", "f.0001.exr", "frames with files: 2-5"}},
        {"StartFrameOutsideTheFiles", shot(), With(Stitch(), {"--start", "0"}), 2,
         {"no image at the start frame 0", "f.0000.exr", "frames with files: 1-5"}},
        // What to read and how to write: refused before any pixel is read.
        {"UnknownLayer", shot(), With(Stitch(), {"--layer", "diffuse"}), 2, {"f.0001.exr", "no layer 'diffuse'"}},
        {"UnknownView", shot(), With(Stitch(), {"--view", "right"}), 2,
         {"f.0001.exr", "no view 'right'", "not a multi-view file"}},
        {"UnknownPart", shot(), With(Stitch(), {"--part", "2"}), 2, {"f.0001.exr", "no part '2'", "part 0"}},
        {"UnknownColourSpace", shot(), With(Stitch(), {"--colorspace", "nonesuch"}), 2,
         {"out.exr", "unknown colour space 'nonesuch'"}},
        {"CompressionOfAPng", shot(), With(Stitch(), {"--output", "out.png", "--compression", "piz"}), 2,
         {"out.png", "takes no --compression"}},
        {"DataTypeOfAJpeg", shot(), With(Stitch(), {"--output", "out.jpg", "-d", "half"}), 2,
         {"out.jpg", "takes no -d"}},
        {"UnknownCompression", shot(), With(Stitch(), {"--compression", "lzw"}), 2,
         {"out.exr", "unknown compression 'lzw'", "dwab"}},
        {"OutputIsAnInputFrame", shot(), With(Stitch(), {"--output", "f.0003.exr"}), 2,
         {"f.0003.exr", "input sequence", "choose another output name"}},
        {"OutputIsAnInputThroughALink",
         [shot](const Folder& f) {
             shot()(f);
             fs::create_symlink("f.0002.exr", f.At("link.exr"));
         },
         With(Stitch(), {"--output", "link.exr"}), 2, {"link.exr", "input"}},
        {"OutputIsAnInputThroughAnotherPath", shot(), With(Stitch(), {"--output", "../X/f.0004.exr"}),
         2, {"f.0004.exr", "input"}},
        {"OutputIsTheTrackFile",
         [](const Folder& f) {
             f.WriteShot();
             f.Text("t.exr", kTrackCsv);
         },
         With(Stitch("f.%04d.exr", "t.exr"), {"--output", "t.exr"}), 2, {"t.exr", "track file"}},
        // Refused before any frame is read: frame 3 is damaged, and the
        // message is about the output alone.
        {"UnwritableOutputFolder",
         [](const Folder& f) {
             ShotWith(".exr", 3, [](const fs::path& p) { WriteBytes(p, Noise(64)); })(f);
             fs::create_directory(f.At("locked"));
             fs::permissions(f.At("locked"), fs::perms::owner_read | fs::perms::owner_exec);
         },
         With(Stitch(), {"--output", root ? "/sys/out.exr" : "locked/out.exr"}), 2,
         {root ? "/sys" : "locked", "takes no new files"}},
        {"OutputFolderMissing", ShotWith(".exr", 3, [](const fs::path& p) { WriteBytes(p, Noise(64)); }),
         With(Stitch(), {"--output", "none/out.exr"}), 2, {"none", "does not exist"}},
        {"OutputOfUnknownType", shot(), With(Stitch(), {"--output", "out.bmpx"}), 2,
         {"out.bmpx", "unknown output file type"}},
        {"CanvasAboveTheMemoryBudget", shot(), With(Stitch(), {"--max-memory", "4K"}), 2,
         {"the render needs about", "memory budget of 4.0 KiB", "no split into bands", "--max-memory"}},
    };
}

// ---------------------------------------------------------------- track files

std::vector<Case> TrackCases() {
    const auto shotAnd = [](const std::string& name, const std::string& text) {
        return [=](const Folder& f) {
            f.WriteShot();
            f.Text(name, text);
        };
    };
    const std::vector<std::string> rows = TrackRows();
    const std::string header = "frame,x,y,angle";
    // The track with row `row` (0-based, after the header) replaced.
    const auto replaced = [&](size_t row, const std::string& line) {
        std::vector<std::string> lines = rows;
        lines[row] = line;
        return header + "\n" + Join(lines, "\n");
    };
    std::string json = "{\"frames\": [\n";
    for (const Shot& s : kShot)
        json += std::string(s.Frame == 1 ? "" : ",\n") + "  {\"frame\": " + std::to_string(s.Frame) +
                ", \"x\": " + Num(TrackX(s)) + ", \"y\": " + Num(TrackY(s)) + ", \"angle\": " + Num(s.Angle) + "}";
    json += "\n]}\n";
    std::string wildJson = json;
    wildJson.replace(wildJson.find("\"x\": 0.875"), 10, "\"x\": 1e7");   // frame 4's x, on line 5
    std::string nanJson = json;
    nanJson.replace(nanJson.find("\"y\": 0.375"), 10, "\"y\": NaN");     // frame 3's y, on line 4
    std::string text;
    for (const Shot& s : kShot)
        text += std::to_string(s.Frame) + " " + Num(TrackX(s)) + "\t" + Num(TrackY(s)) + "  " + Num(s.Angle) + "\n";
    std::string extra = "quality,frame,x,note,y,angle\n";
    for (const Shot& s : kShot)
        extra += "0.9," + std::to_string(s.Frame) + "," + Num(TrackX(s)) + ",\"a, b\"," + Num(TrackY(s)) + "," +
                 Num(s.Angle) + "\n";
    std::string unsorted = header + "\n" + rows[3] + "\n" + rows[0] + "\n" + rows[4] + "\n" + rows[2] + "\n" + rows[1];
    std::string german = text;   // decimal commas, as a German spreadsheet writes them
    std::replace(german.begin(), german.end(), '.', ',');
    const std::vector<std::string> de = {"LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8"};

    return {
        {"Empty", shotAnd("t.csv", ""), Stitch(), 2, {"t.csv", "empty"}},
        {"HeaderOnly", shotAnd("t.csv", header + "\n"), Stitch(), 2, {"t.csv", "no rows after the header"}},
        {"MissingRequiredColumn", shotAnd("t.csv", "frame,x,angle\n1,0.5,0\n"), Stitch(), 2,
         {"t.csv:1", "missing column 'y'"}},
        {"UnknownExtraColumnsIgnored", shotAnd("t.csv", extra), Stitch(), 0,
         {"tessellon WARNING: 't.csv': passed over 'quality', 'note'"}, {}, SameAsCleanTrack},
        {"RowWithTooFewFields", shotAnd("t.csv", replaced(1, "2,0.625")), Stitch(), 2,
         {"t.csv:3", "too few fields"}},
        {"NonNumericField", shotAnd("t.csv", replaced(1, "2,abc,0.625,0")), Stitch(), 2, {"t.csv:3:3", "'abc'"}},
        {"TrailingJunk", shotAnd("t.csv", replaced(2, "3,0.75,1.5px,10")), Stitch(), 2, {"t.csv:4:", "'1.5px'"}},
        {"DecimalComma", shotAnd("t.csv", replaced(1, "2,0,625,0,625,0")), Stitch(), 2,
         {"t.csv:3", "use '.' for decimals"}},
        {"SemicolonSeparator", shotAnd("t.csv", "frame;x;y;angle\n" + Join(TrackRows(';'), "\n")), Stitch(), 2,
         {"t.csv:1", "';'"}},
        {"NanText", shotAnd("t.csv", replaced(2, "3,nan,0.375,10")), Stitch(), 2,
         {"t.csv:4:3", "not a finite number", "'nan'"}},
        {"InfText", shotAnd("t.csv", replaced(2, "3,0.75,-inf,10")), Stitch(), 2, {"t.csv:4:", "not a finite number"}},
        {"NanLiteralInJson", shotAnd("t.json", nanJson), Stitch("f.%04d.exr", "t.json"), 2,
         {"t.json:4:", "'NaN'", "not a finite number"}},
        {"OverflowingNumber", shotAnd("t.csv", replaced(3, "4,1e400,0.5,0")), Stitch(), 2,
         {"t.csv:5:3", "out of range", "'1e400'"}},
        // Fractions far outside the frame are pixels read as fractions.
        {"WildValueIsRefusedAsPixels", shotAnd("t.csv", replaced(3, "4,1e7,0.5,0")), Stitch(), 2,
         {"t.csv:5:", "frame 4", "--track-units pixels"}},
        {"WildValueInJson", shotAnd("t.json", wildJson), Stitch("f.%04d.exr", "t.json"), 2,
         {"t.json:5:", "frame 4", "--track-units pixels"}},
        {"WildValueAsksForAHugeCanvas", shotAnd("t.csv", replaced(3, "4,40,0.5,0")),
         With(Stitch(), {"--max-canvas-size", "1000"}), 2,
         {"t.csv:5:", "frame 4", "canvas", "--max-canvas-size", "if they are pixels, give --track-units pixels"}},
        // Frame 3 lies between the keys of frames 2 and 9: the far key is named.
        {"WildValueBetweenFrames", shotAnd("t.csv", header + "\n" + rows[0] + "\n" + rows[1] + "\n9,-40,0.5,0\n"),
         With(Stitch(), {"--end", "5", "--max-canvas-size", "100"}), 2,
         {"t.csv:4:", "frame 3", "from the key of frame 9", "canvas"}},
        {"DuplicateFrames", shotAnd("t.csv", replaced(3, "2,0.875,0.5,0")), Stitch(), 2,
         {"t.csv:5", "frame 2 appears twice (lines 3 and 5)"}},
        {"UnsortedRowsAsSorted", shotAnd("t.csv", unsorted), Stitch(), 0, {}, {}, SameAsCleanTrack},
        {"FractionalFrameNumber", shotAnd("t.csv", replaced(2, "3.5,0.75,0.375,10")), Stitch(), 2,
         {"t.csv:4:1", "not a whole number"}},
        {"CrlfLineEnds", shotAnd("t.csv", header + "\r\n" + Join(rows, "\r\n")), Stitch(), 0, {}, {}, SameAsCleanTrack},
        {"ByteOrderMark", shotAnd("t.csv", "\xEF\xBB\xBF" + kTrackCsv), Stitch(), 0, {}, {}, SameAsCleanTrack},
        {"NoFinalNewline", shotAnd("t.csv", kTrackCsv.substr(0, kTrackCsv.size() - 1)), Stitch(), 0, {}, {},
         SameAsCleanTrack},
        {"BlankLines", shotAnd("t.csv", "\n\n" + header + "\n\n" + Join(rows, "\n\n") + "\n\n\n"), Stitch(), 0, {}, {},
         SameAsCleanTrack},
        {"AllOfCrlfBomBlankLinesAndNoFinalNewline",
         shotAnd("t.csv", "\xEF\xBB\xBF" + header + "\r\n\r\n" + Join(rows, "\r\n") + "\r\n\r\n" + "# end"), Stitch(),
         0, {}, {}, SameAsCleanTrack},
        {"TrackIsADirectory",
         [](const Folder& f) {
             f.WriteShot();
             fs::create_directory(f.At("t.csv"));
         },
         Stitch(), 2, {"t.csv", "is a directory"}},
        // Refused by its size before a byte is read (the file is sparse).
        {"OversizedTrack",
         [](const Folder& f) {
             f.WriteShot();
             f.Text("t.csv", kTrackCsv);
             fs::resize_file(f.At("t.csv"), uintmax_t(300) << 20);
         },
         Stitch(), 2, {"t.csv", "larger than 256 MiB"}},
        {"BinaryFile", shotAnd("t.csv", "frame,x,y\n1,0.5,0.5\n" + Noise(200)), Stitch(), 2,
         {"t.csv", "not a text file"}},
        {"ImageAsTrack",
         [](const Folder& f) {
             f.WriteShot();
             fs::copy_file(f.FramePath(2), f.At("t.csv"));
         },
         Stitch(), 2, {"t.csv", "not a text file"}},
        {"JsonTrack", shotAnd("t.json", json), Stitch("f.%04d.exr", "t.json"), 0, {}, {}, SameAsCleanTrack},
        {"TextTrack", shotAnd("t.txt", text), Stitch("f.%04d.exr", "t.txt"), 0, {}, {}, SameAsCleanTrack},
        // Parsing never depends on the locale: under a German locale a
        // decimal point is still the decimal point and a comma never is.
        {"GermanLocaleCsv", shotAnd("t.csv", kTrackCsv), Stitch(), 0, {}, de, SameAsCleanTrack},
        {"GermanLocaleJson", shotAnd("t.json", json), Stitch("f.%04d.exr", "t.json"), 0, {}, de, SameAsCleanTrack},
        {"GermanLocaleText", shotAnd("t.txt", text), Stitch("f.%04d.exr", "t.txt"), 0, {}, de, SameAsCleanTrack},
        {"GermanLocaleDecimalComma", shotAnd("t.txt", german), Stitch("f.%04d.exr", "t.txt"), 2,
         {"t.txt:1:3", "use '.' for decimals"}, de},
        {"HeaderlessCsv", shotAnd("t.csv", Join(rows, "\n")), Stitch(), 0, {}, {}, SameAsCleanTrack},
        {"AfterEffectsWithoutWidth",
         shotAnd("t.txt", "Adobe After Effects 8.0 Keyframe Data\n\tUnits Per Second\t24\n\tSource Height\t8\n"
                          "Transform\tPosition\n\tFrame\tX pixels\tY pixels\n\t1\t1\t1\nEnd of Keyframe Data\n"),
         Stitch("f.%04d.exr", "t.txt"), 2, {"t.txt:1", "no 'Source Width'"}},
        {"SeveralTrackersUnnamed", shotAnd("t.2dt", "\"a\"\n1\n1 0 0 0\n\"b\"\n1\n1 0 0 0\n"),
         Stitch("f.%04d.exr", "t.2dt"), 2, {"t.2dt", "2 trackers ('a', 'b')", "--track-name"}},
        {"TruncatedEqualizerPoint", shotAnd("t.txt", "1\np\n0\n5\n1 0 0\n"), Stitch("f.%04d.exr", "t.txt"), 2,
         {"t.txt", "5 keys announced, 1 found"}},
        {"GermanLocaleNumbersOfOptions", shotAnd("t.csv", kTrackCsv), With(Stitch(), {"--start", "1.0", "--end", "5.0"}),
         0, {}, de, SameAsCleanTrack},
    };
}

// ---------------------------------------------------------- bands and merge

std::vector<Case> BandCases() {
    const auto shot = [](const Folder& f) {
        f.WriteShot(".exr", OIIO::TypeDesc::FLOAT);
        f.Text("t.csv", kTrackCsv);
    };
    // The shot and its bands of a split in two, written by `tessellon stitch --band`.
    const auto banded = [shot](std::vector<std::string> more = {}) {
        return [shot, more](const Folder& f) {
            shot(f);
            for (const auto& [band, file] : {std::pair{"0/2", "b0.exr"}, std::pair{"1/2", "b1.exr"}}) {
                const RunResult run = f.Run(With(With(Stitch(), more), {"--band", band, "--output", file, "--quiet"}));
                ASSERT_EQ(run.Status, 0) << run.Err;
            }
        };
    };
    const auto merge = [](const std::vector<std::string>& bands) {
        return With({"merge", "--output", "out.exr"}, bands);
    };
    return {
        {"BandNotBelowItsCount", shot, With(Stitch(), {"--band", "2/2"}), 2, {"--band '2/2'", "counted from 0 to 1"}},
        {"BandOfNoBands", shot, With(Stitch(), {"--band", "0/0"}), 2, {"--band '0/0'", "0 bands"}},
        {"BandMalformed", shot, With(Stitch(), {"--band", "1-2"}), 2, {"--band '1-2'", "give K/N"}},
        {"BandNegative", shot, With(Stitch(), {"--band", "-1/2"}), 2, {"--band '-1/2'", "give K/N"}},
        {"MoreBandsThanCanvasRows", shot, With(Stitch(), {"--band", "0/1000"}), 2,
         {"--band 0/1000", "rows to split into 1000 bands"}},
        {"BandNotExr", shot, With(Stitch(), {"--band", "0/2", "--output", "b.png"}), 2,
         {"b.png", "band files are .exr"}},
        {"BandWithDataType", shot, With(Stitch(), {"--band", "0/2", "-d", "half"}), 2, {"out.exr", "-d"}},
        {"MergeOfBothBands", banded(), merge({"b1.exr", "b0.exr"}), 0, {}, {},
         [](const Folder& f, const Picture& out, const RunResult&) {
             EXPECT_TRUE(SamePicture(out, f.RunFor("one.exr", Stitch())));
         }},
        {"MergeGivenABandTwice", banded(), merge({"b0.exr", "b1.exr", "./b0.exr"}), 2, {"b0.exr", "given twice"}},
        {"MergeOfACopiedBand",
         [banded](const Folder& f) {
             banded()(f);
             fs::copy_file(f.At("b0.exr"), f.At("c0.exr"));
         },
         merge({"b0.exr", "c0.exr", "b1.exr"}), 2, {"'b0.exr' and 'c0.exr' are both band 0/2"}},
        {"MergeOfAFrame", banded(), merge({"b0.exr", "f.0002.exr", "b1.exr"}), 2, {"f.0002.exr", "not a band file"}},
        {"MergeMissingABand", banded(), merge({"b1.exr"}), 2, {"missing band 0/2", "'b1.exr' 1/2"}},
        {"MergeOfTwoShots",
         [banded](const Folder& f) {
             banded()(f);
             const RunResult run = f.Run(With(Stitch(), {"--method", "median", "--band", "1/2", "--output", "m1.exr"}));
             ASSERT_EQ(run.Status, 0) << run.Err;
         },
         merge({"b0.exr", "m1.exr"}), 2, {"'b0.exr' and 'm1.exr'", "different shots"}},
        {"MergeOfOtherSplits",
         [banded, shot](const Folder& f) {
             banded()(f);
             const RunResult run = f.Run(With(Stitch(), {"--band", "1/3", "--output", "t1.exr"}));
             ASSERT_EQ(run.Status, 0) << run.Err;
         },
         merge({"b0.exr", "t1.exr", "b1.exr"}), 2, {"'b0.exr' (band 0/2", "'t1.exr' (band 1/3", "overlap"}},
    };
}

// ------------------------------------------------------------------ the test

class BadInput : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        std::string work = (fs::temp_directory_path() / "tessellon-bad-inputs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(work.data()), nullptr);
        root_ = work;
        // A folder beside the case's folder, so that "../X/..." paths lead back in.
        dir_ = root_ / "X";
        logs_ = root_ / "logs";
        fs::create_directories(dir_);
        fs::create_directories(logs_);
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(root_, ec))
            if (entry.is_directory(ec)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
    fs::path root_, dir_, logs_;
};

TEST_P(BadInput, RunEndsAsStated) {
    const Case& c = GetParam();
    for (const std::string& entry : c.Env) {
        if (entry.find("de_DE") != std::string::npos) {
            ASSERT_TRUE(GermanLocaleInstalled()) << "the de_DE.UTF-8 locale is missing: scripts/setup generates it";
        }
    }
    const Folder folder(dir_, logs_);
    c.Make(folder);
    if (::testing::Test::HasFatalFailure()) return;

    std::vector<std::string> args = c.Args;
    if (std::find(args.begin(), args.end(), "--output") == args.end()) args.insert(args.end(), {"--output", "out.exr"});
    const std::set<std::string> before = folder.Listing();
    const RunResult run = folder.Run(args, c.Env);

    EXPECT_EQ(run.Status, c.Status) << run.Err;
    for (const std::string& word : c.Words) EXPECT_NE(run.Err.find(word), std::string::npos) << word << "\n" << run.Err;
    if (c.Status != 0) {
        const std::string said = OwnLines(run.Err);
        EXPECT_EQ(said.rfind("tessellon ERROR: ", 0), 0u) << run.Err;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << run.Err;
        EXPECT_EQ(folder.Listing(), before) << "a failed run left something behind";
        return;
    }
    // The output and nothing else is new.
    std::set<std::string> after = before;
    after.insert("out.exr");
    EXPECT_EQ(folder.Listing(), after);
    if (c.Words.empty()) {
        // A stitch without a track is told so, and of nothing else.
        const bool tracked = std::find(args.begin(), args.end(), "--track") != args.end() || args.front() != "stitch";
        EXPECT_EQ(run.Err, tracked ? "" : "tessellon WARNING: no --track: every frame lands in the same place\n");
    }
    if (run.Status != 0) return;
    const Picture out = ReadOutput(folder.At("out.exr"));
    ASSERT_GT(out.Width, 0);
    // Every canvas pixel is opaque or untouched.
    for (size_t i = 0; i < out.Values.size(); i += 4) {
        const float* p = &out.Values[i];
        ASSERT_TRUE(p[3] == 1.0f || (p[0] == 0.0f && p[1] == 0.0f && p[2] == 0.0f && p[3] == 0.0f))
            << "pixel " << i / 4 << ": " << p[0] << " " << p[1] << " " << p[2] << " " << p[3];
    }
    if (c.Check) c.Check(folder, out, run);
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(Images, BadInput, ::testing::ValuesIn(ImageCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Sequences, BadInput, ::testing::ValuesIn(SequenceCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Tracks, BadInput, ::testing::ValuesIn(TrackCases()), CaseName);
INSTANTIATE_TEST_SUITE_P(Bands, BadInput, ::testing::ValuesIn(BandCases()), CaseName);

}  // namespace
