// Checks shared by the image readers: before a file is opened, and of the
// sizes its header claims before anything is allocated for them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "Error.h"
#include <vector>

#include "HostSystem.h"
#include "ImageFiles.h"

namespace tessellon {

// Refuses, naming `path`, what is no regular file: a missing file, a
// folder, a pipe or a device (which would be read until it ends, if ever).
void CheckRegularFile(const std::string& path);

// A regular, non-empty file's first `limit` bytes (all of it by default).
// Throws Error naming `path`.
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t limit = UINT64_MAX);

// A byte count in 64-bit checked arithmetic: once a step overflows, the
// count stays "more than 2^64".
class ByteCount {
public:
    ByteCount() = default;
    explicit ByteCount(uint64_t value) : value_(value) {}
    static ByteCount Product(std::initializer_list<uint64_t> factors);

    ByteCount operator+(ByteCount other) const;
    ByteCount operator*(uint64_t factor) const;

    bool Overflowed() const { return overflowed_; }
    uint64_t Value() const { return value_; }
    bool operator<(const ByteCount& other) const;   // an overflowed count is the largest

private:
    uint64_t value_ = 0;
    bool overflowed_ = false;
};

// Each refuses a claim above the limits, naming the figures and the option
// that raises the limit. Sizes are as the file claims them, in 64 bits.
void CheckImageSize(const std::string& path, int64_t width, int64_t height, const ImageLimits& limits);
void CheckDataWindowSize(const std::string& path, int64_t width, int64_t height, const ImageLimits& limits);
void CheckChannelCount(const std::string& path, int64_t channels, const ImageLimits& limits);
// Refuses, naming `path`, a --part other than 0 of a file with one part.
void CheckSinglePart(const std::string& path, const ImageReadChoice& choice);
// `bytes`: what reading the frame holds at its peak.
void CheckPixelBytes(const std::string& path, ByteCount bytes, const ImageLimits& limits);

// The host image a decoded frame of width x height in `format` goes into,
// in the stored channel order, told that every pixel is about to be
// written; holding only `rows` where given. `overwritten`: every pixel of
// those rows is written by the decoding, and the image need not be cleared
// (HostApp::IMG_Overwritten). A host refusal is an Error naming `path` with
// the host's reason.
HostRef<Image> NewFrameImage(const std::string& path, int width, int height, int32_t format, void* imageContext,
                             const FrameRows* rows = nullptr, bool overwritten = false);

// Marks an image as holding pixels before they are decoded straight into
// its storage, behind the host's back: one of them is written through the
// host, to be overwritten by the decoding.
void MarkWritten(Image& image);

// Running out of memory while reading, as an Error naming the file.
Error FrameOutOfMemory(const std::string& path);

}  // namespace tessellon
