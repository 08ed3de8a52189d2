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

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#  include <immintrin.h>
#  define TURN_X86 1
#else
#  define TURN_X86 0
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

// The bilinear blend of a pixel's four taps t0 to t3 (left and right of the
// lower row, then of the upper), four channels. Channel by channel it is
// a + (b - a) * t, along x and then along y. Every path of the turn calls
// this one function: where taps hold NaNs, the NaN a sum gives depends on
// the order the compiler puts its operands in, so one machine code for
// every path keeps their bits the same.
[[gnu::noinline]] void BlendTaps(const float* t0, const float* t1, const float* t2, const float* t3, float tx,
                                 float ty, float* out) {
#if TURN_X86 && defined(__SSE2__)
    const __m128 a0 = _mm_loadu_ps(t0), a1 = _mm_loadu_ps(t1), a2 = _mm_loadu_ps(t2), a3 = _mm_loadu_ps(t3);
    const __m128 vx = _mm_set1_ps(tx), vy = _mm_set1_ps(ty);
    const __m128 bottom = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
    const __m128 top = _mm_add_ps(a2, _mm_mul_ps(_mm_sub_ps(a3, a2), vx));
    _mm_storeu_ps(out, _mm_add_ps(bottom, _mm_mul_ps(_mm_sub_ps(top, bottom), vy)));
#else
    for (int k = 0; k < 4; ++k) {
        const float bottom = t0[k] + (t1[k] - t0[k]) * tx;
        const float top = t2[k] + (t3[k] - t2[k]) * tx;
        out[k] = bottom + (top - bottom) * ty;
    }
#endif
}

// Whether both images store four channels in `format` in one interleaved
// group, in the same order: each channel is turned alone, so their taps can
// be read and written in the stored order, straight from memory.
bool SameFourChannels(const Image& a, const Image& b, int32_t format) {
    const auto four = [format](const Image& image) {
        return image.Format == format && image.Channels == 4 && image.Group[1].Base == nullptr;
    };
    return four(a) && four(b) && std::equal(a.ChannelMap, a.ChannelMap + 4, b.ChannelMap);
}

// Where four neighbouring destination pixels of a row sample the source:
// the first of their four taps, the fractions between the taps, and what
// lies inside the source.
struct FourSamples {
    enum Kind : uint8_t { Outside, Edge, Inside };   // no tap, some taps, all four
    int32_t X0[4], Y0[4];
    float Tx[4], Ty[4];
    Kind Where[4];
};

struct TurnGeometry {
    int32_t W, H;   // the source's size
    double S, C, Cx, Cy;
};

// Samples of pixels x to x + 3 of the row whose centre lies py below the
// centre: u and v are formed as below, operation by operation, and floored.
void SampleFour(const TurnGeometry& g, double py, int32_t x, FourSamples& out) {
    for (int k = 0; k < 4; ++k) {
        const double px = (x + k) + 0.5 - g.Cx;
        const double u = g.Cx + g.C * px + g.S * py - 0.5;
        const double v = g.Cy - g.S * px + g.C * py - 0.5;
        const double fu = std::floor(u), fv = std::floor(v);
        out.Tx[k] = float(u - fu);
        out.Ty[k] = float(v - fv);
        if (fu < -1.0 || fv < -1.0 || fu >= g.W || fv >= g.H) {
            out.Where[k] = FourSamples::Outside;
            continue;
        }
        out.X0[k] = int32_t(fu);
        out.Y0[k] = int32_t(fv);
        out.Where[k] = fu >= 0.0 && fv >= 0.0 && fu + 1.0 < g.W && fv + 1.0 < g.H ? FourSamples::Inside
                                                                                  : FourSamples::Edge;
    }
}

