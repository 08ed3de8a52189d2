#include "ExrFrames.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
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
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>
#include <OpenEXR/openexr.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ExrDeflate.h"
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

// The rows OpenEXR decodes at once for a scanline part's compression.
int64_t LinesPerChunk(Imf::Compression compression) {
    switch (compression) {
    case Imf::NO_COMPRESSION:
    case Imf::RLE_COMPRESSION:
    case Imf::ZIPS_COMPRESSION: return 1;
    case Imf::ZIP_COMPRESSION:
    case Imf::PXR24_COMPRESSION: return 16;
    case Imf::DWAB_COMPRESSION: return 256;
    default: return 32;   // piz, b44, b44a, dwaa
    }
}

// The rows of a file a read decoded past those it was asked for, to the end
// of the chunk holding its last row, with a few rows before them: the next
// band of the same file starts there. Decoding a chunk again for each band
// that shares it costs more than keeping its rows.
struct CarriedRows {
    // What the rows were decoded for: the same file, part and channels
    // into storage of the same format, order and columns.
    struct Key {
        std::string Path;
        uint64_t Device = 0, Inode = 0, Size = 0;
        int64_t Modified = 0;
        int Part = 0;
        std::array<std::string, 4> Channels;
        std::array<float, 4> Fill;
        int32_t Format = 0;
        std::array<int32_t, 4> ChannelMap;
        int64_t X0 = 0, Width = 0;
        bool operator==(const Key&) const = default;
    };
    Key Of;
    int64_t Y0 = 0, Y1 = 0;   // file rows held, half-open
    // Rows Y0 to Y1 - 1, one after the other, at the start of Pixels, which
    // has Room bytes. Not cleared when made: every byte is written before it
    // is read, and the next band's rows reuse the room.
    std::unique_ptr<uint8_t[]> Pixels;
    size_t Room = 0;
};

// Rows kept before a band's last decoded row, for the next band's rows to spare.
constexpr int64_t CarriedRowsBefore = 4;

class RowCarry {
public:
    void SetLimit(uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        limit_ = bytes;
        if (bytes == 0) {
            kept_.clear();
            held_ = 0;
        }
    }
    bool On() {
        std::lock_guard<std::mutex> lock(mutex_);
        return limit_ > 0;
    }
    // The rows kept for `key`, taken out of the store; no Pixels for none.
    CarriedRows Take(const CarriedRows::Key& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < kept_.size(); ++i)
            if (kept_[i].Of == key) {
                CarriedRows found = std::move(kept_[i]);
                kept_.erase(kept_.begin() + ptrdiff_t(i));
                held_ -= found.Room;
                return found;
            }
        return {};
    }
    // Keeps the rows, giving up the oldest kept to stay within the limit.
    void Keep(CarriedRows rows) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (rows.Room > limit_) return;
        size_t oldest = 0;
        while (held_ + rows.Room > limit_) held_ -= kept_[oldest++].Room;
        kept_.erase(kept_.begin(), kept_.begin() + ptrdiff_t(oldest));
        held_ += rows.Room;
        kept_.push_back(std::move(rows));
    }

private:
    std::mutex mutex_;
    std::vector<CarriedRows> kept_;
    uint64_t held_ = 0, limit_ = 0;
};

RowCarry& Carry() {
    static RowCarry carry;
    return carry;
}

std::atomic<uint64_t> carriedReads{0};

// The key of a read, or false where the file cannot be looked at.
bool CarryKey(const std::string& path, const ExrFrameRead& read, const Image& image, int64_t x0, int64_t width,
              CarriedRows::Key& key) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    key.Path = path;
    key.Device = uint64_t(st.st_dev);
    key.Inode = uint64_t(st.st_ino);
    key.Size = uint64_t(st.st_size);
    key.Modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    key.Part = read.Part;
    key.Channels = read.Channels;
    key.Fill = read.Fill;
    key.Format = image.Format;
    std::copy(std::begin(image.ChannelMap), std::end(image.ChannelMap), key.ChannelMap.begin());
    key.X0 = x0;
    key.Width = width;
    return true;
}

