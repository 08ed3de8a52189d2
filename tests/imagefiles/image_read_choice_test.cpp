// Files read as the caller chooses: channels by name across layers, views
// and parts, the display or the data window, damaged tile headers within
// the memory limit, and the colour space carried to what is written.
#include "ImageFiles.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>

#include "HostApp.h"
#include "HostSystem.h"
#include "ImageTestSupport.h"

namespace fs = std::filesystem;
using namespace tessellon;

namespace {

struct Held {
    Image* image;
    ~Held() { image->Recycle(); }
};

class ImageReadChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("tessellon-read-choice-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::remove_all(dir_);
        EXPECT_EQ(HostApp::LiveObjects(), 0);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A 2 x 1 float file, one spec per part; channel c of pixel x of part p
    // holds p * 100 + c + x / 2.
    void WriteParts(const std::string& name, std::vector<OIIO::ImageSpec> specs) {
        auto out = OIIO::ImageOutput::create(Path(name));
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->open(Path(name), int(specs.size()), specs.data())) << out->geterror();
        for (size_t p = 0; p < specs.size(); ++p) {
            if (p) {
                ASSERT_TRUE(out->open(Path(name), specs[p], OIIO::ImageOutput::AppendSubimage)) << out->geterror();
            }
            const OIIO::ImageSpec& s = specs[p];
            std::vector<float> data(size_t(s.width) * s.height * s.nchannels);
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = float(p * 100 + i % s.nchannels) + float(i / s.nchannels % s.width) / 2;
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, data.data())) << out->geterror();
        }
        ASSERT_TRUE(out->close());
    }

    fs::path dir_;
};

OIIO::ImageSpec Named(std::vector<std::string> names, const char* part = nullptr, int alpha = -1) {
    OIIO::ImageSpec spec(2, 1, int(names.size()), OIIO::TypeDesc::FLOAT);
    spec.channelnames = std::move(names);
    spec.alpha_channel = alpha;
    if (part) spec.attribute("name", part);
    return spec;
}

OIIO::ImageSpec Views(OIIO::ImageSpec spec, std::vector<OIIO::ustring> views) {
    spec.attribute("multiView", OIIO::TypeDesc(OIIO::TypeDesc::STRING, int(views.size())), views.data());
    return spec;
}

ImageLimits Choosing(const char* layer, const char* view = "", const char* part = "") {
    ImageLimits limits;
    limits.Choice.Layer = layer;
    limits.Choice.View = view;
    limits.Choice.Part = part;
    return limits;
}

// Pixel 0 of the frame read, host row 0.
std::array<float, 4> First(const std::vector<float>& pixels) { return {pixels[0], pixels[1], pixels[2], pixels[3]}; }

