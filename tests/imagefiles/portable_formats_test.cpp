// The EXR and PNG code of builds without OpenImageIO, checked on Linux
// against OpenImageIO: the same pixels from the same files, files it reads
// back as written, and damaged headers refused before anything is decoded.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <Imath/half.h>
#include <OpenImageIO/imageio.h>

#include "Exr.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "ImageFiles.h"
#include "ImageTestSupport.h"
#include "Png.h"

namespace fs = std::filesystem;
using namespace tessellon;

namespace {

class PortableFormatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tessellon_portable_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

// Values exact in half, 8 and 16 bits: k / 255 * 257 / 65535 are not, so
// the fixtures hold multiples of 1/1024 for floats and whole codes for
// integers, spread over every channel.
std::vector<float> Values(size_t count, float scale) {
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = float((i * 37 + 11) % 1024) / 1024.0f * scale;
    return v;
}

void WriteWithLibrary(const std::string& path, const OIIO::ImageSpec& spec, const std::vector<float>& data) {
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out);
    OIIO::ImageSpec s = spec;
    s.attribute("oiio:UnassociatedAlpha", 1);
    ASSERT_TRUE(out->open(path, s)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, data.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

TEST_F(PortableFormatsTest, ReadsWhatOpenImageIOReadsBitForBit) {
    struct Case {
        const char* name;
        int channels;
        OIIO::TypeDesc type;
        int tile;                         // 0: scanlines
        const char* compression;
        int x, y, fullWidth, fullHeight;  // data window origin, display window size
        int32_t format;
    };
    const Case cases[] = {
        {"half.exr", 4, OIIO::TypeDesc::HALF, 0, "zip", 0, 0, 21, 13, Format_Half},
        {"float-rgb.exr", 3, OIIO::TypeDesc::FLOAT, 0, "piz", 0, 0, 21, 13, Format_Float},
        {"grey.exr", 1, OIIO::TypeDesc::HALF, 0, "rle", 0, 0, 21, 13, Format_Half},
        {"tiled.exr", 4, OIIO::TypeDesc::FLOAT, 8, "zip", 0, 0, 21, 13, Format_Float},
        {"overscan.exr", 4, OIIO::TypeDesc::HALF, 0, "none", -3, 5, 15, 11, Format_Half},
        {"tiled-window.exr", 4, OIIO::TypeDesc::FLOAT, 4, "zips", 6, -2, 30, 9, Format_Float},
        {"rgba.png", 4, OIIO::TypeDesc::UINT8, 0, nullptr, 0, 0, 21, 13, Format_UInt8},
        {"grey-alpha.png", 2, OIIO::TypeDesc::UINT16, 0, nullptr, 0, 0, 21, 13, Format_UInt16},
        {"rgb.png", 3, OIIO::TypeDesc::UINT16, 0, nullptr, 0, 0, 21, 13, Format_UInt16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OIIO::ImageSpec spec(21, 13, c.channels, c.type);
        spec.x = c.x;
        spec.y = c.y;
        spec.full_width = c.fullWidth;
        spec.full_height = c.fullHeight;
        if (c.channels == 2) spec.alpha_channel = 1;
        if (c.tile) spec.tile_width = spec.tile_height = c.tile;
        if (c.compression) spec.attribute("compression", c.compression);
        const std::string path = Path(c.name);
        WriteWithLibrary(path, spec, Values(size_t(21 * 13 * c.channels), c.type == OIIO::TypeDesc::HALF ? 4.0f : 1.0f));

        const bool exr = fs::path(path).extension() == ".exr";
        const ImageFileInfo info = exr ? ProbeExrFile(path, {}) : ProbePngFile(path, {});
        EXPECT_EQ(info.Width, c.fullWidth);
        EXPECT_EQ(info.Height, c.fullHeight);
        EXPECT_EQ(info.HostFormat, c.format);
        HostRef<Image> ours(exr ? ReadExrFile(path, {}, nullptr) : ReadPngFile(path, {}, nullptr));
        HostRef<Image> library(ReadImageFile(path, {}, nullptr));
        EXPECT_EQ(ours.Get()->Format, library.Get()->Format);
        const std::vector<float> mine = Pixels(ours.Get()), theirs = Pixels(library.Get());
        ASSERT_EQ(mine.size(), theirs.size());
        size_t differ = 0, transparent = 0;
        for (size_t i = 0; i < mine.size(); ++i) {
            differ += std::memcmp(&mine[i], &theirs[i], sizeof(float)) != 0;
            transparent += mine[i] == 0.0f;
        }
        EXPECT_EQ(differ, 0u);
        // The windowed cases leave display pixels without data transparent.
        if (c.x != 0 || c.y != 0) {
            EXPECT_GT(transparent, mine.size() / 8);
        }
    }
}

TEST_F(PortableFormatsTest, ChannelsAreChosenByName) {
    // Layer channels, a depth channel and the plain colour, in the file's
    // alphabetical order: only R, G, B and A of no layer are read.
    OIIO::ImageSpec spec(2, 1, 6, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"A", "B", "G", "R", "Z", "diffuse.R"};
    spec.alpha_channel = 0;
    const std::string path = Path("layers.exr");
    WriteWithLibrary(path, spec, {0.5f, 0.25f, 0.125f, 1.0f, 9.0f, 7.0f, 0.75f, 2.0f, 3.0f, 4.0f, 9.0f, 7.0f});
    HostRef<Image> image(ReadExrFile(path, {}, nullptr));
    EXPECT_EQ(Pixels(image.Get()), (std::vector<float>{1.0f, 0.125f, 0.25f, 0.5f, 4.0f, 3.0f, 2.0f, 0.75f}));

    // Without A, alpha is 1 even where another channel could stand for it.
    spec = OIIO::ImageSpec(1, 1, 4, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"B", "G", "R", "Z"};
    WriteWithLibrary(Path("depth.exr"), spec, {0.25f, 0.5f, 0.75f, 0.0f});
    HostRef<Image> depth(ReadExrFile(Path("depth.exr"), {}, nullptr));
    EXPECT_EQ(Pixels(depth.Get()), (std::vector<float>{0.75f, 0.5f, 0.25f, 1.0f}));

    spec.channelnames = {"X", "Z", "depth.R", "depth.G"};
    WriteWithLibrary(Path("nocolour.exr"), spec, {0, 0, 0, 0});
    try {
        ProbeExrFile(Path("nocolour.exr"), {});
        FAIL() << "a file without colour channels was read";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("has no colour channels"), std::string::npos) << e.what();
    }
}

// The choices of layer, view, part and window read what OpenImageIO's
// reader reads for them, and tell the same of what is left unread; what
// the file does not hold is refused by both.
TEST_F(PortableFormatsTest, ChoicesReadWhatOpenImageIOReads) {
    OIIO::ImageSpec spec(3, 2, 8, OIIO::TypeDesc::FLOAT);
    spec.channelnames = {"A", "B", "G", "R", "right.A", "right.B", "right.G", "right.R"};
    spec.alpha_channel = 0;
    const OIIO::ustring views[2] = {OIIO::ustring("left"), OIIO::ustring("right")};
    spec.attribute("multiView", OIIO::TypeDesc(OIIO::TypeDesc::STRING, 2), views);
    spec.x = 1;   // one column of the data outside the display window
    spec.full_x = spec.full_y = 0;
    spec.full_width = 3;
    spec.full_height = 2;
    WriteWithLibrary(Path("views.exr"), spec, Values(48, 1.0f));
    spec = OIIO::ImageSpec(2, 2, 8, OIIO::TypeDesc::HALF);
    spec.channelnames = {"A", "B", "G", "R", "diffuse.A", "diffuse.B", "diffuse.G", "diffuse.R"};
    WriteWithLibrary(Path("layers.exr"), spec, Values(32, 1.0f));

    struct Case {
        const char* file;
        ImageReadChoice choice;
        const char* refusal;   // null: read
    };
    const Case cases[] = {
        {"views.exr", {}, nullptr},
        {"views.exr", {"", "right", "", false, ""}, nullptr},
        {"views.exr", {"", "", "", true, ""}, nullptr},
        {"views.exr", {"", "", "0", false, ""}, nullptr},
        {"layers.exr", {"diffuse", "", "", false, ""}, nullptr},
        {"layers.exr", {}, nullptr},
        {"layers.exr", {"specular", "", "", false, ""}, "no layer 'specular'"},
        {"layers.exr", {"", "right", "", false, ""}, "no view 'right'"},
        {"layers.exr", {"", "", "1", false, ""}, "no part '1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " layer '" + c.choice.Layer + "' view '" + c.choice.View + "' part '" +
                     c.choice.Part + "'" + (c.choice.DataWindow ? " data window" : ""));
        ImageLimits limits;
        limits.Choice = c.choice;
        if (c.refusal) {
            for (bool ours : {true, false}) try {
                    ours ? ProbeExrFile(Path(c.file), limits) : ProbeImageFile(Path(c.file), limits);
                    ADD_FAILURE() << (ours ? "tinyexr" : "OpenImageIO") << " reader took it";
                } catch (const Error& e) {
                    EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
                }
            continue;
        }
        ImageFileInfo a = ProbeExrFile(Path(c.file), limits), b = ProbeImageFile(Path(c.file), limits);
        EXPECT_EQ(a.Width, b.Width);
        EXPECT_EQ(a.Height, b.Height);
        // The libraries list the channels in different orders.
        std::sort(a.Unread.begin(), a.Unread.end());
        std::sort(b.Unread.begin(), b.Unread.end());
        EXPECT_EQ(a.Unread, b.Unread);
        EXPECT_EQ(a.DataOutside, b.DataOutside);
        HostRef<Image> ours(ReadExrFile(Path(c.file), limits, nullptr)), library(ReadImageFile(Path(c.file), limits, nullptr));
        EXPECT_EQ(Pixels(ours.Get()), Pixels(library.Get()));
    }
}

TEST_F(PortableFormatsTest, WritesWhatOpenImageIOReadsBackAsWritten) {
    for (int32_t format : {Format_Float, Format_Half, Format_UInt8, Format_UInt16}) {
        SCOPED_TRACE(format);
        HostRef<Image> image(NewImage(TagList{Tag<IMG_Width>(5), Tag<IMG_Height>(3), Tag<IMG_Channel>(2),
                                              Tag<IMG_Channel>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(3),
                                              Tag<IMG_Format>(format)}));
        const std::vector<float> values = Values(60, 1.0f);
        for (int y = 0; y < 3; ++y) image.Get()->WriteSpan(0, y, 5, values.data() + y * 20);
        const std::vector<float> stored = Pixels(image.Get());
        for (const char* extension : {".exr", ".png"}) {
            SCOPED_TRACE(extension);
            const std::string path = Path(std::string("out") + extension);
            if (std::strcmp(extension, ".exr") == 0)
                WriteExrFile(*image.Get(), path);
            else
                WritePngFile(*image.Get(), path);
            auto in = OIIO::ImageInput::open(path);
            ASSERT_TRUE(in) << OIIO::geterror();
            const OIIO::ImageSpec& spec = in->spec();
            EXPECT_EQ(spec.nchannels, 4);
            const bool exr = extension[1] == 'e';
            EXPECT_EQ(spec.format, exr ? OIIO::TypeDesc::FLOAT
                                       : format == Format_UInt16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8);
            if (exr) {
                EXPECT_EQ(spec.get_string_attribute("compression"), "zip");
            }
            in.reset();
            // Read back by both readers: the host's values again, colour never divided by alpha.
            HostRef<Image> ours(exr ? ReadExrFile(path, {}, nullptr) : ReadPngFile(path, {}, nullptr));
            HostRef<Image> library(ReadImageFile(path, {}, nullptr));
            const bool exact = exr || format == Format_UInt8 || format == Format_UInt16;
            const std::vector<float> a = Pixels(ours.Get()), b = Pixels(library.Get());
            for (size_t i = 0; i < stored.size(); ++i) {
                EXPECT_EQ(a[i], b[i]) << i;
                if (exact) {
                    EXPECT_EQ(a[i], stored[i]) << i;
                } else {
                    EXPECT_NEAR(a[i], stored[i], 0.5 / 255) << i;
                }
            }
        }
    }
}

// Half output and each codec: OpenImageIO reads the type and codec back, and
// the values are the host's (rounded to half where asked).
TEST_F(PortableFormatsTest, WritesHalfAndEachCompression) {
    HostRef<Image> image(NewImage(TagList{Tag<IMG_Width>(7), Tag<IMG_Height>(5), Tag<IMG_Channel>(2),
                                          Tag<IMG_Channel>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(3),
                                          Tag<IMG_Format>(int32_t(Format_Float))}));
    const std::vector<float> values = Values(140, 1.0f / 3);
    for (int y = 0; y < 5; ++y) image.Get()->WriteSpan(0, y, 7, values.data() + y * 28);
    const std::vector<float> stored = Pixels(image.Get());
    const char* names[] = {"none", "rle", "zips", "zip", "piz"};
    for (int code = 0; code < 5; ++code)
        for (bool halves : {false, true}) {
            SCOPED_TRACE(std::string(names[code]) + (halves ? " half" : " float"));
            const std::string path = Path("c.exr");
            WriteExrFile(*image.Get(), path, ExrWrite{halves, code});
            auto in = OIIO::ImageInput::open(path);
            ASSERT_TRUE(in) << OIIO::geterror();
            EXPECT_EQ(in->spec().format, halves ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::FLOAT);
            EXPECT_EQ(in->spec().get_string_attribute("compression"), names[code]);
            in.reset();
            HostRef<Image> back(ReadImageFile(path, {}, nullptr));
            const std::vector<float> read = Pixels(back.Get());
            for (size_t i = 0; i < stored.size(); ++i)
                EXPECT_EQ(read[i], halves ? float(Imath::half(stored[i])) : stored[i]) << i;
        }
}

// An EXR header of the attributes given, as name, type and value bytes.
struct Attribute {
    std::string name, type;
    std::vector<int32_t> ints;
    std::string raw;
};

std::vector<uint8_t> ExrHeader(bool tiled, const std::vector<Attribute>& attributes) {
    std::vector<uint8_t> out = {0x76, 0x2f, 0x31, 0x01, 2, uint8_t(tiled ? 2 : 0), 0, 0};
    auto put = [&](const void* p, size_t n) { out.insert(out.end(), (const uint8_t*)p, (const uint8_t*)p + n); };
    for (const Attribute& a : attributes) {
        put(a.name.c_str(), a.name.size() + 1);
        put(a.type.c_str(), a.type.size() + 1);
        const int32_t size = int32_t(a.raw.size() + a.ints.size() * 4);
        put(&size, 4);
        put(a.raw.data(), a.raw.size());
        put(a.ints.data(), a.ints.size() * 4);
    }
    out.push_back(0);
    out.resize(out.size() + 4096, 0);   // room for the offsets it would read
    return out;
}

TEST_F(PortableFormatsTest, DamagedHeadersAreRefusedBeforeDecoding) {
    std::string rgba;   // the channel list A, B, G, R of floats
    for (char name : {'A', 'B', 'G', 'R'}) {
        rgba += name;
        rgba.append("\0\2\0\0\0\0\0\0\0\1\0\0\0\1\0\0\0", 17);
    }
    rgba += '\0';
    auto header = [&](std::vector<int32_t> data, std::vector<int32_t> tile, int32_t chunks, const std::string& channels) {
        std::vector<Attribute> a = {{"channels", "chlist", {}, channels},
                                    {"compression", "compression", {}, std::string(1, '\3')},
                                    {"dataWindow", "box2i", data, ""},
                                    {"displayWindow", "box2i", {0, 0, 63, 63}, ""},
                                    {"lineOrder", "lineOrder", {}, std::string(1, '\0')},
                                    {"pixelAspectRatio", "float", {0x3f800000}, ""},
                                    {"screenWindowCenter", "v2f", {0, 0}, ""},
                                    {"screenWindowWidth", "float", {0x3f800000}, ""}};
        if (!tile.empty()) a.push_back({"tiles", "tiledesc", {}, std::string((const char*)tile.data(), 8) + '\0'});
        if (chunks) a.push_back({"chunkCount", "int", {chunks}, ""});
        return ExrHeader(!tile.empty(), a);
    };
    std::string many;
    for (int c = 0; c < 40; ++c) {
        many += std::to_string(c + 100);
        many.append("\0\2\0\0\0\0\0\0\0\1\0\0\0\1\0\0\0", 17);
    }
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* message;
    } cases[] = {
        {"huge window", header({0, 0, 2000000000, 1}, {}, 0, rgba), "claims a data window of 2000000001 x 2"},
        {"huge tiles", header({0, 0, 63, 63}, {70000, 70000}, 0, rgba), "claims tiles of 70000 x 70000 pixels"},
        {"many tiles", header({0, 0, 60000, 60000}, {1, 1}, 0, rgba), "bytes of pixels, above the limit"},
        {"chunk count", header({0, 0, 63, 63}, {}, 1 << 30, rgba), "claims 1073741824 chunks"},
        {"channels", header({0, 0, 63, 63}, {}, 0, many + '\0'), "claims 40 channels, above the limit of 32"},
    };
    ImageLimits limits;
    limits.MaxChannels = 32;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path("damaged.exr");
        std::ofstream(path, std::ios::binary).write((const char*)c.bytes.data(), std::streamsize(c.bytes.size()));
        for (bool read : {false, true}) {
            try {
                if (read) HostRef<Image> held(ReadExrFile(path, limits, nullptr));
                else ProbeExrFile(path, limits);
                ADD_FAILURE() << "a damaged header was accepted";
            } catch (const Error& e) {
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
            }
        }
    }
}

}  // namespace
