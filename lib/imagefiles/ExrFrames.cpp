#include "ExrFrames.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <Imath/half.h>
#include <OpenEXR/IexBaseExc.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfInputPart.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfThreading.h>

#include "FileChecks.h"
#include "HostApp.h"
#include "HostSystem.h"

namespace tessellon {

namespace {

// The file's bytes through a read-only map: OpenEXR then takes the chunks
// of uncompressed files from the page cache without copying them first.
class MappedStream : public Imf::IStream {
public:
    explicit MappedStream(const std::string& path) : Imf::IStream(path.c_str()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0) {
            if (fd >= 0) ::close(fd);
            throw BadFile(path, "cannot read the pixels: the file cannot be opened");
        }
        size_ = uint64_t(st.st_size);
        void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (map == MAP_FAILED) throw BadFile(path, "cannot read the pixels: the file cannot be mapped");
        bytes_ = static_cast<char*>(map);
    }
    ~MappedStream() override { ::munmap(bytes_, size_); }
    MappedStream(const MappedStream&) = delete;
    MappedStream& operator=(const MappedStream&) = delete;

    bool isMemoryMapped() const override { return true; }
    char* readMemoryMapped(int n) override {
        Take(n);
        return bytes_ + (at_ - uint64_t(n));
    }
    bool read(char c[], int n) override {
        Take(n);
        std::memcpy(c, bytes_ + (at_ - uint64_t(n)), size_t(n));
        return at_ < size_;
    }
    uint64_t tellg() override { return at_; }
    void seekg(uint64_t pos) override { at_ = pos; }

private:
    void Take(int n) {
        if (n < 0 || at_ > size_ || uint64_t(n) > size_ - at_) throw Iex::InputExc("Unexpected end of file.");
        at_ += uint64_t(n);
    }

    char* bytes_ = nullptr;
    uint64_t size_ = 0, at_ = 0;
};

// The file through read(), as OpenEXR opens files itself.
class PlainStream : public Imf::IStream {
public:
    explicit PlainStream(const std::string& path) : Imf::IStream(path.c_str()) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw BadFile(path, "cannot read the pixels: the file cannot be opened");
    }
    ~PlainStream() override { ::close(fd_); }
    PlainStream(const PlainStream&) = delete;
    PlainStream& operator=(const PlainStream&) = delete;

    bool read(char c[], int n) override {
        for (int done = 0; done < n;) {
            const ssize_t got = ::pread(fd_, c + done, size_t(n - done), off_t(at_));
            if (got <= 0) throw Iex::InputExc("Unexpected end of file.");
            done += int(got);
            at_ += uint64_t(got);
        }
        return true;
    }
    uint64_t tellg() override { return at_; }
    void seekg(uint64_t pos) override { at_ = pos; }

private:
    int fd_ = -1;
    uint64_t at_ = 0;
};

Imf::PixelType PixelTypeOf(int32_t format) { return format == Format_Half ? Imf::HALF : Imf::FLOAT; }

// Four interleaved channels of `format` in group 0, nothing in group 1.
bool Interleaved(const Image& image) {
    const BufferGroup& g = image.Group[0];
    if (!g.Base || !g.RowOffsets || image.Group[1].RowOffsets || image.Channels != 4) return false;
    if ((image.Format != Format_Half && image.Format != Format_Float) ||
        g.PixelStride != int64_t(4 * BytesPerChannel(image.Format)))
        return false;
    bool seen[4] = {};
    for (int32_t c : image.ChannelMap) {
        if (c < 0 || c > 3 || seen[c]) return false;
        seen[c] = true;
    }
    return true;
}

// The byte step from host row `first` to the next, the same for every row
// up to `end`; false where the rows are not evenly spaced.
bool RowStep(const Image& image, int32_t first, int32_t end, int64_t& step) {
    const int64_t* rows = image.Group[0].RowOffsets;
    step = end - first > 1 ? rows[first + 1] - rows[first] : 0;
    for (int32_t y = first + 1; y < end; ++y)
        if (rows[y] - rows[y - 1] != step) return false;
    return true;
}