bool DecodeInto(Imf::IStream& stream, const std::string& path, const ExrFrameRead& read, Image& image,
                int64_t step) {
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
    const int64_t width = int64_t(data.max.x) - data.min.x + 1;
    const int64_t rowBytes = width * g.PixelStride;
    int copyFrom[4] = {-1, -1, -1, -1};   // slots another slot's channel is copied into
    for (int slot = 0; slot < 4; ++slot) {
        const std::string& name = read.Channels[size_t(image.ChannelMap[slot])];
        for (int earlier = 0; earlier < slot && !name.empty(); ++earlier)
            if (read.Channels[size_t(image.ChannelMap[earlier])] == name) copyFrom[slot] = earlier;
        if (copyFrom[slot] < 0 && !name.empty() && !Convertible(header.channels().findChannel(name), image.Format))
            return false;
    }
    // Rows [y0, y1) of the file decoded to `origin` (pixel (data.min.x, y0))
    // and on, rows `yStride` bytes apart; a channel feeding several (grey)
    // is decoded once and copied.
    const auto decode = [&](uint8_t* origin, int64_t y0, int64_t y1, int64_t yStride) {
        Imf::FrameBuffer frame;
        for (int slot = 0; slot < 4; ++slot) {
            if (copyFrom[slot] >= 0) continue;
            const int record = image.ChannelMap[slot];
            const std::string& name = read.Channels[size_t(record)];
            frame.insert(name.empty() ? FillName(header.channels(), slot) : name,
                         SliceAt(type, origin + slot * bytes, data.min.x, y0, g.PixelStride, yStride,
                                 read.Fill[size_t(record)]));
        }
        part.setFrameBuffer(frame);
        part.readPixels(int(y0), int(y1 - 1));
        for (int slot = 0; slot < 4; ++slot) {
            if (copyFrom[slot] < 0) continue;
            for (int64_t y = y0; y < y1; ++y) {
                uint8_t* pixel = origin + (y - y0) * yStride;
                for (int64_t x = 0; x < width; ++x, pixel += g.PixelStride)
                    std::memcpy(pixel + slot * bytes, pixel + copyFrom[slot] * bytes, size_t(bytes));
            }
        }
    };

    // Pixel (x, Y0) of the file: the top row read is the highest host row.
    uint8_t* top = g.Base + g.RowOffsets[read.FrameY1 - 1 - read.Y0] + (data.min.x - read.FrameX0) * g.PixelStride;
    const auto row = [&](int64_t y) { return top - (y - read.Y0) * step; };
    const int64_t lines = header.hasTileDescription() ? 1 : LinesPerChunk(header.compression());
    CarriedRows::Key key;
    const bool carry = lines > 1 && Carry().On() && CarryKey(path, read, image, data.min.x, width, key);
    int64_t from = read.Y0;
    CarriedRows before;
    if (carry) {
        before = Carry().Take(key);
        if (before.Pixels && before.Y0 <= read.Y0 && read.Y0 < before.Y1) {
            from = std::min(read.Y1, before.Y1);
            carriedReads.fetch_add(1, std::memory_order_relaxed);
            for (int64_t y = read.Y0; y < from; ++y)
                std::memcpy(row(y), before.Pixels.get() + (y - before.Y0) * rowBytes, size_t(rowBytes));
            if (from == read.Y1) {   // nothing past the kept rows: they stay for the next band
                Carry().Keep(std::move(before));
                return true;
            }
        }
    }
    decode(row(from), from, read.Y1, -step);

    if (!carry || read.Y1 > data.max.y) return true;
    const int64_t chunkEnd = std::min<int64_t>(
        int64_t(data.max.y) + 1, data.min.y + ((read.Y1 - 1 - data.min.y) / lines + 1) * lines);
    CarriedRows after;
    after.Of = std::move(key);
    after.Y0 = std::max(read.Y0, read.Y1 - CarriedRowsBefore);
    after.Y1 = std::max(chunkEnd, read.Y1);
    const size_t carried = size_t((after.Y1 - after.Y0) * rowBytes);
    if (before.Room >= carried) {
        after.Pixels = std::move(before.Pixels);
        after.Room = before.Room;
    } else {
        after.Pixels = std::make_unique_for_overwrite<uint8_t[]>(carried);
        after.Room = carried;
    }
    for (int64_t y = after.Y0; y < read.Y1; ++y)
        std::memcpy(after.Pixels.get() + (y - after.Y0) * rowBytes, row(y), size_t(rowBytes));
    // The rest of the last chunk, which OpenEXR has just decoded and holds.
    if (after.Y1 > read.Y1)
        decode(after.Pixels.get() + (read.Y1 - after.Y0) * rowBytes, read.Y1, after.Y1, rowBytes);
    Carry().Keep(std::move(after));
    return true;
}

