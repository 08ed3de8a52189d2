#include "ExrDeflate.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <Imath/half.h>
#include <libdeflate.h>
#include <OpenEXR/openexr.h>

#include "Error.h"

namespace tessellon {

namespace {

// OpenEXR's default zip level since 3.1.3: about twice as fast as 6 for a
// file a fraction of a percent larger.
constexpr int ZipLevel = 4;

// Chunks compressed ahead of the one being written, per thread: enough to
// keep every core busy while the writer waits for the next in order.
constexpr int ChunksAheadPerThread = 4;

// The chunk's lines as the file holds them: line by line, each channel's
// samples in the order of the header's channel list (A, B, G, R). Rows read
// through Line pass through `line`, room for one row of RGBA floats.
void PackLines(const ExrRows& rows, int32_t y0, int32_t y1, uint8_t* out, float* line) {
    const size_t bytes = rows.Half ? 2 : 4;
    for (int32_t y = y0; y < y1; ++y) {
        if (rows.Line) {
            rows.Line(y, line);
            for (int c : {3, 2, 1, 0}) {
                const float* from = line + c;
                if (!rows.Half) {
                    for (int32_t x = 0; x < rows.Width; ++x, out += 4, from += 4) std::memcpy(out, from, 4);
                    continue;
                }
                for (int32_t x = 0; x < rows.Width; ++x, out += 2, from += 4) {
                    const uint16_t bits = half(*from).bits();
                    std::memcpy(out, &bits, 2);
                }
            }
            continue;
        }
        const uint8_t* source = rows.Top + y * rows.Down;
        for (int c : {3, 2, 1, 0}) {
            const uint8_t* from = source + size_t(rows.SlotOf[c]) * bytes;
            for (int32_t x = 0; x < rows.Width; ++x, out += bytes, from += rows.PixelStride)
                std::memcpy(out, from, bytes);
        }
    }
}

// OpenEXR's zip predictor: the even bytes, then the odd ones, each stored as
// its difference from the byte before, plus 128.
void Predict(const uint8_t* packed, size_t n, uint8_t* out) {
    uint8_t* even = out;
    uint8_t* odd = out + (n + 1) / 2;
    for (size_t i = 0; i < n; i += 2) {
        *even++ = packed[i];
        if (i + 1 < n) *odd++ = packed[i + 1];
    }
    uint8_t previous = out[0];
    for (size_t i = 1; i < n; ++i) {
        const uint8_t b = out[i];
        out[i] = uint8_t(b - previous + 128);
        previous = b;
    }
}

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// Messages OpenEXR reports while the file is written.
void KeepMessage(exr_const_context_t context, exr_result_t, const char* message) {
    void* data = nullptr;
    if (exr_get_user_data(context, &data) == EXR_ERR_SUCCESS && data && message)
        *static_cast<std::string*>(data) = message;
}

// Room for bytes that are always written before they are read: unlike a
// vector's, it is not cleared first.
struct Room {
    std::unique_ptr<uint8_t[]> Bytes;
    size_t Size = 0;
    uint8_t* Of(size_t n) {
        if (Size < n) {
            Bytes = std::make_unique_for_overwrite<uint8_t[]>(n);
            Size = n;
        }
        return Bytes.get();
    }
};

// One chunk compressed, waiting for its turn to be written.
struct Slot {
    Room Packed, Predicted, Deflated, Line;
    const uint8_t* Bytes = nullptr;   // what goes into the file: Deflated, or Packed where that is no smaller
    size_t Size = 0;
    bool Ready = false;
};

// Compresses chunks on worker threads, at most `ahead` past the last one
// written, and hands them to the writer in file order.
class ChunkQueue {
public:
    ChunkQueue(const ExrRows& rows, int lines, int threads)
        : rows_(rows), lines_(lines), chunks_((rows.Height + lines - 1) / lines),
          slots_(size_t(threads * ChunksAheadPerThread)) {
        for (int t = 0; t < threads; ++t) workers_.emplace_back([this] { Work(); });
    }

    ~ChunkQueue() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : workers_) t.join();
    }

    ChunkQueue(const ChunkQueue&) = delete;
    ChunkQueue& operator=(const ChunkQueue&) = delete;

    int Chunks() const { return chunks_; }

