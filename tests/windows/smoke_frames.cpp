// Helper of the Windows smoke test, built for the build machine.
//
//   smoke_frames frames DIR          writes DIR/f.0001.pfm .. f.0006.pfm and
//                                    the tracks DIR/straight.csv, DIR/turned.csv
//   smoke_frames compare A B TOL     compares two PFM files value by value;
//                                    exit 0 when every value is within TOL
//
// The frames use every form a PFM reader must know: colour and grey,
// little- and big-endian, a scale other than 1. Their values are exact in
// binary, so that each system's reader must give the same floats.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int Width = 64, Height = 48, Frames = 6;

struct Encoding {
    bool Grey;
    bool BigEndian;
    float Scale;   // magnitude written; values are stored divided by it
};

// Frame k is written with encodings[k - 1].
constexpr Encoding Encodings[Frames] = {
    {false, false, 1.0f}, {false, true, 1.0f}, {true, false, 1.0f},
    {false, false, 0.5f}, {false, true, 2.0f}, {false, false, 1.0f},
};

uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// A scene wider than a frame, with texture, seen through a window that moves
// with the frame number; a bright block crosses it so that the two filter
// methods differ. Values are multiples of 1/1024.
float Scene(int frame, int x, int y, int channel) {
    const int sx = x + 6 * (frame - 1), sy = y + (frame % 3);
    float value = float(Hash(uint32_t(sx * 7919 + sy * 104729 + channel * 15485863)) % 1024) / 1024.0f;
    const int blockX = 10 + 8 * frame;
    if (x >= blockX && x < blockX + 6 && y >= 20 && y < 28) value = channel == 0 ? 4.0f : 0.0f;
    return value;
}

bool WriteFrame(const std::string& path, int frame, const Encoding& e) {
    std::ofstream out(path, std::ios::binary);
    const float scale = e.BigEndian ? e.Scale : -e.Scale;
    out << (e.Grey ? "Pf" : "PF") << "\n" << Width << " " << Height << "\n" << scale << "\n";
    const int channels = e.Grey ? 1 : 3;
    for (int y = 0; y < Height; ++y)   // bottom row first
        for (int x = 0; x < Width; ++x)
            for (int c = 0; c < channels; ++c) {
                uint32_t bits = std::bit_cast<uint32_t>(Scene(frame, x, y, c) / e.Scale);
                if (e.BigEndian) bits = (bits >> 24) | ((bits >> 8) & 0xff00U) | ((bits << 8) & 0xff0000U) | (bits << 24);
                out.write(reinterpret_cast<const char*>(&bits), 4);
            }
    return static_cast<bool>(out.flush());
}

bool WriteTracks(const std::string& dir) {
    std::ofstream straight(dir + "/straight.csv"), turned(dir + "/turned.csv");
    straight << "frame,x,y\n";
    turned << "frame,x,y,angle\n";
    for (int k = 1; k <= Frames; ++k) {
        const double x = 0.5 + 6.0 * (k - 1) / Width, y = 0.5 + double(k % 3) / Height;
        straight << k << "," << x << "," << y << "\n";
        turned << k << "," << x << "," << y << "," << 1.5 * (k - 1) - 3.0 << "\n";
    }
    return straight.flush() && turned.flush();
}

struct Pfm {
    int Width = 0, Height = 0, Channels = 0;
    std::vector<float> Values;
};

bool ReadPfm(const std::string& path, Pfm& pfm) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    double scale = 0;
    if (!(in >> magic >> pfm.Width >> pfm.Height >> scale) || (magic != "PF" && magic != "Pf") || scale == 0)
        return false;
    in.get();
    pfm.Channels = magic == "PF" ? 3 : 1;
    pfm.Values.resize(size_t(pfm.Width) * size_t(pfm.Height) * size_t(pfm.Channels));
    for (float& value : pfm.Values) {
        uint32_t bits = 0;
        if (!in.read(reinterpret_cast<char*>(&bits), 4)) return false;
        if (scale > 0) bits = (bits >> 24) | ((bits >> 8) & 0xff00U) | ((bits << 8) & 0xff0000U) | (bits << 24);
        value = std::bit_cast<float>(bits) * float(std::fabs(scale));
    }
    return true;
}

int Compare(const std::string& a, const std::string& b, double tolerance) {
    Pfm pa, pb;
    if (!ReadPfm(a, pa) || !ReadPfm(b, pb)) {
        std::printf("cannot read %s or %s as PFM\n", a.c_str(), b.c_str());
        return 1;
    }
    if (pa.Width != pb.Width || pa.Height != pb.Height || pa.Channels != pb.Channels) {
        std::printf("%s is %d x %d x %d, %s is %d x %d x %d\n", a.c_str(), pa.Width, pa.Height, pa.Channels,
                    b.c_str(), pb.Width, pb.Height, pb.Channels);
        return 1;
    }
    size_t over = 0, unequal = 0;
    double largest = 0;
    for (size_t i = 0; i < pa.Values.size(); ++i) {
        const float x = pa.Values[i], y = pb.Values[i];
        if (std::isnan(x) && std::isnan(y)) continue;
        if (std::bit_cast<uint32_t>(x) != std::bit_cast<uint32_t>(y)) ++unequal;
        const double difference = std::isnan(x) || std::isnan(y) ? INFINITY : std::fabs(double(x) - double(y));
        largest = std::fmax(largest, difference);
        if (!(difference <= tolerance)) ++over;
    }
    std::printf("%d x %d x %d values: %zu differ in their bits, largest difference %.3g, %zu above %.3g\n", pa.Width,
                pa.Height, pa.Channels, unequal, largest, over, tolerance);
    return over == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "frames" && argc == 3) {
        const std::string dir = argv[2];
        for (int k = 1; k <= Frames; ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "/f.%04d.pfm", k);
            if (!WriteFrame(dir + name, k, Encodings[k - 1])) {
                std::fprintf(stderr, "smoke_frames: cannot write %s%s\n", dir.c_str(), name);
                return 2;
            }
        }
        if (!WriteTracks(dir)) {
            std::fprintf(stderr, "smoke_frames: cannot write the tracks in %s\n", dir.c_str());
            return 2;
        }
        return 0;
    }
    if (command == "compare" && argc == 5) return Compare(argv[2], argv[3], std::strtod(argv[4], nullptr));
    std::fprintf(stderr, "usage: smoke_frames frames DIR | smoke_frames compare A B TOLERANCE\n");
    return 2;
}
