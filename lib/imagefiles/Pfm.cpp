#include "Pfm.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>
#include <vector>

#include "HostApp.h"
#include "HostSystem.h"
#include "FileChecks.h"
#include "PendingFile.h"

namespace fs = std::filesystem;

namespace tessellon {

namespace {

// Longer than any header with the largest numbers a limit lets through.
constexpr size_t MaxHeaderBytes = 256;

struct PfmHeader {
    int64_t Width = 0, Height = 0;
    int Channels = 0;
    bool LittleEndian = true;
    float Scale = 1;         // the magnitude
    uint64_t DataOffset = 0;
};

struct OpenedPfm {
    std::ifstream File;
    PfmHeader Header;
    ImageFileInfo Info;
};

// The header's tokens: runs of non-space characters, separated by white space
// and by comments from '#' to the end of the line.
class HeaderScanner {
public:
    HeaderScanner(const char* text, size_t size) : text_(text), size_(size) {}

    // False when the header ends before a token does.
    bool Next(std::string& token) {
        while (at_ < size_) {
            if (text_[at_] == '#') {
                while (at_ < size_ && text_[at_] != '\n' && text_[at_] != '\r') ++at_;
            } else if (IsSpace(text_[at_])) {
                ++at_;
            } else {
                break;
            }
        }
        const size_t begin = at_;
        while (at_ < size_ && !IsSpace(text_[at_])) ++at_;
        if (at_ == begin || at_ == size_) return false;   // no token, or no white space after it
        token.assign(text_ + begin, at_ - begin);
        return true;
    }

    // Just past the one white space character that ends the last token.
    size_t End() const { return at_ + 1; }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

private:
    const char* text_;
    size_t size_;
    size_t at_ = 0;
};

bool Multiply(uint64_t a, uint64_t b, uint64_t& product) { return !__builtin_mul_overflow(a, b, &product); }

// A width or height: decimal digits only, from 1 to what a host image holds.
bool ParseSize(const std::string& token, int64_t& value) {
    if (token.size() > 18 || !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    value = 0;
    std::from_chars(token.data(), token.data() + token.size(), value);
    return value > 0 && value <= INT32_MAX;
}

PfmHeader ParseHeader(const char* text, size_t size, const std::string& path) {
    HeaderScanner scan(text, size);
    std::string magic, width, height, scale;
    if (!scan.Next(magic) || (magic != "PF" && magic != "Pf"))
        throw BadFile(path, "is not a PFM file (it does not begin with \"PF\" or \"Pf\")");
    if (!scan.Next(width) || !scan.Next(height) || !scan.Next(scale))
        throw BadFile(path, "has a PFM header cut short or too long");
    PfmHeader header;
    header.Channels = magic == "PF" ? 3 : 1;
    if (!ParseSize(width, header.Width) || !ParseSize(height, header.Height))
        throw BadFile(path, "claims a size of " + width + " x " + height + ", which is no number of pixels");
    double value = 0;
    const auto [end, status] = std::from_chars(scale.data(), scale.data() + scale.size(), value);
    if (status != std::errc() || end != scale.data() + scale.size() || !std::isfinite(value) || value == 0 ||
        !std::isfinite(float(value)) || float(value) == 0)
        throw BadFile(path, "has the scale " + scale + ", which gives no byte order");
    header.LittleEndian = value < 0;
    header.Scale = std::fabs(float(value));
    header.DataOffset = scan.End();
    return header;
}

OpenedPfm OpenChecked(const std::string& path, const ImageLimits& limits) {
    CheckRegularFile(path);
    std::error_code ec;
    const uintmax_t fileSize = fs::file_size(path, ec);
    if (ec)
        throw BadFile(path, "cannot read the image: " + ec.message());
    if (fileSize == 0)
        throw BadFile(path, "is empty (0 bytes)");

    OpenedPfm f;
    f.File.open(fs::path(path), std::ios::binary);
    if (!f.File)
        throw BadFile(path, "cannot open the file");
    char text[MaxHeaderBytes];
    const size_t size = size_t(std::min<uintmax_t>(fileSize, sizeof text));
    if (!f.File.read(text, std::streamsize(size)))
        throw BadFile(path, "cannot read the header");
    f.Header = ParseHeader(text, size, path);
    const PfmHeader& h = f.Header;

    if (h.Width > limits.MaxWidth || h.Height > limits.MaxHeight)
        throw BadFile(path, "claims " + std::to_string(h.Width) + " x " + std::to_string(h.Height) +
                                       " pixels, above the limit of " + std::to_string(limits.MaxWidth) + " x " +
                                       std::to_string(limits.MaxHeight) + " (--max-image-size raises it)");
    if (h.Channels > limits.MaxChannels)
        throw BadFile(path, "claims " + std::to_string(h.Channels) + " channels, above the limit of " +
                                       std::to_string(limits.MaxChannels) + " (--max-channels raises it)");
    // Both sizes fit: a limit has let through no more than 65535 x 65535 unless raised.
    uint64_t hostBytes = 0, dataBytes = 0;
    const bool fits = Multiply(uint64_t(h.Width), uint64_t(h.Height), hostBytes) &&
                      Multiply(hostBytes, uint64_t(h.Channels) * sizeof(float), dataBytes) &&
                      Multiply(hostBytes, 4 * sizeof(float), hostBytes);
    const uint64_t bytes = std::max(hostBytes, dataBytes);
    if (!fits || bytes > limits.MaxBytes)
        throw BadFile(path, "needs " + (fits ? std::to_string(bytes) : std::string("more than 2^64")) +
                                       " bytes of pixels, above the limit of " + std::to_string(limits.MaxBytes) +
                                       " bytes (--max-frame-bytes raises it)");
    if (fileSize - h.DataOffset < dataBytes)
        throw BadFile(path, "is cut short: its " + std::to_string(h.Width) + " x " + std::to_string(h.Height) +
                                       " pixels need " + std::to_string(dataBytes) + " bytes after the header, " +
                                       std::to_string(fileSize - h.DataOffset) + " follow");

    f.Info.Width = int(h.Width);
    f.Info.Height = int(h.Height);
    f.Info.Channels = h.Channels;
    f.Info.HostFormat = Format_Float;
    f.Info.HostBytes = hostBytes;
    return f;
}

uint32_t Swap(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24); }

}  // namespace

bool IsPfmPath(const std::string& path) {
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension) c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".pfm";
}

