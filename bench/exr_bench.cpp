// OpenEXR's own reading and writing, the bounds tessellon's EXR paths are
// measured against. Nothing of tessellon is linked: only OpenEXR, on its
// global thread pool with one thread per core (or --threads N).
//
//   exr_bench read  [--threads N] [--repeat N] [--buffers LIST] [--dump FILE] EXR...
//   exr_bench write [--threads N] [--repeat N] INPUT OUTPUT
//
// read decodes every file's whole data window, one file after another, with
// Imf::InputFile into interleaved pixels of the file's own channel types, in
// each kind of buffer of LIST (default reused,fresh):
//   reused    one buffer for every file, already touched
//   fresh     a new mapping per file with huge pages advised, as tessellon's
//             decoded frames get, so that the decoding touches it first
//   fresh-4k  the same with 4 KiB pages
// Only the opening and decoding of a file is timed. Every fresh decode must
// equal the reused one bit for bit; --dump writes the first file's pixels
// (channels in the file's order) for the caller to compare with another
// reader.
//
// write reads INPUT whole, then times writing its pixels to OUTPUT with
// Imf::OutputFile under INPUT's own header (channels, types, compression),
// opening to closing, and reads OUTPUT back: it must hold the same pixels
// bit for bit.
//
// Both print one JSON object on standard output: the seconds of every
// repetition summed over the files. Exit 1 when a check fails, 2 for bad
// arguments or a file OpenEXR cannot read.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfThreading.h>