    // Waits for chunk i (i counts up from 0 across calls). Rethrows what a
    // worker threw.
    const Slot& Take(int i) {
        std::unique_lock<std::mutex> lock(mutex_);
        Slot& slot = slots_[size_t(i) % slots_.size()];
        changed_.wait(lock, [&] { return slot.Ready || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        return slot;
    }

    // Chunk i is in the file: its slot takes a later chunk.
    void Written(int i) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slots_[size_t(i) % slots_.size()].Ready = false;
            written_ = i + 1;
        }
        changed_.notify_all();
    }

private:
    void Work() {
        const std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(libdeflate_alloc_compressor(ZipLevel));
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [&] {
                return stop_ || failure_ || next_ >= chunks_ || next_ < written_ + int(slots_.size());
            });
            if (stop_ || failure_ || next_ >= chunks_) return;
            const int i = next_++;
            Slot& slot = slots_[size_t(i) % slots_.size()];
            lock.unlock();
            try {
                if (!compressor) throw std::bad_alloc();
                Compress(i, slot, compressor.get());
            } catch (...) {
                lock.lock();
                failure_ = std::current_exception();
                changed_.notify_all();
                return;
            }
            lock.lock();
            slot.Ready = true;
            changed_.notify_all();
        }
    }

    void Compress(int i, Slot& slot, libdeflate_compressor* compressor) const {
        const int32_t y0 = i * lines_, y1 = std::min(rows_.Height, y0 + lines_);
        const size_t n = size_t(y1 - y0) * size_t(rows_.Width) * 4 * (rows_.Half ? 2 : 4);
        uint8_t* packed = slot.Packed.Of(n);
        uint8_t* predicted = slot.Predicted.Of(n);
        const size_t bound = libdeflate_zlib_compress_bound(compressor, n);
        uint8_t* deflatedBytes = slot.Deflated.Of(bound);
        const size_t lineBytes = size_t(rows_.Width) * 4 * sizeof(float);
        float* line = rows_.Line ? reinterpret_cast<float*>(slot.Line.Of(lineBytes)) : nullptr;
        PackLines(rows_, y0, y1, packed, line);
        Predict(packed, n, predicted);
        const size_t deflated = libdeflate_zlib_compress(compressor, predicted, n, deflatedBytes, bound);
        // A chunk that does not shrink is stored as it is; readers tell it by its size.
        const bool shrinks = deflated > 0 && deflated < n;
        slot.Bytes = shrinks ? deflatedBytes : packed;
        slot.Size = shrinks ? deflated : n;
    }

    const ExrRows& rows_;
    const int lines_, chunks_;
    std::vector<Slot> slots_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int next_ = 0, written_ = 0;
    bool stop_ = false;
    std::exception_ptr failure_;
};

}  // namespace

bool IsDeflatedCodec(const std::string& compression) { return compression == "zip" || compression == "zips"; }

void WriteDeflatedExr(const ExrRows& rows, const std::string& compression, const std::vector<ExrAttribute>& attributes,
                      const PendingFile& file, const std::string& path) {
    const bool zip = compression == "zip";
    std::string message;
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.error_handler_fn = KeepMessage;
    init.user_data = &message;
    exr_context_t context = nullptr;
    const std::string name = file.Path().string();
    if (exr_start_write(&context, name.c_str(), EXR_WRITE_FILE_DIRECTLY, &init) != EXR_ERR_SUCCESS) {
        exr_finish(&context);
        throw BadFile(path, "cannot create a file in '" + file.Directory().string() + "': " + message);
    }
    const auto fail = [&](const char* what) {
        exr_finish(&context);
        return BadFile(path, std::string("cannot write: ") + (message.empty() ? what : message.c_str()));
    };
    int part = 0;
    const exr_pixel_type_t type = rows.Half ? EXR_PIXEL_HALF : EXR_PIXEL_FLOAT;
    const exr_attr_box2i_t display = {{0, 0}, {rows.Width - 1, (rows.DisplayHeight ? rows.DisplayHeight : rows.Height) - 1}};
    const exr_attr_box2i_t data = {{0, rows.DataY0}, {rows.Width - 1, rows.DataY0 + rows.Height - 1}};
    const exr_attr_v2f_t center = {0, 0};
    if (exr_add_part(context, nullptr, EXR_STORAGE_SCANLINE, &part) != EXR_ERR_SUCCESS ||
        exr_initialize_required_attr(context, part, &display, &data, 1, &center, 1, EXR_LINEORDER_INCREASING_Y,
                                     zip ? EXR_COMPRESSION_ZIP : EXR_COMPRESSION_ZIPS) != EXR_ERR_SUCCESS)
        throw fail("the header was refused");
    for (const char* channel : {"A", "B", "G", "R"})
        if (exr_add_channel(context, part, channel, type, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1) != EXR_ERR_SUCCESS)
            throw fail("the channels were refused");
    for (const ExrAttribute& a : attributes)
        if (exr_attr_set_string(context, part, a.Name.c_str(), a.Value.c_str()) != EXR_ERR_SUCCESS)
            throw fail("an attribute was refused");
    if (exr_write_header(context) != EXR_ERR_SUCCESS) throw fail("the header cannot be written");

    const int lines = zip ? 16 : 1;
    const int threads = std::max(1, int(std::thread::hardware_concurrency()));
    try {
        ChunkQueue queue(rows, lines, threads);
        for (int i = 0; i < queue.Chunks(); ++i) {
            const Slot& slot = queue.Take(i);
            if (exr_write_scanline_chunk(context, part, rows.DataY0 + i * lines, slot.Bytes, slot.Size) !=
                EXR_ERR_SUCCESS)
                throw fail("a chunk cannot be written");
            queue.Written(i);
        }
    } catch (const std::bad_alloc&) {
        throw fail("out of memory while compressing");
    }
    // The chunk table is written as the file closes.
    if (exr_finish(&context) != EXR_ERR_SUCCESS)
        throw BadFile(path, "cannot write: " + (message.empty() ? std::string("the file cannot be closed") : message));
}

}  // namespace tessellon
