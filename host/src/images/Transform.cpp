// Image::Transform: turning an image about a centre, bilinear.
//
// The destination shares the source's pixel grid: destination pixel (x, y)
// and source pixel (x, y) sit at the same place before turning, so the
// centre c, given in fractions of the source, is the same point for both,
// also when the destination has another size.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "HostInternal.h"
#include "ImageStorage.h"

namespace {

// sin and cos of an angle in degrees, exact at multiples of 90 degrees: the
// angle is reduced to a quadrant and a remainder first, so 90 degrees gives
// exactly (1, 0) rather than cos(pi / 2) = 6.1e-17.
void SinCosDegrees(double degrees, double& s, double& c) {
    double a = std::fmod(degrees, 360.0);
    if (a < 0.0)
        a += 360.0;
    if (a >= 360.0)
        a -= 360.0;
    int quadrant = int(a / 90.0);
    double rest = a - 90.0 * quadrant;   // exact: both terms are close
    if (rest < 0.0) {
        --quadrant;
        rest += 90.0;
    }
    double s0 = 0.0, c0 = 1.0;
    if (rest != 0.0) {
        const double radians = rest * (std::numbers::pi / 180.0);
        s0 = std::sin(radians);
        c0 = std::cos(radians);
    }
    switch (quadrant & 3) {
    case 0: s = s0; c = c0; break;
    case 1: s = c0; c = -s0; break;
    case 2: s = -s0; c = -c0; break;
    default: s = -c0; c = s0; break;
    }
}

inline float Lerp(float a, float b, float t) { return a + (b - a) * t; }

// Whether both images store four channels in `format` in one interleaved
// group, in the same order: each channel is turned alone, so their taps can
// be read and written in the stored order, straight from memory.
bool SameFourChannels(const Image& a, const Image& b, int32_t format) {
    const auto four = [format](const Image& image) {
        return image.Format == format && image.Channels == 4 && image.Group[1].Base == nullptr;
    };
    return four(a) && four(b) && std::equal(a.ChannelMap, a.ChannelMap + 4, b.ChannelMap);
}

// One destination row of the turn, reading and writing through `Read(x, y,
// p)` and `Write(x, p)`; the same arithmetic whatever they are. Where all
// four taps lie inside the source, `inside(x, x0, y0, tx, ty)` may do the
// pixel's whole work with that arithmetic and return true.
struct NoInside {
    bool operator()(int32_t, int32_t, int32_t, float, float) const { return false; }
};

template <class ReadTap, class WritePixel, class Inside = NoInside>
bool TurnRow(int32_t y, int32_t width, int32_t w, int32_t h, double s, double c, double cx, double cy,
             ReadTap&& readTap, WritePixel&& write, Inside&& inside = {}) {
    bool wrote = false;
    PixelRecord taps[4];
    PixelRecord out;
    const auto tap = [&](int32_t x, int32_t y, PixelRecord& p) {
        if (x < 0 || y < 0 || x >= w || y >= h) {
            p.Chan[0] = p.Chan[1] = p.Chan[2] = p.Chan[3] = 0.0f;
            return;
        }
        readTap(x, y, p);
    };
    const double py = y + 0.5 - cy;
    for (int32_t x = 0; x < width; ++x) {
        const double px = x + 0.5 - cx;
        const double u = cx + c * px + s * py - 0.5;
        const double v = cy - s * px + c * py - 0.5;
        const double fu = std::floor(u), fv = std::floor(v);
        if (fu < -1.0 || fv < -1.0 || fu >= w || fv >= h)
            continue;   // all four taps outside
        const int32_t x0 = int32_t(fu), y0 = int32_t(fv);
        const float tx = float(u - fu), ty = float(v - fv);
        if (x0 >= 0 && y0 >= 0 && x0 + 1 < w && y0 + 1 < h && inside(x, x0, y0, tx, ty)) {
            wrote = true;
            continue;
        }
        tap(x0, y0, taps[0]);
        tap(x0 + 1, y0, taps[1]);
        tap(x0, y0 + 1, taps[2]);
        tap(x0 + 1, y0 + 1, taps[3]);
        for (int k = 0; k < 4; ++k) {
            const float bottom = Lerp(taps[0].Chan[k], taps[1].Chan[k], tx);
            const float top = Lerp(taps[2].Chan[k], taps[3].Chan[k], tx);
            out.Chan[k] = Lerp(bottom, top, ty);
        }
        write(x, out);
        wrote = true;
    }
    return wrote;
}

// A row of the turn between images of the same four channels in the format
// of S: taps read and pixels written in place, channel by stored channel,
// without the pixel functions. The same values as through them.
template <class S>
void TurnRowStored(const Image& source, Image* dest, int32_t y, double s, double c, double cx, double cy) {
    using T = typename S::T;
    const BufferGroup& from = source.Group[0];
    const BufferGroup& to = dest->Group[0];
    T* row = reinterpret_cast<T*>(to.Base + to.RowOffsets[y]);
    const auto read = [&](int32_t x, int32_t ty, PixelRecord& p) {
        const T* q = reinterpret_cast<const T*>(from.Base + from.RowOffsets[ty] + int64_t(x) * from.PixelStride);
        for (int k = 0; k < 4; ++k) p.Chan[k] = S::Read(q[k]);
    };
    const auto write = [&](int32_t x, const PixelRecord& p) {
        T* q = row + int64_t(x) * (to.PixelStride / int64_t(sizeof(T)));
        for (int k = 0; k < 4; ++k) q[k] = S::Write(p.Chan[k]);
    };
    bool wrote = false;
#if defined(__SSE2__)
    if constexpr (std::is_same_v<T, float>) {
        // The four channels of a pixel at once: the same subtractions,
        // products and sums, channel by channel, as Lerp's.
        const int64_t step = from.PixelStride / int64_t(sizeof(float));
        const auto inside = [&](int32_t x, int32_t x0, int32_t y0, float tx, float ty) {
            const float* low = reinterpret_cast<const float*>(from.Base + from.RowOffsets[y0]) + int64_t(x0) * step;
            const float* high = reinterpret_cast<const float*>(from.Base + from.RowOffsets[y0 + 1]) + int64_t(x0) * step;
            const __m128 t0 = _mm_loadu_ps(low), t1 = _mm_loadu_ps(low + step);
            const __m128 t2 = _mm_loadu_ps(high), t3 = _mm_loadu_ps(high + step);
            const __m128 vx = _mm_set1_ps(tx), vy = _mm_set1_ps(ty);
            const __m128 bottom = _mm_add_ps(t0, _mm_mul_ps(_mm_sub_ps(t1, t0), vx));
            const __m128 top = _mm_add_ps(t2, _mm_mul_ps(_mm_sub_ps(t3, t2), vx));
            _mm_storeu_ps(row + int64_t(x) * (to.PixelStride / int64_t(sizeof(float))),
                          _mm_add_ps(bottom, _mm_mul_ps(_mm_sub_ps(top, bottom), vy)));
            return true;
        };
        wrote = TurnRow(y, dest->Width, source.Width, source.Height, s, c, cx, cy, read, write, inside);
    } else
#endif
        wrote = TurnRow(y, dest->Width, source.Width, source.Height, s, c, cx, cy, read, write);
    if (wrote) ImageStorage::MarkWritten(dest);
}

// Rows per band so that each band has at least ~16k pixels of work.
int32_t RowsPerBand(int32_t width) { return std::max<int32_t>(1, 16384 / std::max<int32_t>(width, 1)); }

// Turns `source` into `dest` (see Image::Transform).
bool TransformInto(const Image& source, Image* dest, const TagList& tags) {
    if (dest == nullptr)
        return false;
    if (dest == &source) {
        // Turning in place: sample from a copy.
        Image* copy = NewImage(TagList{Tag<IMG_Like>(&source)});
        if (copy == nullptr) {
            dest->Fill(0, 0, 0, 0);
            return false;
        }
        std::vector<float> row(size_t(source.Width) * 4);
        for (int32_t y = 0; y < source.Height; ++y) {
            source.ReadSpan(0, y, source.Width, row.data());
            copy->WriteSpan(0, y, source.Width, row.data());
        }
        const bool ok = TransformInto(*copy, dest, tags);
        copy->Recycle();
        return ok;
    }

    const double angle = tags.GetDouble(XF_Angle, 0.0);
    const double fx = tags.GetDouble(XF_CentreX, 0.5);
    const double fy = tags.GetDouble(XF_CentreY, 0.5);
    const int32_t filter = tags.GetInt(XF_Filter, 0);

    // Pixels no tap reaches stay as this leaves them: transparent, and for a
    // large never-written destination without any memory.
    dest->Fill(0, 0, 0, 0);
    if (!std::isfinite(angle) || !std::isfinite(fx) || !std::isfinite(fy) || filter != 0)
        return false;
    if (source.Group[0].Base == nullptr || dest->Group[0].Base == nullptr)
        return false;

    // The turned image is written nearly everywhere: let it take huge pages.
    ImageStorage::AdviseDense(ImageStorage::Storage(dest), dest->StorageBytes());

    double s = 0.0, c = 1.0;
    SinCosDegrees(angle, s, c);
    const double cx = fx * source.Width, cy = fy * source.Height;
    const int32_t w = source.Width, h = source.Height;
    const int32_t rowsPerBand = RowsPerBand(dest->Width);
    const int32_t bands = (dest->Height + rowsPerBand - 1) / rowsPerBand;

    const bool floats = SameFourChannels(source, *dest, Format_Float);
    const bool halves = SameFourChannels(source, *dest, Format_Half);
    hostimpl::RunChunks(bands, [&](int32_t band) {
        PixelAccessor reader(&source);
        PixelAccessor writer(dest);
        const auto read = [&](int32_t x, int32_t y, PixelRecord& p) {
            reader.SetPosition(x, y);
            reader.ReadPixel(p);
        };
        const int32_t yEnd = std::min(dest->Height, (band + 1) * rowsPerBand);
        for (int32_t y = band * rowsPerBand; y < yEnd; ++y) {
            if (!ImageStorage::HoldsRow(dest, y))
                continue;   // a row the destination does not hold is never read back
            if (floats) {
                TurnRowStored<hostimpl::StoreFloat>(source, dest, y, s, c, cx, cy);
            } else if (halves) {
                TurnRowStored<hostimpl::StoreHalf>(source, dest, y, s, c, cx, cy);
            } else {
                TurnRow(y, dest->Width, w, h, s, c, cx, cy, read, [&](int32_t x, const PixelRecord& p) {
                    writer.SetPosition(x, y);
                    writer.WritePixel(p);
                });
            }
        }
    });
    return true;
}

}  // namespace