// Uncompressed scanline parts are read by us: OpenEXR copies their samples
// one byte at a time, where the chunks need only be read in long runs and
// their lines' channel planes interleaved into the storage.

std::atomic<uint64_t> uncompressedReads{0};

constexpr bool LittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Consecutive chunks are read together up to this many bytes.
constexpr uint64_t RunBytes = uint64_t(4) << 20;
// At least what a chunk's leader takes before its pixels (its part, row
// and size), and the gap allowed between chunks read together.
constexpr uint64_t LeaderSlack = 32;

// Buffers files are read through, kept from one file to the next: the
// threads reading a render's frames are started anew for each band, and a
// buffer never filled before costs a page fault every 4 KiB of it.
struct ReadBuffer {
    std::unique_ptr<uint8_t[]> Bytes;
    uint64_t Size = 0;
};

std::mutex readBuffersMutex;
std::vector<ReadBuffer> readBuffers;

// A few are kept: about as many as files are read at once here, one a
// reading thread; a reader past them makes its own and gives it up after.
constexpr size_t KeptReadBuffers = 8;

ReadBuffer TakeReadBuffer() {
    std::lock_guard<std::mutex> lock(readBuffersMutex);
    if (readBuffers.empty()) return {};
    ReadBuffer buffer = std::move(readBuffers.back());
    readBuffers.pop_back();
    return buffer;
}

void GiveReadBuffer(ReadBuffer buffer) {
    if (!buffer.Bytes) return;
    std::lock_guard<std::mutex> lock(readBuffersMutex);
    if (readBuffers.size() < KeptReadBuffers) readBuffers.push_back(std::move(buffer));
}

// The bytes of one file, through pread() into a buffer it keeps
// or straight from a read-only map, and OpenEXR's Core library reading its
// header and chunk table through them. Once the header is read, the small
// reads of chunk leaders come out of the same buffer as the chunks that
// follow them: one read of a band's chunks serves their checks and their
// pixels. Core's complaints are kept here rather than printed.
class ChunkFile {
public:
    ChunkFile(const std::string& path, bool mapped) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size <= 0) {
            if (fd_ >= 0) ::close(fd_);
            throw BadFile(path, "cannot read the pixels: the file cannot be opened");
        }
        size_ = uint64_t(st.st_size);
        if (mapped) {
            void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
            if (map == MAP_FAILED) {
                ::close(fd_);
                throw BadFile(path, "cannot read the pixels: the file cannot be mapped");
            }
            map_ = static_cast<const uint8_t*>(map);
        } else {
            buffer_ = TakeReadBuffer();
        }
        exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
        init.user_data = this;
        init.read_fn = &CoreRead;
        init.size_fn = [](exr_const_context_t, void* self) { return int64_t(static_cast<ChunkFile*>(self)->size_); };
        init.error_handler_fn = [](exr_const_context_t context, exr_result_t, const char* message) {
            void* self = nullptr;
            if (exr_get_user_data(context, &self) == EXR_ERR_SUCCESS && self && message)
                static_cast<ChunkFile*>(self)->message_ = message;
        };
        if (exr_start_read(&context_, path.c_str(), &init) != EXR_ERR_SUCCESS) context_ = nullptr;
        headerRead_ = true;
    }
    ~ChunkFile() {
        GiveReadBuffer(std::move(buffer_));
        if (context_) exr_finish(&context_);
        if (map_) ::munmap(const_cast<uint8_t*>(map_), size_);
        ::close(fd_);
    }
    ChunkFile(const ChunkFile&) = delete;
    ChunkFile& operator=(const ChunkFile&) = delete;

    // Null where Core cannot read the header: OpenEXR's library then says why.
    exr_const_context_t Context() const { return context_; }
    uint64_t Size() const { return size_; }
    const std::string& Path() const { return path_; }

    // The failure of a Core call, in Core's words where it gave any.
    [[noreturn]] void Fail(const std::string& what, exr_result_t code) const {
        throw BadFile(path_, "cannot read the pixels: " + what + ": " +
                                 (message_.empty() ? exr_get_default_error_message(code) : message_));
    }

    // Bytes [at, at + n) of the file, which the caller has checked lie in
    // it; valid until the next call.
    const uint8_t* Bytes(uint64_t at, uint64_t n) {
        if (map_) return map_ + at;
        const uint8_t* bytes = Window(at, n, n);
        if (!bytes)
            throw BadFile(path_, "cannot read the pixels: the file ends before byte " + std::to_string(at + n) +
                                     " (it changed while being read)");
        return bytes;
    }

    // The bytes of the chunks to be read, from the first one's leader on:
    // where they are few enough, the first leader's read takes them all, and
    // the other leaders and the pixels come out of the buffer.
    void ReadAhead(uint64_t bytes) { ahead_ = bytes; }