#if TURN_X86
// The same four samples with the four pixels' doubles in one register: the
// same products, sums and rounding in each lane (AVX has no fused
// multiply-add, so none is formed), and floor where std::floor is a call.
__attribute__((target("avx"))) void SampleFourAvx(const TurnGeometry& g, double py, int32_t x, FourSamples& out) {
    const __m256d half = _mm256_set1_pd(0.5), cx = _mm256_set1_pd(g.Cx), cy = _mm256_set1_pd(g.Cy);
    const __m256d s = _mm256_set1_pd(g.S), c = _mm256_set1_pd(g.C);
    const __m256d spy = _mm256_set1_pd(g.S * py), cpy = _mm256_set1_pd(g.C * py);
    const __m256d xs = _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3)));
    const __m256d px = _mm256_sub_pd(_mm256_add_pd(xs, half), cx);
    const __m256d u = _mm256_sub_pd(_mm256_add_pd(_mm256_add_pd(cx, _mm256_mul_pd(c, px)), spy), half);
    const __m256d v = _mm256_sub_pd(_mm256_add_pd(_mm256_sub_pd(cy, _mm256_mul_pd(s, px)), cpy), half);
    const __m256d fu = _mm256_floor_pd(u), fv = _mm256_floor_pd(v);
    _mm_storeu_ps(out.Tx, _mm256_cvtpd_ps(_mm256_sub_pd(u, fu)));
    _mm_storeu_ps(out.Ty, _mm256_cvtpd_ps(_mm256_sub_pd(v, fv)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.X0), _mm256_cvttpd_epi32(fu));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.Y0), _mm256_cvttpd_epi32(fv));
    const __m256d w = _mm256_set1_pd(g.W), h = _mm256_set1_pd(g.H), one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd(), minusOne = _mm256_set1_pd(-1.0);
    const int outside = _mm256_movemask_pd(_mm256_or_pd(
        _mm256_or_pd(_mm256_cmp_pd(fu, minusOne, _CMP_LT_OQ), _mm256_cmp_pd(fv, minusOne, _CMP_LT_OQ)),
        _mm256_or_pd(_mm256_cmp_pd(fu, w, _CMP_GE_OQ), _mm256_cmp_pd(fv, h, _CMP_GE_OQ))));
    const int inside = _mm256_movemask_pd(_mm256_and_pd(
        _mm256_and_pd(_mm256_cmp_pd(fu, zero, _CMP_GE_OQ), _mm256_cmp_pd(fv, zero, _CMP_GE_OQ)),
        _mm256_and_pd(_mm256_cmp_pd(_mm256_add_pd(fu, one), w, _CMP_LT_OQ),
                      _mm256_cmp_pd(_mm256_add_pd(fv, one), h, _CMP_LT_OQ))));
    for (int k = 0; k < 4; ++k)
        out.Where[k] = (outside >> k & 1) ? FourSamples::Outside
                       : (inside >> k & 1) ? FourSamples::Inside
                                           : FourSamples::Edge;
}
#endif

using SampleFourFunc = void (*)(const TurnGeometry&, double, int32_t, FourSamples&);

SampleFourFunc SampleFourOfThisProcessor() {
#if TURN_X86
    static const SampleFourFunc chosen = __builtin_cpu_supports("avx") ? SampleFourAvx : SampleFour;
    return chosen;
#else
    return SampleFour;
#endif
}

// One destination row of the turn, reading and writing through `Read(x, y,
// p)` and `Write(x, p)`; the same arithmetic whatever they are. Where all
// four taps lie inside the source, `inside(x, x0, y0, tx, ty)` may do the
// pixel's whole work with that arithmetic and return true.
struct NoInside {
    bool operator()(int32_t, int32_t, int32_t, float, float) const { return false; }
};