namespace {

struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CheckFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

size_t BytesOf(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

// Where each channel of a file lies in one interleaved pixel of the file's
// own channel types, in the header's channel order.
struct Layout {
    Imath::Box2i Data;
    std::vector<std::pair<std::string, Imf::PixelType>> Channels;
    std::vector<size_t> Offsets;
    size_t PixelBytes = 0;

    size_t Width() const { return size_t(Data.max.x - Data.min.x + 1); }
    size_t Height() const { return size_t(Data.max.y - Data.min.y + 1); }
    size_t Bytes() const { return Width() * Height() * PixelBytes; }
};

Layout LayoutOf(const Imf::Header& header, const std::string& path) {
    Layout layout;
    layout.Data = header.dataWindow();
    for (auto c = header.channels().begin(); c != header.channels().end(); ++c) {
        if (c.channel().xSampling != 1 || c.channel().ySampling != 1)
            throw BadInput(path + ": channel " + c.name() + " is sub-sampled");
        layout.Offsets.push_back(layout.PixelBytes);
        layout.Channels.emplace_back(c.name(), c.channel().type);
        layout.PixelBytes += BytesOf(c.channel().type);
    }
    if (layout.Channels.empty()) throw BadInput(path + ": no channels");
    return layout;
}

// Slices that put pixel (x, y) of the data window at `pixels` + ((y - y0) *
// width + x - x0) * PixelBytes.
Imf::FrameBuffer FrameOf(const Layout& layout, char* pixels) {
    Imf::FrameBuffer frame;
    const size_t xStride = layout.PixelBytes, yStride = xStride * layout.Width();
    const intptr_t origin = intptr_t(pixels) - intptr_t(layout.Data.min.x * intptr_t(xStride)) -
                            intptr_t(layout.Data.min.y * intptr_t(yStride));
    for (size_t c = 0; c < layout.Channels.size(); ++c)
        frame.insert(layout.Channels[c].first,
                     Imf::Slice(layout.Channels[c].second, reinterpret_cast<char*>(origin + intptr_t(layout.Offsets[c])),
                                xStride, yStride));
    return frame;
}

// Anonymous memory that no one has touched yet.
class Fresh {
public:
    Fresh(size_t bytes, bool huge) : bytes_(bytes) {
        void* map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        madvise(map, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
        data_ = static_cast<char*>(map);
    }
    ~Fresh() { munmap(data_, bytes_); }
    Fresh(const Fresh&) = delete;
    Fresh& operator=(const Fresh&) = delete;
    char* Data() const { return data_; }

private:
    char* data_ = nullptr;
    size_t bytes_ = 0;
};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Opens and decodes one file into `pixels` (at least layout.Bytes()); the
// seconds it took.
double Decode(const std::string& path, const Layout& layout, char* pixels) {
    const double begin = Now();
    Imf::InputFile file(path.c_str(), Imf::globalThreadCount());
    file.setFrameBuffer(FrameOf(layout, pixels));
    file.readPixels(layout.Data.min.y, layout.Data.max.y);
    return Now() - begin;
}

struct Options {
    int Threads = 0;
    int Repeat = 1;
    std::vector<std::string> Buffers = {"reused", "fresh"};
    std::string Dump;
    std::vector<std::string> Files;
};

std::string List(const std::vector<double>& seconds) {
    std::string text = "[";
    for (size_t i = 0; i < seconds.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%.6f", i ? ", " : "", seconds[i]);
        text += number;
    }
    return text + "]";
}

int Read(const Options& options) {
    if (options.Files.empty()) throw BadInput("read: no files");
    std::vector<Layout> layouts;
    size_t largest = 0, total = 0;
    for (const std::string& path : options.Files) {
        layouts.push_back(LayoutOf(Imf::InputFile(path.c_str()).header(), path));
        largest = std::max(largest, layouts.back().Bytes());
        total += layouts.back().Bytes();
    }
    std::vector<char> reused(largest, 0);
    std::vector<std::vector<double>> seconds(options.Buffers.size());
    for (int rep = 0; rep < options.Repeat; ++rep) {
        std::vector<double> sums(options.Buffers.size(), 0.0);
        for (size_t f = 0; f < options.Files.size(); ++f) {
            const std::string& path = options.Files[f];
            const Layout& layout = layouts[f];
            for (size_t k = 0; k < options.Buffers.size(); ++k) {
                const std::string& kind = options.Buffers[k];
                if (kind == "reused") {
                    sums[k] += Decode(path, layout, reused.data());
                    continue;
                }
                Fresh fresh(layout.Bytes(), kind == "fresh");
                sums[k] += Decode(path, layout, fresh.Data());
                if (std::memcmp(fresh.Data(), reused.data(), layout.Bytes()) != 0)
                    throw CheckFailed(path + ": decoded into a " + kind + " buffer, the pixels differ from the reused buffer's");
            }
            if (rep == 0 && f == 0 && !options.Dump.empty()) {
                std::ofstream dump(options.Dump, std::ios::binary | std::ios::trunc);
                dump.write(reused.data(), std::streamsize(layout.Bytes()));
                if (!dump.flush()) throw BadInput(options.Dump + ": cannot write");
            }
        }
        for (size_t k = 0; k < sums.size(); ++k) seconds[k].push_back(sums[k]);
    }
    std::printf("{\"threads\": %d, \"files\": %zu, \"pixel_bytes\": %zu", Imf::globalThreadCount(),
                options.Files.size(), total);
    for (size_t k = 0; k < options.Buffers.size(); ++k)
        std::printf(", \"%s\": %s", options.Buffers[k].c_str(), List(seconds[k]).c_str());
    std::printf("}\n");
    return 0;
}

int Write(const Options& options) {
    if (options.Files.size() != 2) throw BadInput("write: give INPUT and OUTPUT");
    const std::string& input = options.Files[0];
    const std::string& output = options.Files[1];
    Imf::InputFile in(input.c_str(), Imf::globalThreadCount());
    const Imf::Header header = in.header();
    const Layout layout = LayoutOf(header, input);
    std::vector<char> pixels(layout.Bytes());
    in.setFrameBuffer(FrameOf(layout, pixels.data()));
    in.readPixels(layout.Data.min.y, layout.Data.max.y);

    std::vector<double> seconds;
    for (int rep = 0; rep < options.Repeat; ++rep) {
        const double begin = Now();
        {
            // The line offsets are written as the file closes.
            Imf::OutputFile out(output.c_str(), header, Imf::globalThreadCount());
            out.setFrameBuffer(FrameOf(layout, pixels.data()));
            out.writePixels(int(layout.Height()));
        }
        seconds.push_back(Now() - begin);
    }
    std::vector<char> back(layout.Bytes());
    Decode(output, layout, back.data());
    if (back != pixels) throw CheckFailed(output + ": read back, the pixels differ from " + input + "'s");
    std::printf("{\"threads\": %d, \"pixel_bytes\": %zu, \"write\": %s}\n", Imf::globalThreadCount(), layout.Bytes(),
                List(seconds).c_str());
    return 0;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    for (size_t at = 0; at <= text.size();) {
        const size_t comma = std::min(text.find(',', at), text.size());
        parts.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return parts;
}

int Number(const std::string& flag, const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > 1000) throw BadInput(flag + ": not a count: " + text);
    return int(value);
}

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = arg == "--threads" || arg == "--repeat" || arg == "--buffers" || arg == "--dump";
        if (valued && i + 1 == argc) throw BadInput(arg + ": needs a value");
        if (arg == "--threads") {
            options.Threads = Number(arg, argv[++i]);
        } else if (arg == "--repeat") {
            options.Repeat = Number(arg, argv[++i]);
        } else if (arg == "--buffers") {
            options.Buffers = Split(argv[++i]);
            for (const std::string& kind : options.Buffers)
                if (kind != "reused" && kind != "fresh" && kind != "fresh-4k")
                    throw BadInput("--buffers: unknown buffer kind '" + kind + "'");
        } else if (arg == "--dump") {
            options.Dump = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            throw BadInput("unknown option " + arg);
        } else {
            options.Files.push_back(arg);
        }
    }
    // Fresh buffers are compared with the reused one, which decodes first.
    auto& b = options.Buffers;
    b.erase(std::remove(b.begin(), b.end(), "reused"), b.end());
    b.insert(b.begin(), "reused");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode != "read" && mode != "write")
            throw BadInput("usage: exr_bench read|write [--threads N] [--repeat N] [--buffers LIST] [--dump FILE] FILE...");
        const Options options = Parse(argc, argv);
        Imf::setGlobalThreadCount(options.Threads ? options.Threads
                                                  : std::max(1, int(std::thread::hardware_concurrency())));
        return mode == "read" ? Read(options) : Write(options);
    } catch (const CheckFailed& e) {
        std::fprintf(stderr, "exr_bench: %s\n", e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "exr_bench: %s\n", e.what());
        return 2;
    }
}