private:
    // Reads of Core this small, past the header, are chunk leaders.
    static constexpr uint64_t LeaderBytes = 64;
    // The most a leader's read takes at once; past it, leaders are read
    // one by one, and pixels in runs of RunBytes.
    static constexpr uint64_t AheadBytes = uint64_t(8) << 20;

    // Bytes [at, at + n) from the buffer, read from `at` on (`fill` bytes,
    // to the end of the file) where the buffer does not hold them yet; null
    // where the file ends first.
    const uint8_t* Window(uint64_t at, uint64_t n, uint64_t fill) {
        if (held_ == 0 || at < heldAt_ || at + n > heldAt_ + held_) {
            const uint64_t want = std::max<uint64_t>(n, std::min<uint64_t>(fill, at < size_ ? size_ - at : 0));
            if (buffer_.Size < want) {
                buffer_.Size = std::max<uint64_t>(want, RunBytes);
                buffer_.Bytes = std::make_unique_for_overwrite<uint8_t[]>(size_t(buffer_.Size));
            }
            held_ = 0;
            const int64_t got = PreadAll(buffer_.Bytes.get(), want, at);
            if (got < int64_t(n)) return nullptr;
            heldAt_ = at;
            held_ = uint64_t(got);
        }
        return buffer_.Bytes.get() + (at - heldAt_);
    }

    int64_t PreadAll(void* into, uint64_t n, uint64_t at) const {
        uint64_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd_, static_cast<uint8_t*>(into) + done, size_t(n - done), off_t(at + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return -1;
            if (got == 0) break;
            done += uint64_t(got);
        }
        return int64_t(done);
    }
    static int64_t CoreRead(exr_const_context_t, void* self, void* into, uint64_t n, uint64_t at,
                            exr_stream_error_func_ptr_t) {
        ChunkFile& file = *static_cast<ChunkFile*>(self);
        if (file.map_ || !file.headerRead_ || n > LeaderBytes || file.ahead_ > AheadBytes)
            return file.PreadAll(into, n, at);
        const uint64_t inFile = at < file.size_ ? std::min(n, file.size_ - at) : 0;
        const uint8_t* bytes = inFile > 0 ? file.Window(at, inFile, file.ahead_) : nullptr;
        if (!bytes) return file.PreadAll(into, n, at);
        std::memcpy(into, bytes, size_t(inFile));
        return int64_t(inFile);
    }

    ReadBuffer buffer_;
    uint64_t heldAt_ = 0, held_ = 0;   // the buffer holds the file's bytes [heldAt_, heldAt_ + held_)
    bool headerRead_ = false;
    uint64_t ahead_ = 0;
    std::string path_, message_;
    int fd_ = -1;
    uint64_t size_ = 0;
    const uint8_t* map_ = nullptr;
    exr_context_t context_ = nullptr;
};

// Where each storage slot's channel lies in every line of an uncompressed
// scanline part: the line holds each channel's samples in turn, channels
// in the file's (alphabetical) order.
struct LineLayout {
    int64_t X0 = 0, Width = 0;
    int32_t DataY0 = 0, DataY1 = 0;   // the data window's rows, half-open
    int32_t LinesPerChunk = 1;
    uint64_t LineBytes = 0;
    int64_t At[4] = {-1, -1, -1, -1};   // the slot's channel's byte offset in a line, -1 for fill
    bool Half[4] = {};
};

