// What reading a damaged tile header costs, in a test executable of its
// own: the peak resident memory of the process is this read's alone.
#include "ImageFiles.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <OpenImageIO/imageio.h>

#include "HostSystem.h"

namespace fs = std::filesystem;
using namespace tessellon;

namespace {

// The peak resident memory of this process, in bytes.
uint64_t PeakResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

// A tiled EXR file whose header is patched to declare tiles of 16 x
// 33554432 pixels.
void WriteTallTiles(const std::string& path) {
    OIIO::ImageSpec spec(64, 48, 1, OIIO::TypeDesc::HALF);
    spec.tile_width = spec.tile_height = 16;
    std::vector<float> data(64 * 48, 0.5f);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out->open(path, spec) && out->write_image(OIIO::TypeDesc::FLOAT, data.data()));
    out->close();
    std::vector<char> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const char key[] = "tiles\0tiledesc";   // name, type, then size (4) and x and y size
    const auto at = std::search(bytes.begin(), bytes.end(), key, key + sizeof(key));
    ASSERT_NE(at, bytes.end());
    const uint32_t rows = 33554432;
    std::memcpy(&*(at + sizeof(key) + 4 + 4), &rows, 4);
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// A file written with 16 x 16 tiles, then patched to declare tiles of
// 16 x 33554432 pixels, is refused before either image library allocates
// for them; a sound file first brings the libraries to their working size.
TEST(ImageMemory, DamagedTileHeadersAreRefusedWithinLittleMemory) {
    const fs::path dir = fs::temp_directory_path() / ("tessellon-image-memory-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const auto Path = [&](const char* name) { return (dir / name).string(); };
    WriteTallTiles(Path("tall.exr"));
    std::vector<float> data(64 * 48, 0.5f);
    auto out = OIIO::ImageOutput::create(Path("sound.exr"));
    OIIO::ImageSpec sound(64, 48, 1, OIIO::TypeDesc::HALF);
    sound.tile_width = sound.tile_height = 16;
    ASSERT_TRUE(out->open(Path("sound.exr"), sound) && out->write_image(OIIO::TypeDesc::FLOAT, data.data()));
    out->close();
    {
        Image* image = ReadImageFile(Path("sound.exr"), ImageLimits(), nullptr);
        image->Recycle();
    }
    const uint64_t before = PeakResident();
    try {
        Image* image = ReadImageFile(Path("tall.exr"), ImageLimits(), nullptr);
        image->Recycle();
        ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
        EXPECT_EQ(e.Where().File, Path("tall.exr"));
        EXPECT_NE(e.Message().find("16 x 33554432"), std::string::npos) << e.what();
    }
    EXPECT_LT(PeakResident() - before, uint64_t(100) << 20);
    fs::remove_all(dir);
}

}  // namespace