TEST_F(ImageReadChoiceTest, ChannelsLayersViewsAndPartsAreReadByName) {
    const std::vector<OIIO::ustring> stereo = {OIIO::ustring("left"), OIIO::ustring("right")};
    struct Case {
        const char* what;
        std::vector<OIIO::ImageSpec> parts;
        ImageLimits limits;
        std::array<float, 4> pixel;          // pixel 0
        std::vector<std::string> unread;
    };
    const Case cases[] = {
        {"multi-view grey", {Views(Named({"Y", "right.Y"}), stereo)}, ImageLimits(), {0, 0, 0, 1}, {"view 'right'"}},
        {"its other view", {Views(Named({"Y", "right.Y"}), stereo)}, Choosing("", "right"), {1, 1, 1, 1},
         {"view 'left'"}},
        {"rgb and a view", {Views(Named({"B", "G", "R", "left.B", "left.G", "left.R"}), {OIIO::ustring("right"),
                                                                                         OIIO::ustring("left")})},
         ImageLimits(), {2, 1, 0, 1}, {"view 'left'"}},
        {"red and green", {Named({"R", "G"})}, ImageLimits(), {0, 1, 0, 1}, {}},
        {"rgb and a layer", {Named({"R", "G", "B", "diffuse.R", "diffuse.G", "diffuse.B"})}, ImageLimits(), {0, 1, 2, 1},
         {"layer 'diffuse'"}},
        {"the layer", {Named({"R", "G", "B", "diffuse.A", "diffuse.R", "diffuse.G", "diffuse.B"}, nullptr, 3)},
         Choosing("diffuse"), {4, 5, 6, 3}, {"channel 'R'", "channel 'G'", "channel 'B'"}},
        {"first part with colour", {Named({"Z"}, "depth"), Named({"R", "G", "B", "A"}, "beauty", 3)}, ImageLimits(),
         {100, 101, 102, 103}, {"part 0 'depth'"}},
        {"part by name", {Named({"R", "G", "B"}, "a"), Named({"Y"}, "b")}, Choosing("", "", "b"),
         {100, 100, 100, 1}, {"part 0 'a'"}},
        {"part by number", {Named({"R", "G", "B"}, "a"), Named({"Y"}, "b")}, Choosing("", "", "1"),
         {100, 100, 100, 1}, {"part 0 'a'"}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        WriteParts("in.exr", cs.parts);
        const ImageFileInfo info = ProbeImageFile(Path("in.exr"), cs.limits);
        EXPECT_EQ(info.Unread, cs.unread);
        Held read{ReadImageFile(Path("in.exr"), cs.limits, nullptr)};
        const std::vector<float> pixels = Pixels(read.image);
        EXPECT_EQ(First(pixels), cs.pixel);
        EXPECT_EQ(pixels[4], cs.pixel[0] + 0.5f) << "pixel 1 comes from the same channel";
        EXPECT_EQ(pixels[7], cs.pixel[3] == 1 ? 1.0f : cs.pixel[3] + 0.5f) << "alpha 1 is no channel";
    }

    struct Refusal {
        const char* what;
        std::vector<OIIO::ImageSpec> parts;
        ImageLimits limits;
        std::vector<std::string> words;
    };
    const Refusal refusals[] = {
        {"no colour", {Named({"Z", "N.x"})}, ImageLimits(), {"no colour channels", "Z, N.x"}},
        {"no part with colour", {Named({"Z"}, "depth"), Named({"N.x"}, "normals")}, ImageLimits(),
         {"no part with colour", "part 0 'depth'", "Z"}},
        {"no such part", {Named({"R", "G", "B"}, "a")}, Choosing("", "", "beauty"), {"no part 'beauty'", "part 0 'a'"}},
        {"part without colour", {Named({"R", "G", "B"}, "a"), Named({"Z"}, "depth")}, Choosing("", "", "1"),
         {"part 1 'depth'", "no colour channels"}},
        {"no such layer", {Named({"R", "G", "B"})}, Choosing("spec"), {"no layer 'spec'"}},
        {"no such view", {Views(Named({"Y", "right.Y"}), stereo)}, Choosing("", "centre"), {"no view 'centre'"}},
    };
    for (const Refusal& cs : refusals) {
        SCOPED_TRACE(cs.what);
        WriteParts("bad.exr", cs.parts);
        for (bool probe : {true, false}) {
            try {
                if (probe)
                    ProbeImageFile(Path("bad.exr"), cs.limits);
                else
                    Held read{ReadImageFile(Path("bad.exr"), cs.limits, nullptr)};
                ADD_FAILURE() << "accepted";
            } catch (const Error& e) {
                EXPECT_EQ(e.Where().File, Path("bad.exr"));
                for (const std::string& word : cs.words)
                    EXPECT_NE(e.Message().find(word), std::string::npos) << e.what();
            }
        }
    }
}

// The display window is the frame unless the data window is asked for;
// the probe says when data is dropped or missing.
TEST_F(ImageReadChoiceTest, WindowsGiveTheFrame) {
    struct Case {
        const char* what;
        int x, y, w, h;         // data window
        bool dataWindow;
        int width, height;      // the frame
        bool outside, none;
        int dataX, dataY;       // file coordinates of host pixel (0, top row)
    };
    // Display window: origin (3, -2), 6 x 4.
    const Case cases[] = {
        {"inside, offset display", 4, -1, 2, 2, false, 6, 4, false, false, 3, -2},
        {"overscan", 1, -4, 10, 8, false, 6, 4, true, false, 3, -2},
        {"overscan kept", 1, -4, 10, 8, true, 10, 8, false, false, 1, -4},
        {"disjoint", 40, 40, 2, 2, false, 6, 4, true, true, 3, -2},
        {"disjoint, its own", 40, 40, 2, 2, true, 2, 2, false, false, 40, 40},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        OIIO::ImageSpec spec(cs.w, cs.h, 4, OIIO::TypeDesc::FLOAT);
        spec.x = cs.x;
        spec.y = cs.y;
        spec.full_x = 3;
        spec.full_y = -2;
        spec.full_width = 6;
        spec.full_height = 4;
        std::vector<float> data(size_t(cs.w) * cs.h * 4);
        for (int r = 0; r < cs.h; ++r)
            for (int x = 0; x < cs.w; ++x)
                for (int c = 0; c < 4; ++c)
                    data[(size_t(r) * cs.w + x) * 4 + c] = float(cs.x + x) * 1000 + float(cs.y + r) + c * 0.25f;
        auto out = OIIO::ImageOutput::create(Path("w.exr"));
        ASSERT_TRUE(out->open(Path("w.exr"), spec) && out->write_image(OIIO::TypeDesc::FLOAT, data.data()));
        out->close();

        ImageLimits limits;
        limits.Choice.DataWindow = cs.dataWindow;
        const ImageFileInfo info = ProbeImageFile(Path("w.exr"), limits);
        EXPECT_EQ(info.Width, cs.width);
        EXPECT_EQ(info.Height, cs.height);
        EXPECT_EQ(info.DataOutside, cs.outside);
        EXPECT_EQ(info.NoData, cs.none);
        Held read{ReadImageFile(Path("w.exr"), limits, nullptr)};
        ASSERT_EQ(read.image->Width, cs.width);
        const std::vector<float> pixels = Pixels(read.image);
        for (int hy = 0; hy < cs.height; ++hy)
            for (int hx = 0; hx < cs.width; ++hx) {
                const int fx = cs.dataX + hx, fy = cs.dataY + cs.height - 1 - hy;
                const bool inData = fx >= cs.x && fx < cs.x + cs.w && fy >= cs.y && fy < cs.y + cs.h;
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(pixels[(size_t(hy) * cs.width + hx) * 4 + c],
                              inData ? float(fx) * 1000 + float(fy) + c * 0.25f : 0.0f)
                        << hx << ", " << hy << " channel " << c;
            }
    }
}

// Written files hold the colour space of their format: 8-bit sRGB pixels
// become linear in an EXR file, linear ones sRGB in a PNG file; pixels of
// no known colour space pass unchanged and unlabelled.
TEST_F(ImageReadChoiceTest, ColourIsConvertedToTheFormatsOwn) {
    const auto encode = [](float v) { return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f; };
    struct Case {
        const char* file;
        const char* from;     // the pixels' colour space
        const char* label;    // expected oiio:ColorSpace, read back
        bool toLinear, toSrgb;
    };
    const Case cases[] = {
        {"lin.exr", "sRGB", "Linear", true, false},
        {"same.exr", "linear", "Linear", false, false},
        {"srgb.png", "linear", "sRGB", false, true},
        {"same.png", "sRGB", "sRGB", false, false},
        {"plain.exr", "", nullptr, false, false},
    };
    const float values[4] = {0.5f, 0.2f, 0.9f, 0.5f};
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.file);
        Image* image = NewImage(TagList{Tag<IMG_Width>(1), Tag<IMG_Height>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1),
                                        Tag<IMG_Channel>(2), Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_Float))});
        Held held{image};
        image->WriteSpan(0, 0, 1, values);
        WriteOptions options;
        options.ColorSpace = cs.from;
        WriteImageFile(*image, Path(cs.file), options);
        OIIO::ImageSpec raw;
        raw.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(Path(cs.file), &raw);
        ASSERT_TRUE(in);
        float back[4];
        ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, back));
        if (cs.label) {
            EXPECT_TRUE(OIIO::Strutil::iequals(in->spec().get_string_attribute("oiio:ColorSpace"), cs.label));
        }
        for (int c = 0; c < 3; ++c) {
            float want = values[c];
            if (cs.toSrgb) want = encode(values[c]);
            if (cs.toLinear) {
                EXPECT_NEAR(encode(back[c]), values[c], 2e-3) << c;
            } else {
                EXPECT_NEAR(back[c], want, 0.6f / 255) << c;
            }
        }
        EXPECT_NEAR(back[3], values[3], 0.6f / 255) << "alpha is not converted";
    }
    // Many rows: the threads that compress the chunks convert them, each
    // row to its own values.
    constexpr int W = 9, H = 300;
    Image* image = NewImage(TagList{Tag<IMG_Width>(W), Tag<IMG_Height>(H), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1),
                                    Tag<IMG_Channel>(2), Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_Float))});
    Held held{image};
    const auto value = [](int x, int y, int c) { return float((x * 7 + y * 3 + c * 11) % 256) / 255; };
    for (int y = 0; y < H; ++y) {
        float row[W * 4];
        for (int x = 0; x < W * 4; ++x) row[x] = value(x / 4, y, x % 4);
        image->WriteSpan(0, y, W, row);
    }
    WriteOptions options;
    options.ColorSpace = "sRGB";
    WriteImageFile(*image, Path("rows.exr"), options);
    auto in = OIIO::ImageInput::open(Path("rows.exr"));
    ASSERT_TRUE(in);
    std::vector<float> back(size_t(W) * H * 4);
    ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, back.data()));
    for (int y = 0; y < H; ++y)   // the file's first row is the image's top row
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 4; ++c) {
                const float got = back[(size_t(H - 1 - y) * W + size_t(x)) * 4 + size_t(c)];
                ASSERT_NEAR(c < 3 ? encode(got) : got, value(x, y, c), 2e-3) << x << ", " << y << ", " << c;
            }
}