// The layout where the part is one we read ourselves; false where
// OpenEXR's library is to decode it.
bool LayoutOf(exr_const_context_t context, const ExrFrameRead& read, const Image& image, LineLayout& layout) {
    int parts = 0;
    exr_storage_t storage{};
    exr_compression_t compression{};
    exr_attr_box2i_t data{};
    const exr_attr_chlist_t* channels = nullptr;
    if (!LittleEndian || !context || exr_get_count(context, &parts) != EXR_ERR_SUCCESS || read.Part < 0 ||
        read.Part >= parts || exr_get_storage(context, read.Part, &storage) != EXR_ERR_SUCCESS ||
        storage != EXR_STORAGE_SCANLINE || exr_get_compression(context, read.Part, &compression) != EXR_ERR_SUCCESS ||
        compression != EXR_COMPRESSION_NONE || exr_get_data_window(context, read.Part, &data) != EXR_ERR_SUCCESS ||
        exr_get_channels(context, read.Part, &channels) != EXR_ERR_SUCCESS ||
        exr_get_scanlines_per_chunk(context, read.Part, &layout.LinesPerChunk) != EXR_ERR_SUCCESS ||
        layout.LinesPerChunk < 1)
        return false;
    if (data.min.x < read.FrameX0 || int64_t(data.max.x) + 1 > read.FrameX0 + image.Width) return false;
    if (read.Y0 < data.min.y || read.Y1 > int64_t(data.max.y) + 1 || read.Y0 >= read.Y1) return false;
    layout.X0 = data.min.x;
    layout.Width = int64_t(data.max.x) - data.min.x + 1;
    layout.DataY0 = data.min.y;
    layout.DataY1 = data.max.y + 1;

    std::vector<uint64_t> offsets;
    uint64_t sampleBytes = 0;
    for (int c = 0; c < channels->num_channels; ++c) {
        const exr_attr_chlist_entry_t& channel = channels->entries[c];
        if (channel.x_sampling != 1 || channel.y_sampling != 1) return false;
        offsets.push_back(sampleBytes * uint64_t(layout.Width));
        sampleBytes += channel.pixel_type == EXR_PIXEL_HALF ? 2 : 4;
    }
    layout.LineBytes = sampleBytes * uint64_t(layout.Width);
    for (int slot = 0; slot < 4; ++slot) {
        const std::string& name = read.Channels[size_t(image.ChannelMap[slot])];
        if (name.empty()) continue;
        int c = 0;
        while (c < channels->num_channels && name != channels->entries[c].name.str) ++c;
        if (c == channels->num_channels) return false;
        const exr_pixel_type_t type = channels->entries[c].pixel_type;
        if (type != EXR_PIXEL_HALF && (type != EXR_PIXEL_FLOAT || image.Format == Format_Half)) return false;
        layout.At[slot] = int64_t(offsets[size_t(c)]);
        layout.Half[slot] = type == EXR_PIXEL_HALF;
    }
    return true;
}

struct Chunk {
    uint64_t At = 0, Bytes = 0;   // its pixels in the file, after the leader
    int32_t Y = 0, Lines = 0;
};

// The chunks holding rows [y0, y1), each checked to hold the rows it
// should and all their samples inside the file.
std::vector<Chunk> ChunksOf(const ChunkFile& file, int part, const LineLayout& layout, int64_t y0, int64_t y1) {
    const int64_t per = layout.LinesPerChunk;
    std::vector<Chunk> chunks;
    for (int64_t i = (y0 - layout.DataY0) / per; i <= (y1 - 1 - layout.DataY0) / per; ++i) {
        Chunk chunk;
        chunk.Y = int32_t(layout.DataY0 + i * per);
        chunk.Lines = int32_t(std::min<int64_t>(per, layout.DataY1 - chunk.Y));
        const auto rows = [&] { return "the chunk of row " + std::to_string(chunk.Y); };
        exr_chunk_info_t info{};
        const exr_result_t code = exr_read_scanline_chunk_info(file.Context(), part, chunk.Y, &info);
        if (code != EXR_ERR_SUCCESS) file.Fail(rows(), code);
        const uint64_t expected = uint64_t(chunk.Lines) * layout.LineBytes;
        if (info.start_y != chunk.Y || info.height != chunk.Lines || info.width != layout.Width)
            throw BadFile(file.Path(), "cannot read the pixels: " + rows() + " holds " + std::to_string(info.height) +
                                           " rows of " + std::to_string(info.width) + " from row " +
                                           std::to_string(info.start_y));
        if (info.packed_size != expected)
            throw BadFile(file.Path(), "cannot read the pixels: " + rows() + " holds " +
                                           std::to_string(info.packed_size) + " bytes, not the " +
                                           std::to_string(expected) + " of its samples");
        if (info.data_offset > file.Size() || expected > file.Size() - info.data_offset)
            throw BadFile(file.Path(), "cannot read the pixels: " + rows() + " lies outside the file (bytes " +
                                           std::to_string(info.data_offset) + " to " +
                                           std::to_string(info.data_offset + expected) + " of " +
                                           std::to_string(file.Size()) + ")");
        chunk.At = info.data_offset;
        chunk.Bytes = expected;
        chunks.push_back(chunk);
    }
    return chunks;
}