ImageFileInfo ProbePfmFile(const std::string& path, const ImageLimits& limits) {
    return OpenChecked(path, limits).Info;
}

Image* ReadPfmFile(const std::string& path, const ImageLimits& limits, void* imageContext) {
    OpenedPfm f = OpenChecked(path, limits);
    const PfmHeader& h = f.Header;
    HostRef<Image> hold = NewFrameImage(path, int(h.Width), int(h.Height), Format_Float, imageContext);

    const bool swap = h.LittleEndian != (std::endian::native == std::endian::little);
    const size_t values = size_t(h.Width) * size_t(h.Channels);
    std::vector<uint32_t> row(values);
    std::vector<float> rgba(size_t(h.Width) * 4);
    f.File.clear();
    f.File.seekg(std::streamoff(h.DataOffset));
    for (int32_t y = 0; y < int32_t(h.Height); ++y) {
        if (!f.File.read(reinterpret_cast<char*>(row.data()), std::streamsize(values * sizeof(float))))
            throw BadFile(path, "cannot read the pixels of row " + std::to_string(y));
        for (size_t i = 0; i < values; ++i) {
            const uint32_t bits = swap ? Swap(row[i]) : row[i];
            float value = std::bit_cast<float>(bits);
            if (h.Scale != 1.0f) value *= h.Scale;
            row[i] = std::bit_cast<uint32_t>(value);
        }
        const float* in = reinterpret_cast<const float*>(row.data());
        for (int64_t x = 0; x < h.Width; ++x) {
            float* out = &rgba[size_t(x) * 4];
            const float* pixel = in + size_t(x) * size_t(h.Channels);
            out[0] = pixel[0];
            out[1] = pixel[h.Channels == 3 ? 1 : 0];
            out[2] = pixel[h.Channels == 3 ? 2 : 0];
            out[3] = 1.0f;
        }
        hold->WriteSpan(0, y, int32_t(h.Width), rgba.data());
    }
    return hold.Release();
}

void WritePfmFile(const Image& image, const std::string& path, const RowConversion& convert) {
    PendingFile temporary(path, ".pfm");
    const fs::path& directory = temporary.Directory();
    {
        std::ofstream out(temporary.Path(), std::ios::binary);
        if (!out)
            throw BadFile(path, "cannot create a file in '" + directory.string() + "'");
        const std::string header = "PF\n" + std::to_string(image.Width) + " " + std::to_string(image.Height) + "\n-1.0\n";
        out.write(header.data(), std::streamsize(header.size()));

        const bool swap = std::endian::native != std::endian::little;
        std::vector<float> rgba(size_t(image.Width) * 4);
        std::vector<uint32_t> row(size_t(image.Width) * 3);
        for (int32_t y = 0; y < image.Height && out; ++y) {
            image.ReadSpan(0, y, image.Width, rgba.data());
            if (convert) convert(rgba.data(), image.Width);
            for (size_t x = 0; x < size_t(image.Width); ++x)
                for (size_t c = 0; c < 3; ++c) {
                    const uint32_t bits = std::bit_cast<uint32_t>(rgba[x * 4 + c]);
                    row[x * 3 + c] = swap ? Swap(bits) : bits;
                }
            out.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size() * sizeof(uint32_t)));
        }
        if (!out.flush())
            throw BadFile(path, "cannot write the file in '" + directory.string() + "'");
    }
    temporary.Commit();
}

}  // namespace tessellon
