// Draws the tool's tile picture and writes it as a bitmap file:
//
//   draw_tile <output.bmp>
//
// 160 x 120 pixels, 32 bits per pixel, uncompressed, rows bottom-up, bytes
// blue, green, red, alpha (255 everywhere). The build does not run this
// program; run it when the picture changes and commit tile.bmp.
//
// The picture: on a dark grey ground, a film reel in an upright green frame,
// below it the same reel in a slanted, distorted green frame, a red outlined
// arrow curving down the left from the first to the second, and the tool's
// name in white along the bottom left.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int Width = 160;
constexpr int Height = 120;
constexpr int Oversample = 4;   // samples per pixel side, for smooth edges

struct Vec {
    double x = 0.0, y = 0.0;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
double Cross(Vec a, Vec b) { return a.x * b.y - a.y * b.x; }
double Length(Vec a) { return std::sqrt(Dot(a, a)); }

struct Colour {
    double r = 0.0, g = 0.0, b = 0.0;
};
Colour Mix(Colour a, Colour b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

const Colour FrameGreen{70, 225, 95};
const Colour ArrowRed{235, 45, 40};
const Colour White{250, 250, 250};
const Colour Flange{178, 184, 192};
const Colour FlangeEdge{222, 226, 232};
const Colour Film{46, 34, 28};
const Colour Hub{64, 66, 72};

// Distance from p to the segment a-b.
double SegmentDistance(Vec p, Vec a, Vec b) {
    const Vec ab = b - a;
    const double t = std::clamp(Dot(p - a, ab) / Dot(ab, ab), 0.0, 1.0);
    return Length(p - (a + ab * t));
}

// A projective map of the unit square onto a quadrilateral (corners in the
// order (0,0), (1,0), (1,1), (0,1)), and its inverse for looking up where a
// pixel falls inside the frame.
struct Homography {
    std::array<double, 9> m{};

    static Homography SquareTo(const std::array<Vec, 4>& q) {
        const double sx = q[0].x - q[1].x + q[2].x - q[3].x;
        const double sy = q[0].y - q[1].y + q[2].y - q[3].y;
        const double dx1 = q[1].x - q[2].x, dx2 = q[3].x - q[2].x;
        const double dy1 = q[1].y - q[2].y, dy2 = q[3].y - q[2].y;
        const double det = dx1 * dy2 - dx2 * dy1;
        const double g = (sx * dy2 - dx2 * sy) / det;
        const double h = (dx1 * sy - sx * dy1) / det;
        Homography H;
        H.m = {q[1].x - q[0].x + g * q[1].x, q[3].x - q[0].x + h * q[3].x, q[0].x,
               q[1].y - q[0].y + g * q[1].y, q[3].y - q[0].y + h * q[3].y, q[0].y,
               g, h, 1.0};
        return H;
    }

    Homography Inverse() const {
        const auto& a = m;
        const double det = a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
                           a[2] * (a[3] * a[7] - a[4] * a[6]);
        Homography H;
        H.m = {(a[4] * a[8] - a[5] * a[7]) / det, (a[2] * a[7] - a[1] * a[8]) / det,
               (a[1] * a[5] - a[2] * a[4]) / det, (a[5] * a[6] - a[3] * a[8]) / det,
               (a[0] * a[8] - a[2] * a[6]) / det, (a[2] * a[3] - a[0] * a[5]) / det,
               (a[3] * a[7] - a[4] * a[6]) / det, (a[1] * a[6] - a[0] * a[7]) / det,
               (a[0] * a[4] - a[1] * a[3]) / det};
        return H;
    }

    Vec Apply(Vec p) const {
        const double w = m[6] * p.x + m[7] * p.y + m[8];
        return {(m[0] * p.x + m[1] * p.y + m[2]) / w, (m[3] * p.x + m[4] * p.y + m[5]) / w};
    }
};

// A film reel in frame coordinates (0..1 both ways): a silver flange with
// five round windows onto the wound film, a dark hub with a spindle hole.
// Returns false where the reel does not cover the point.
bool Reel(Vec uv, Colour& out) {
    const Vec c{0.5, 0.5};
    const Vec d = uv - c;
    const double r = Length(d);
    if (r > 0.41)
        return false;
    if (r > 0.385) {
        out = FlangeEdge;
        return true;
    }
    if (r < 0.035) {
        out = Film;
        return true;
    }
    if (r < 0.095) {
        out = Hub;
        return true;
    }
    for (int k = 0; k < 5; ++k) {
        const double a = -std::numbers::pi / 2 + k * 2 * std::numbers::pi / 5;
        const Vec window = c + Vec{std::cos(a), std::sin(a)} * 0.235;
        if (Length(uv - window) < 0.095) {
            out = Film;
            return true;
        }
    }
    // A little shading so the flange reads as metal, lighter toward the top left.
    out = Mix(Flange, FlangeEdge, std::clamp(0.5 - (d.x + d.y), 0.0, 1.0) * 0.6);
    return true;
}

struct FramedReel {
    std::array<Vec, 4> corners;   // top left, top right, bottom right, bottom left
    Homography toFrame;

    explicit FramedReel(const std::array<Vec, 4>& q)
        : corners(q), toFrame(Homography::SquareTo(q).Inverse()) {}

    void Paint(Vec p, Colour& out) const {
        const Vec uv = toFrame.Apply(p);
        if (uv.x >= 0 && uv.x <= 1 && uv.y >= 0 && uv.y <= 1) {
            Colour reel;
            if (Reel(uv, reel))
                out = reel;
        }
        double edge = 1e9;
        for (int i = 0; i < 4; ++i)
            edge = std::min(edge, SegmentDistance(p, corners[i], corners[(i + 1) % 4]));
        if (edge < 0.6)
            out = FrameGreen;
    }
};

// Signed distance to the triangle a, b, c: negative inside.
double TriangleDistance(Vec p, Vec a, Vec b, Vec c) {
    const Vec e0 = b - a, e1 = c - b, e2 = a - c;
    const Vec v0 = p - a, v1 = p - b, v2 = p - c;
    const Vec q0 = v0 - e0 * std::clamp(Dot(v0, e0) / Dot(e0, e0), 0.0, 1.0);
    const Vec q1 = v1 - e1 * std::clamp(Dot(v1, e1) / Dot(e1, e1), 0.0, 1.0);
    const Vec q2 = v2 - e2 * std::clamp(Dot(v2, e2) / Dot(e2, e2), 0.0, 1.0);
    const double s = Cross(e0, e2) < 0 ? -1.0 : 1.0;
    const double d = std::min({Dot(q0, q0), Dot(q1, q1), Dot(q2, q2)});
    const bool inside = s * Cross(v0, e0) <= 0 && s * Cross(v1, e1) <= 0 && s * Cross(v2, e2) <= 0;
    return inside ? -std::sqrt(d) : std::sqrt(d);
}

// The arrow: a band that starts beside the upper frame, runs along a half
// circle on the left, from the top round to the bottom, and ends in a head
// that points right, at the lower frame.
struct CurvedArrow {
    Vec centre{48, 52};
    double radius = 25;
    double tailLength = 14;    // a straight start, toward the upper frame        // of the band's middle line
    double halfWidth = 3.6;
    double tailAngle = 1.5 * std::numbers::pi;   // the top (y grows downward)
    double headAngle = 0.5 * std::numbers::pi + 0.42;
    double headHalfWidth = 9.5;
    double headLength = 15;

    Vec At(double angle, double r) const { return centre + Vec{std::cos(angle), std::sin(angle)} * r; }

    double Distance(Vec p) const {
        const Vec d = p - centre;
        double a = std::atan2(d.y, d.x);
        if (a < 0)
            a += 2 * std::numbers::pi;
        double band;
        if (a >= headAngle && a <= tailAngle)
            band = std::abs(Length(d) - radius);
        else
            band = std::min(Length(p - At(headAngle, radius)), Length(p - At(tailAngle, radius)));
        const Vec tail = At(tailAngle, radius);
        band = std::min(band, SegmentDistance(p, tail, tail + Vec{tailLength, 0}));
        band -= halfWidth;
        // The head's base lies across the band where it ends; its tip follows
        // the direction of travel there.
        const Vec travel{std::sin(headAngle), -std::cos(headAngle)};
        const Vec base = At(headAngle, radius);
        const Vec tip = base + travel * headLength;
        const double head = TriangleDistance(p, At(headAngle, radius - headHalfWidth),
                                             At(headAngle, radius + headHalfWidth), tip);
        return std::min(band, head);
    }

    void Paint(Vec p, Colour& out) const {
        const double d = Distance(p);
        if (std::abs(d) < 0.75)
            out = ArrowRed;
        else if (d < 0)
            out = Mix(out, ArrowRed, 0.18);
    }
};

// A 5 x 7 font with the letters the tile needs, rows from the top.
struct Glyph {
    char letter;
    std::array<const char*, 7> rows;
};

constexpr Glyph Font[] = {
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},
    {'s', {".....", ".....", ".####", "#....", ".###.", "....#", "####."}},
    {'l', {".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'o', {".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."}},
    {'n', {".....", ".....", "####.", "#...#", "#...#", "#...#", "#...#"}},
};

const Glyph* GlyphOf(char letter) {
    for (const Glyph& g : Font)
        if (g.letter == letter)
            return &g;
    return nullptr;
}

// True where the text covers pixel-space point p; the text's top left
// corner is `origin`, each font pixel `scale` pixels wide.
bool TextCovers(const std::string& text, Vec origin, int scale, Vec p) {
    const int gx = static_cast<int>(std::floor((p.x - origin.x) / scale));
    const int gy = static_cast<int>(std::floor((p.y - origin.y) / scale));
    if (gx < 0 || gy < 0 || gy >= 7)
        return false;
    const size_t index = static_cast<size_t>(gx / 6);
    const int column = gx % 6;
    if (index >= text.size() || column == 5)
        return false;
    const Glyph* g = GlyphOf(text[index]);
    return g && g->rows[gy][column] == '#';
}

struct Scene {
    FramedReel upper{{Vec{70, 4}, Vec{114, 4}, Vec{114, 48}, Vec{70, 48}}};
    FramedReel lower{{Vec{72, 58}, Vec{128, 50}, Vec{138, 86}, Vec{80, 100}}};
    CurvedArrow arrow;
    std::string name = "Tessellon";
    Vec nameOrigin{7, 103};
    int nameScale = 2;

    Colour Sample(Vec p) const {
        // Dark grey, a shade lighter at the top.
        Colour c = Mix(Colour{60, 61, 66}, Colour{38, 38, 42}, p.y / Height);
        upper.Paint(p, c);
        lower.Paint(p, c);
        arrow.Paint(p, c);
        // A one-pixel shadow under the letters keeps them crisp on the ground.
        if (TextCovers(name, nameOrigin + Vec{1, 1}, nameScale, p))
            c = Colour{18, 18, 20};
        if (TextCovers(name, nameOrigin, nameScale, p))
            c = White;
        return c;
    }
};

uint8_t ToByte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> DrawBitmapFile() {
    constexpr uint32_t pixelBytes = Width * Height * 4;
    constexpr uint32_t headerBytes = 14 + 40;
    std::vector<uint8_t> out;
    out.reserve(headerBytes + pixelBytes);
    // File header.
    out.push_back('B');
    out.push_back('M');
    Put32(out, headerBytes + pixelBytes);
    Put32(out, 0);
    Put32(out, headerBytes);
    // Information header: positive height, so rows run bottom-up.
    Put32(out, 40);
    Put32(out, Width);
    Put32(out, Height);
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, 0);   // uncompressed
    Put32(out, pixelBytes);
    Put32(out, 2835);   // 72 dots per inch
    Put32(out, 2835);
    Put32(out, 0);
    Put32(out, 0);

    const Scene scene;
    for (int row = 0; row < Height; ++row) {
        const int y = Height - 1 - row;   // the scene's y grows downward
        for (int x = 0; x < Width; ++x) {
            Colour sum;
            for (int sy = 0; sy < Oversample; ++sy) {
                for (int sx = 0; sx < Oversample; ++sx) {
                    const Vec p{x + (sx + 0.5) / Oversample, y + (sy + 0.5) / Oversample};
                    const Colour c = scene.Sample(p);
                    sum.r += c.r;
                    sum.g += c.g;
                    sum.b += c.b;
                }
            }
            constexpr double n = Oversample * Oversample;
            out.push_back(ToByte(sum.b / n));
            out.push_back(ToByte(sum.g / n));
            out.push_back(ToByte(sum.r / n));
            out.push_back(255);
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_tile <output.bmp>\n");
        return 2;
    }
    const std::vector<uint8_t> bytes = DrawBitmapFile();
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "draw_tile: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
