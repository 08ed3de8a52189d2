#include "FileChecks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "Error.h"
#include "HostApp.h"

namespace fs = std::filesystem;

namespace tessellon {

void CheckRegularFile(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) throw BadFile(path, "no such file");
    if (status.type() == fs::file_type::directory)
        throw BadFile(path, "is a directory, not an image file");
    if (status.type() != fs::file_type::regular) throw BadFile(path, "is not a regular file");
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t limit) {
    CheckRegularFile(path);
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec)
        throw BadFile(path, "cannot read the image: " + ec.message());
    if (size == 0)
        throw BadFile(path, "is empty (0 bytes)");
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in)
        throw BadFile(path, "cannot open the file");
    std::vector<uint8_t> bytes(size_t(std::min<uintmax_t>(size, limit)));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
        throw BadFile(path, "cannot read the file");
    return bytes;
}

ByteCount ByteCount::Product(std::initializer_list<uint64_t> factors) {
    ByteCount count(1);
    for (uint64_t factor : factors) count = count * factor;
    return count;
}

ByteCount ByteCount::operator+(ByteCount other) const {
    ByteCount sum;
    sum.overflowed_ = overflowed_ || other.overflowed_ || __builtin_add_overflow(value_, other.value_, &sum.value_);
    return sum;
}

ByteCount ByteCount::operator*(uint64_t factor) const {
    ByteCount product;
    product.overflowed_ = overflowed_ || __builtin_mul_overflow(value_, factor, &product.value_);
    return product;
}

bool ByteCount::operator<(const ByteCount& other) const {
    if (overflowed_ || other.overflowed_) return !overflowed_ && other.overflowed_;
    return value_ < other.value_;
}

namespace {

std::string SizeLimit(const ImageLimits& limits) {
    return std::to_string(limits.MaxWidth) + " x " + std::to_string(limits.MaxHeight);
}

}  // namespace

void CheckImageSize(const std::string& path, int64_t width, int64_t height, const ImageLimits& limits) {
    if (width <= 0 || height <= 0)
        throw BadFile(path, "has no pixels (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    if (width > limits.MaxWidth || height > limits.MaxHeight)
        throw BadFile(path, "claims " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels, above the limit of " + SizeLimit(limits) + " (--max-image-size raises it)");
}

void CheckDataWindowSize(const std::string& path, int64_t width, int64_t height, const ImageLimits& limits) {
    if (width <= 0 || height <= 0)
        throw BadFile(path, "has an empty data window (" + std::to_string(width) + " x " + std::to_string(height) + ")");
    if (width > limits.MaxWidth || height > limits.MaxHeight)
        throw BadFile(path, "claims a data window of " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels, above the limit of " + SizeLimit(limits) + " (--max-image-size raises it)");
}

void CheckChannelCount(const std::string& path, int64_t channels, const ImageLimits& limits) {
    if (channels <= 0)
        throw BadFile(path, "has no channels");
    if (channels > limits.MaxChannels)
        throw BadFile(path, "claims " + std::to_string(channels) + " channels, above the limit of " +
                                std::to_string(limits.MaxChannels) + " (--max-channels raises it)");
}

void CheckSinglePart(const std::string& path, const ImageReadChoice& choice) {
    if (!choice.Part.empty() && choice.Part != "0")
        throw BadFile(path, "has no part '" + choice.Part + "': it is a file of one part (part 0)");
}

void CheckPixelBytes(const std::string& path, ByteCount bytes, const ImageLimits& limits) {
    if (bytes.Overflowed() || bytes.Value() > limits.MaxBytes)
        throw BadFile(path, "needs " + (bytes.Overflowed() ? std::string("more than 2^64") : std::to_string(bytes.Value())) +
                                " bytes of pixels, above the limit of " + std::to_string(limits.MaxBytes) +
                                " bytes (--max-frame-bytes raises it)");
}

HostRef<Image> NewFrameImage(const std::string& path, int width, int height, int32_t format, void* imageContext,
                             const FrameRows* rows, bool overwritten) {
    // The rows are always told, so that a frame is never taken for an image
    // of a region render's own.
    const HostApp::RowRange held = rows ? rows->Rows : HostApp::RowRange{0, height};
    const HostApp::RowRange like = rows ? rows->LikeRows : held;
    Image* image = NewImage(TagList{
        Tag<HostApp::IMG_FirstRow>(held.First),
        Tag<HostApp::IMG_EndRow>(held.End),
        Tag<HostApp::IMG_LikeFirstRow>(like.First),
        Tag<HostApp::IMG_LikeEndRow>(like.End),
        Tag<IMG_Context>(imageContext),
        Tag<IMG_Width>(int32_t(width)),
        Tag<IMG_Height>(int32_t(height)),
        Tag<IMG_Channel>(StoredChannels[0]),
        Tag<IMG_Channel>(StoredChannels[1]),
        Tag<IMG_Channel>(StoredChannels[2]),
        Tag<IMG_Channel>(StoredChannels[3]),
        Tag<IMG_Format>(format),
        Tag<HostApp::IMG_Overwritten>(overwritten ? 1 : 0),
    });
    if (!image)
        throw BadFile(path, "the host refused a " + std::to_string(width) + " x " + std::to_string(height) +
                                " image: " + HostApp::LastImageRefusal().Text);
    HostApp::ExpectDense(image);
    return HostRef<Image>(image);
}

void MarkWritten(Image& image) {
    const float clear[4] = {0, 0, 0, 0};
    image.WriteSpan(0, HostApp::StoredRows(&image).First, 1, clear);
}

Error FrameOutOfMemory(const std::string& path) {
    return BadFile(path, "ran out of memory while reading the image (--max-frame-bytes bounds what a frame may take)");
}

}  // namespace tessellon