// A slice whose pixel (x, y) of the file lands at `origin` + (x - x0) *
// xStride + (y - y0) * yStride. OpenEXR adds x * xStride + y * yStride to the
// base it is given, so the base is the origin moved back by (x0, y0), worked
// out in integers: it may lie outside the image.
Imf::Slice SliceAt(Imf::PixelType type, uint8_t* origin, int64_t x0, int64_t y0, int64_t xStride, int64_t yStride,
                   double fill) {
    const intptr_t base = intptr_t(origin) - intptr_t(x0 * xStride) - intptr_t(y0 * yStride);
    return Imf::Slice(type, reinterpret_cast<char*>(base), size_t(xStride), size_t(yStride), 1, 1, fill);
}

// A name no channel of the header has, for a slice OpenEXR only fills.
std::string FillName(const Imf::ChannelList& channels, int slot) {
    std::string name = "tessellon.fill" + std::to_string(slot);
    while (channels.findChannel(name)) name += "_";
    return name;
}

// Whether OpenEXR can convert the file channel into storage of `format`
// exactly as the image library does: half into half, half and float into
// float, with every pixel sampled.
bool Convertible(const Imf::Channel* channel, int32_t format) {
    if (!channel || channel->xSampling != 1 || channel->ySampling != 1) return false;
    return format == Format_Half ? channel->type == Imf::HALF : channel->type == Imf::HALF || channel->type == Imf::FLOAT;
}

bool DecodeInto(Imf::IStream& stream, const ExrFrameRead& read, Image& image, int64_t step) {
    Imf::MultiPartInputFile file(stream, std::max(0, read.Threads));
    if (read.Part < 0 || read.Part >= file.parts()) return false;
    Imf::InputPart part(file, read.Part);
    const Imf::Header& header = part.header();
    const Imath::Box2i data = header.dataWindow();
    if (data.min.x < read.FrameX0 || int64_t(data.max.x) + 1 > read.FrameX0 + image.Width) return false;
    if (read.Y0 < data.min.y || read.Y1 > int64_t(data.max.y) + 1 || read.Y0 >= read.Y1) return false;

    const BufferGroup& g = image.Group[0];
    const int bytes = BytesPerChannel(image.Format);
    const Imf::PixelType type = PixelTypeOf(image.Format);
    // Pixel (x, Y0) of the file: the top row read is the highest host row.
    uint8_t* top = g.Base + g.RowOffsets[read.FrameY1 - 1 - read.Y0] + (data.min.x - read.FrameX0) * g.PixelStride;
    Imf::FrameBuffer frame;
    int copyFrom[4] = {-1, -1, -1, -1};   // slots another slot's channel is copied into
    for (int slot = 0; slot < 4; ++slot) {
        const int record = image.ChannelMap[slot];
        const std::string& name = read.Channels[size_t(record)];
        for (int earlier = 0; earlier < slot && !name.empty(); ++earlier)
            if (read.Channels[size_t(image.ChannelMap[earlier])] == name) copyFrom[slot] = earlier;
        if (copyFrom[slot] >= 0) continue;
        if (!name.empty() && !Convertible(header.channels().findChannel(name), image.Format)) return false;
        frame.insert(name.empty() ? FillName(header.channels(), slot) : name,
                     SliceAt(type, top + slot * bytes, data.min.x, read.Y0, g.PixelStride, -step,
                             read.Fill[size_t(record)]));
    }
    part.setFrameBuffer(frame);
    part.readPixels(int(read.Y0), int(read.Y1 - 1));

    // A channel feeding several (grey) is decoded once and copied.
    const int64_t width = int64_t(data.max.x) - data.min.x + 1;
    for (int slot = 0; slot < 4; ++slot) {
        if (copyFrom[slot] < 0) continue;
        for (int64_t y = read.Y0; y < read.Y1; ++y) {
            uint8_t* pixel = top - (y - read.Y0) * step;
            for (int64_t x = 0; x < width; ++x, pixel += g.PixelStride)
                std::memcpy(pixel + slot * bytes, pixel + copyFrom[slot] * bytes, size_t(bytes));
        }
    }
    return true;
}

Imf::Compression CompressionOf(const std::string& name) {
    static const std::pair<const char*, Imf::Compression> codecs[] = {
        {"none", Imf::NO_COMPRESSION}, {"rle", Imf::RLE_COMPRESSION},     {"zips", Imf::ZIPS_COMPRESSION},
        {"zip", Imf::ZIP_COMPRESSION}, {"piz", Imf::PIZ_COMPRESSION},     {"pxr24", Imf::PXR24_COMPRESSION},
        {"b44", Imf::B44_COMPRESSION}, {"b44a", Imf::B44A_COMPRESSION},   {"dwaa", Imf::DWAA_COMPRESSION},
        {"dwab", Imf::DWAB_COMPRESSION}};
    for (const auto& [text, code] : codecs)
        if (name == text) return code;
    return Imf::ZIP_COMPRESSION;
}

}  // namespace