// Pixel x of `out` takes sample x of each of four planes: 32-bit samples
// for float storage, 16-bit for half. The planes may lie at any byte.
void Interleave32(const uint8_t* const planes[4], uint8_t* out, int64_t n) {
    int64_t x = 0;
#if defined(__SSE2__)
    for (; x + 4 <= n; x += 4) {
        __m128 a = _mm_loadu_ps(reinterpret_cast<const float*>(planes[0] + 4 * x));
        __m128 b = _mm_loadu_ps(reinterpret_cast<const float*>(planes[1] + 4 * x));
        __m128 c = _mm_loadu_ps(reinterpret_cast<const float*>(planes[2] + 4 * x));
        __m128 d = _mm_loadu_ps(reinterpret_cast<const float*>(planes[3] + 4 * x));
        _MM_TRANSPOSE4_PS(a, b, c, d);
        float* to = reinterpret_cast<float*>(out + 16 * x);
        _mm_storeu_ps(to, a);
        _mm_storeu_ps(to + 4, b);
        _mm_storeu_ps(to + 8, c);
        _mm_storeu_ps(to + 12, d);
    }
#endif
    for (; x < n; ++x)
        for (int k = 0; k < 4; ++k) std::memcpy(out + 16 * x + 4 * k, planes[k] + 4 * x, 4);
}

void Interleave16(const uint8_t* const planes[4], uint8_t* out, int64_t n) {
    int64_t x = 0;
#if defined(__SSE2__)
    for (; x + 8 <= n; x += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[0] + 2 * x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[1] + 2 * x));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[2] + 2 * x));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[3] + 2 * x));
        const __m128i abLow = _mm_unpacklo_epi16(a, b), abHigh = _mm_unpackhi_epi16(a, b);
        const __m128i cdLow = _mm_unpacklo_epi16(c, d), cdHigh = _mm_unpackhi_epi16(c, d);
        __m128i* to = reinterpret_cast<__m128i*>(out + 8 * x);
        _mm_storeu_si128(to, _mm_unpacklo_epi32(abLow, cdLow));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi32(abLow, cdLow));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi32(abHigh, cdHigh));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi32(abHigh, cdHigh));
    }
#endif
    for (; x < n; ++x)
        for (int k = 0; k < 4; ++k) std::memcpy(out + 8 * x + 2 * k, planes[k] + 2 * x, 2);
}

// One line's channel planes into a row of the storage: fill slots from a
// row of their value, half channels into float storage through Imath's
// conversion (OpenEXR's own), a channel feeding several slots (grey) read
// for each.
class LineScatter {
public:
    LineScatter(const LineLayout& layout, const ExrFrameRead& read, const Image& image)
        : layout_(layout), half_(image.Format == Format_Half) {
        const int bytes = BytesPerChannel(image.Format);
        for (int slot = 0; slot < 4; ++slot) {
            rows_[slot].resize(size_t(bytes) * size_t(layout.Width));
            if (layout.At[slot] >= 0) continue;
            const float fill = read.Fill[size_t(image.ChannelMap[slot])];
            const half fillHalf(fill);
            const void* value = half_ ? static_cast<const void*>(&fillHalf) : &fill;
            for (int64_t x = 0; x < layout.Width; ++x) std::memcpy(rows_[slot].data() + x * bytes, value, size_t(bytes));
        }
    }