template <class ReadTap, class WritePixel, class Inside = NoInside>
bool TurnRow(int32_t y, int32_t width, const TurnGeometry& g, ReadTap&& readTap, WritePixel&& write,
             Inside&& inside = {}) {
    const SampleFourFunc sampleFour = SampleFourOfThisProcessor();
    bool wrote = false;
    PixelRecord taps[4];
    PixelRecord out;
    const auto tap = [&](int32_t x, int32_t y, PixelRecord& p) {
        if (x < 0 || y < 0 || x >= g.W || y >= g.H) {
            p.Chan[0] = p.Chan[1] = p.Chan[2] = p.Chan[3] = 0.0f;
            return;
        }
        readTap(x, y, p);
    };
    const double py = y + 0.5 - g.Cy;
    FourSamples four;
    for (int32_t x4 = 0; x4 < width; x4 += 4) {
        sampleFour(g, py, x4, four);
        for (int k = 0; k < 4 && x4 + k < width; ++k) {
            if (four.Where[k] == FourSamples::Outside)
                continue;
            const int32_t x = x4 + k, x0 = four.X0[k], y0 = four.Y0[k];
            const float tx = four.Tx[k], ty = four.Ty[k];
            wrote = true;
            if (four.Where[k] == FourSamples::Inside && inside(x, x0, y0, tx, ty))
                continue;
            tap(x0, y0, taps[0]);
            tap(x0 + 1, y0, taps[1]);
            tap(x0, y0 + 1, taps[2]);
            tap(x0 + 1, y0 + 1, taps[3]);
            BlendTaps(taps[0].Chan, taps[1].Chan, taps[2].Chan, taps[3].Chan, tx, ty, out.Chan);
            write(x, out);
        }
    }
    return wrote;
}

// A row of the turn between images of the same four channels in the format
// of S: taps read and pixels written in place, channel by stored channel,
// without the pixel functions. The same values as through them.
template <class S>
void TurnRowStored(const Image& source, Image* dest, int32_t y, const TurnGeometry& g) {
    using T = typename S::T;
    const BufferGroup& from = source.Group[0];
    const BufferGroup& to = dest->Group[0];
    T* row = reinterpret_cast<T*>(to.Base + to.RowOffsets[y]);
    const auto read = [&](int32_t x, int32_t ty, PixelRecord& p) {
        const T* q = reinterpret_cast<const T*>(from.Base + from.RowOffsets[ty] + int64_t(x) * from.PixelStride);
        for (int k = 0; k < 4; ++k) p.Chan[k] = S::Read(q[k]);
    };
    const int64_t outStep = to.PixelStride / int64_t(sizeof(T));
    const auto write = [&](int32_t x, const PixelRecord& p) {
        T* q = row + int64_t(x) * outStep;
        for (int k = 0; k < 4; ++k) q[k] = S::Write(p.Chan[k]);
    };
    bool wrote = false;
    if constexpr (std::is_same_v<T, float>) {
        // Taps inside the source are blended straight from its memory.
        const int64_t step = from.PixelStride / int64_t(sizeof(float));
        const auto inside = [&](int32_t x, int32_t x0, int32_t y0, float tx, float ty) {
            const float* low = reinterpret_cast<const float*>(from.Base + from.RowOffsets[y0]) + int64_t(x0) * step;
            const float* high = reinterpret_cast<const float*>(from.Base + from.RowOffsets[y0 + 1]) + int64_t(x0) * step;
            BlendTaps(low, low + step, high, high + step, tx, ty, row + int64_t(x) * outStep);
            return true;
        };
        wrote = TurnRow(y, dest->Width, g, read, write, inside);
    } else {
        wrote = TurnRow(y, dest->Width, g, read, write);
    }
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

    TurnGeometry g{source.Width, source.Height, 0.0, 1.0, fx * source.Width, fy * source.Height};
    SinCosDegrees(angle, g.S, g.C);
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
                TurnRowStored<hostimpl::StoreFloat>(source, dest, y, g);
            } else if (halves) {
                TurnRowStored<hostimpl::StoreHalf>(source, dest, y, g);
            } else {
                TurnRow(y, dest->Width, g, read, [&](int32_t x, const PixelRecord& p) {
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