int ExrThreads() {
    return std::max({Imf::globalThreadCount(), int(std::thread::hardware_concurrency()), 1});
}

bool ReadExrFrame(const std::string& path, const ExrFrameRead& read, Image& image) {
    if (!Interleaved(image)) return false;
    const HostApp::RowRange held = HostApp::StoredRows(&image);
    const int64_t first = read.FrameY1 - read.Y1, end = read.FrameY1 - read.Y0;
    int64_t step = 0;
    if (first < held.First || end > held.End || first >= end || !RowStep(image, int32_t(first), int32_t(end), step))
        return false;
    try {
        std::unique_ptr<Imf::IStream> stream;
        if (read.Mapped)
            stream = std::make_unique<MappedStream>(path);
        else
            stream = std::make_unique<PlainStream>(path);
        return DecodeInto(*stream, read, image, step);
    } catch (const Error&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw BadFile(path, std::string("cannot read the pixels: ") + e.what());
    }
}

void WriteExrFrame(const Image& image, const PendingFile& file, const ExrFrameWrite& how,
                   const RowConversion& convert, const std::string& path) {
    const int32_t w = image.Width, h = image.Height;
    Imf::Header header(w, h);
    header.compression() = CompressionOf(how.Compression);
    const Imf::PixelType fileType = how.Half ? Imf::HALF : Imf::FLOAT;
    for (const char* name : {"R", "G", "B", "A"}) header.channels().insert(name, Imf::Channel(fileType));

    // Straight from the storage where it holds the file's type; else one
    // copy in the file's type, converted. OpenEXR's writer converts no types.
    int64_t step = 0;
    const int32_t fileFormat = how.Half ? Format_Half : Format_Float;
    const bool direct = !convert && Interleaved(image) && image.Format == fileFormat && RowStep(image, 0, h, step);
    std::vector<float> floats;
    std::vector<half> halves;
    const uint8_t* top = nullptr;
    int64_t pixelStride = 0;
    int slotOf[4] = {0, 1, 2, 3};   // where R, G, B, A lie in a pixel
    const int bytes = BytesPerChannel(fileFormat);
    if (direct) {
        const BufferGroup& g = image.Group[0];
        top = g.Base + g.RowOffsets[h - 1];
        pixelStride = g.PixelStride;
        for (int slot = 0; slot < 4; ++slot) slotOf[image.ChannelMap[slot]] = slot;
    } else {
        floats.resize(size_t(w) * size_t(h) * 4);
        for (int32_t y = 0; y < h; ++y) {
            float* row = floats.data() + size_t(y) * size_t(w) * 4;
            image.ReadSpan(0, h - 1 - y, w, row);
            if (convert) convert(row, w);
        }
        top = reinterpret_cast<const uint8_t*>(floats.data());
        if (how.Half) {
            halves.assign(floats.begin(), floats.end());
            std::vector<float>().swap(floats);
            top = reinterpret_cast<const uint8_t*>(halves.data());
        }
        pixelStride = 4 * bytes;
        step = -pixelStride * w;   // copied top row first
    }
    Imf::FrameBuffer frame;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c)
        frame.insert(names[c], SliceAt(fileType, const_cast<uint8_t*>(top) + slotOf[c] * bytes, 0, 0, pixelStride,
                                       -step, 0.0));
    std::ofstream stream(file.Path(), std::ios::binary | std::ios::trunc);
    if (!stream)
        throw BadFile(path, "cannot create a file in '" + file.Directory().string() + "': " + std::strerror(errno));
    try {
        Imf::StdOFStream os(stream, file.Path().c_str());
        // The line offsets are written as the file closes.
        Imf::OutputFile out(os, header, ExrThreads());
        out.setFrameBuffer(frame);
        out.writePixels(h);
    } catch (const std::exception& e) {
        throw BadFile(path, std::string("cannot write: ") + e.what());
    }
    if (!stream.flush())
        throw BadFile(path, "cannot write the file in '" + file.Directory().string() + "'");
}

}  // namespace tessellon