    void operator()(const uint8_t* line, uint8_t* out) {
        const uint8_t* planes[4];
        for (int slot = 0; slot < 4; ++slot) {
            planes[slot] = layout_.At[slot] < 0 ? rows_[slot].data() : line + layout_.At[slot];
            if (half_ || !layout_.Half[slot]) continue;
            float* to = reinterpret_cast<float*>(rows_[slot].data());
            for (int64_t x = 0; x < layout_.Width; ++x) {
                half h;
                uint16_t bits;
                std::memcpy(&bits, planes[slot] + 2 * x, 2);
                h.setBits(bits);
                to[x] = float(h);
            }
            planes[slot] = rows_[slot].data();
        }
        if (half_)
            Interleave16(planes, out, layout_.Width);
        else
            Interleave32(planes, out, layout_.Width);
    }

private:
    const LineLayout& layout_;
    bool half_;
    std::vector<uint8_t> rows_[4];   // a fill slot's value, or a half channel as floats
};

// Reads rows [Y0, Y1) of an uncompressed scanline part into the storage,
// its rows `step` bytes apart, every chunk checked before any pixel is
// written. False, having touched nothing, where the part is not one we
// read ourselves.
bool ReadUncompressed(const std::string& path, const ExrFrameRead& read, Image& image, int64_t step) {
    ChunkFile file(path, read.Mapped);
    LineLayout layout;
    if (!LayoutOf(file.Context(), read, image, layout)) return false;
    // The chunks' leaders and pixels, one after the other as files are
    // written, are read together and no further.
    const int64_t per = layout.LinesPerChunk;
    const int64_t chunkCount = (read.Y1 - 1 - layout.DataY0) / per - (read.Y0 - layout.DataY0) / per + 1;
    file.ReadAhead(uint64_t(chunkCount) * (uint64_t(per) * layout.LineBytes + LeaderSlack));
    const std::vector<Chunk> chunks = ChunksOf(file, read.Part, layout, read.Y0, read.Y1);

    const BufferGroup& g = image.Group[0];
    // Pixel (x, Y0) of the file: the top row read is the highest host row.
    uint8_t* top = g.Base + g.RowOffsets[read.FrameY1 - 1 - read.Y0] + (layout.X0 - read.FrameX0) * g.PixelStride;
    LineScatter scatter(layout, read, image);
    for (size_t first = 0, end = 0; first < chunks.size(); first = end) {
        // Chunks one after another in the file, each past the next one's leader, are read at once.
        const uint64_t from = chunks[first].At;
        uint64_t to = from + chunks[first].Bytes;
        for (end = first + 1; end < chunks.size(); ++end) {
            const Chunk& next = chunks[end];
            if (next.At < to || next.At - to > LeaderSlack / 2 || next.At + next.Bytes - from > RunBytes) break;
            to = next.At + next.Bytes;
        }
        const uint8_t* run = file.Bytes(from, to - from);
        for (size_t c = first; c < end; ++c) {
            const int64_t y0 = std::max<int64_t>(read.Y0, chunks[c].Y);
            const int64_t y1 = std::min<int64_t>(read.Y1, int64_t(chunks[c].Y) + chunks[c].Lines);
            for (int64_t y = y0; y < y1; ++y)
                scatter(run + (chunks[c].At - from) + uint64_t(y - chunks[c].Y) * layout.LineBytes,
                        top - (y - read.Y0) * step);
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
    // The pool is empty until someone fills it: the image library fills it
    // as it opens a file, a process that never loads it gets a thread a core.
    static std::once_flag filled;
    std::call_once(filled, [] {
        if (Imf::globalThreadCount() == 0) Imf::setGlobalThreadCount(int(std::thread::hardware_concurrency()));
    });
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
        if (ReadUncompressed(path, read, image, step)) {
            uncompressedReads.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        std::unique_ptr<Imf::IStream> stream;
        if (read.Mapped)
            stream = std::make_unique<MappedStream>(path);
        else
            stream = std::make_unique<PlainStream>(path);
        return DecodeInto(*stream, path, read, image, step);
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
    const int32_t top = how.Top, end = how.End ? how.End : h, lines = end - top;
    // Straight from the storage where it holds the file's type; else one
    // copy in the file's type, converted. OpenEXR's writer converts no types.
    int64_t step = 0;
    const int32_t fileFormat = how.Half ? Format_Half : Format_Float;
    const bool direct =
        !convert && Interleaved(image) && image.Format == fileFormat && RowStep(image, h - end, h - top, step);
    int slotOf[4] = {0, 1, 2, 3};   // where R, G, B, A lie in a pixel
    if (direct)
        for (int slot = 0; slot < 4; ++slot) slotOf[image.ChannelMap[slot]] = slot;
    if (IsDeflatedCodec(how.Compression)) {
        // Rows not in the file's type are read and converted a chunk at a
        // time by the threads that compress them.
        ExrRows rows;
        if (direct) {
            const BufferGroup& g = image.Group[0];
            rows.Top = g.Base + g.RowOffsets[h - 1 - top];
            rows.Down = -step;
            rows.PixelStride = g.PixelStride;
            std::copy(std::begin(slotOf), std::end(slotOf), rows.SlotOf);
        } else {
            rows.Line = [&](int32_t y, float* rgba) {
                image.ReadSpan(0, h - 1 - top - y, w, rgba);
                if (convert) convert(rgba, w);
            };
        }
        rows.Half = how.Half;
        rows.Width = w;
        rows.Height = lines;
        rows.DataY0 = top;
        rows.DisplayHeight = h;
        WriteDeflatedExr(rows, how.Compression, how.Attributes, file, path);
        return;
    }
    std::vector<float> floats;
    std::vector<half> halves;
    const uint8_t* first = nullptr;   // the top row written
    int64_t pixelStride = 0;
    const int bytes = BytesPerChannel(fileFormat);
    if (direct) {
        const BufferGroup& g = image.Group[0];
        first = g.Base + g.RowOffsets[h - 1 - top];
        pixelStride = g.PixelStride;
    } else {
        floats.resize(size_t(w) * size_t(lines) * 4);
        for (int32_t y = 0; y < lines; ++y) {
            float* row = floats.data() + size_t(y) * size_t(w) * 4;
            image.ReadSpan(0, h - 1 - top - y, w, row);
            if (convert) convert(row, w);
        }
        first = reinterpret_cast<const uint8_t*>(floats.data());
        if (how.Half) {
            halves.assign(floats.begin(), floats.end());
            std::vector<float>().swap(floats);
            first = reinterpret_cast<const uint8_t*>(halves.data());
        }
        pixelStride = 4 * bytes;
        step = -pixelStride * w;   // copied top row first
    }
    Imf::Header header(Imath::Box2i({0, 0}, {w - 1, h - 1}), Imath::Box2i({0, top}, {w - 1, end - 1}));
    header.compression() = CompressionOf(how.Compression);
    const Imf::PixelType fileType = how.Half ? Imf::HALF : Imf::FLOAT;
    for (const char* name : {"R", "G", "B", "A"}) header.channels().insert(name, Imf::Channel(fileType));
    for (const ExrAttribute& a : how.Attributes) header.insert(a.Name, Imf::StringAttribute(a.Value));
    Imf::FrameBuffer frame;
    const char* names[4] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c)
        frame.insert(names[c], SliceAt(fileType, const_cast<uint8_t*>(first) + slotOf[c] * bytes, 0, top, pixelStride,
                                       -step, 0.0));
    std::ofstream stream(file.Path(), std::ios::binary | std::ios::trunc);
    if (!stream)
        throw BadFile(path, "cannot create a file in '" + file.Directory().string() + "': " + std::strerror(errno));
    try {
        Imf::StdOFStream os(stream, file.Path().c_str());
        // The line offsets are written as the file closes.
        Imf::OutputFile out(os, header, ExrThreads());
        out.setFrameBuffer(frame);
        out.writePixels(lines);
    } catch (const std::exception& e) {
        throw BadFile(path, std::string("cannot write: ") + e.what());
    }
    if (!stream.flush())
        throw BadFile(path, "cannot write the file in '" + file.Directory().string() + "'");
}

void CarryChunkRows(uint64_t bytes) { Carry().SetLimit(bytes); }

int CarriedRowsFor(int compression) {
    const int64_t lines = LinesPerChunk(Imf::Compression(compression));
    return lines > 1 ? int(lines + CarriedRowsBefore) : 0;
}

int CarriedRowsFor(const std::string& compression) {
    return CarriedRowsFor(int(CompressionOf(compression.substr(0, compression.find(':')))));
}

namespace detail {
uint64_t UncompressedExrReads() { return uncompressedReads.load(std::memory_order_relaxed); }
uint64_t CarriedExrReads() { return carriedReads.load(std::memory_order_relaxed); }
}  // namespace detail

}  // namespace tessellon