// What a file's format says of its colour, and what the library only
// assumes: a PFM file is labelled nothing, so a stitch of PFM frames into
// PFM leaves every value as it was.
TEST_F(ImageReadChoiceTest, ColourLabelsAreTheFilesOwn) {
    Image* image = NewImage(TagList{Tag<IMG_Width>(1), Tag<IMG_Height>(1), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1),
                                    Tag<IMG_Channel>(2), Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_Float))});
    Held held{image};
    const float values[4] = {0.5f, 0.2f, 0.9f, 1.0f};
    image->WriteSpan(0, 0, 1, values);
    WriteImageFile(*image, Path("f.pfm"));
    WriteImageFile(*image, Path("f.png"));
    EXPECT_EQ(ProbeImageFile(Path("f.pfm"), {}).ColorSpace, "");
    EXPECT_TRUE(OIIO::Strutil::iequals(ProbeImageFile(Path("f.png"), {}).ColorSpace, "sRGB"));
}

TEST_F(ImageReadChoiceTest, ExrTypeAndCompressionAreChosen) {
    Image* image = NewImage(TagList{Tag<IMG_Width>(2), Tag<IMG_Height>(2), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1),
                                    Tag<IMG_Channel>(2), Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_Float))});
    Held held{image};
    for (const char* compression : {"piz", "none", "DWAB"}) {
        WriteOptions options;
        options.DataType = "half";
        options.Compression = compression;
        WriteImageFile(*image, Path("out.exr"), options);
        auto in = OIIO::ImageInput::open(Path("out.exr"));
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().format, OIIO::TypeDesc::HALF);
        EXPECT_TRUE(OIIO::Strutil::istarts_with(in->spec().get_string_attribute("compression"), compression))
            << in->spec().get_string_attribute("compression");
    }
    struct Refusal {
        const char* file;
        const char* type;
        const char* compression;
        const char* words;
    };
    const Refusal refusals[] = {
        {"bad.png", "half", "", "takes no -d"},
        {"bad.tif", "", "zip", "takes no --compression"},
        {"bad.exr", "double", "", "unknown data type 'double'"},
        {"bad.exr", "", "lzw", "unknown compression 'lzw'"},
    };
    for (const Refusal& cs : refusals) {
        WriteOptions options;
        options.DataType = cs.type;
        options.Compression = cs.compression;
        for (bool write : {false, true}) {
            try {
                if (write)
                    WriteImageFile(*image, Path(cs.file), options);
                else
                    CheckWriteOptions(Path(cs.file), options);
                ADD_FAILURE() << cs.words;
            } catch (const Error& e) {
                EXPECT_EQ(e.Where().File, Path(cs.file));
                EXPECT_NE(e.Message().find(cs.words), std::string::npos) << e.what();
            }
        }
        EXPECT_FALSE(fs::exists(Path(cs.file)));
    }
}

}  // namespace