HostApp::RowRange HostApp::TurnSourceRows(int32_t width, int32_t height, double angle, double fx, double fy,
                                          RowRange rows) {
    if (rows.Count() == 0 || width <= 0 || height <= 0 || !std::isfinite(angle))
        return RowRange{};
    // v, the source row a destination pixel samples, is linear in x and y:
    // its extremes over the rows lie at their corner pixels, as TransformInto
    // forms them. The taps are floor(v) and floor(v) + 1; a row more on each
    // side covers the rounding of forming v pixel by pixel.
    double s = 0.0, c = 1.0;
    SinCosDegrees(angle, s, c);
    const double cx = fx * width, cy = fy * height;
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (const int32_t x : {0, width - 1})
        for (const int32_t y : {rows.First, rows.End - 1}) {
            const double px = x + 0.5 - cx, py = y + 0.5 - cy;
            const double v = cy - s * px + c * py - 0.5;
            low = std::min(low, std::floor(v));
            high = std::max(high, std::floor(v) + 1.0);
        }
    low -= 1.0;
    high += 1.0;
    if (high < 0.0 || low >= double(height))
        return RowRange{};
    return RowRange{int32_t(std::max(low, 0.0)), int32_t(std::min(high, double(height - 1))) + 1};
}

bool Image::Transform(Image* dest, const TagList& tags) const {
    const auto begin = std::chrono::steady_clock::now();
    const bool done = TransformInto(*this, dest, tags);
    hostimpl::CountTransform(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    return done;
}
