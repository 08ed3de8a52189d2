// Layer compositing, one canvas row at a time.
//
// Only fully opaque layer pixels (alpha == 1.0f exactly) take part. Unique
// pixels: the first opaque pixel in layer order is written as read; a canvas
// pixel that no layer has opaque is not written. Median: per colour channel
// the element at index n / 2 of the ascending median order (MedianOrder.h)
// of the n opaque pixels, alpha 1.0; every pixel of the row is written,
// (0, 0, 0, 0) where n is 0.
//
// A layer is (0, 0, 0, 0) outside its footprint, so only the layers whose
// footprint holds the row are read, each over the stretch that still
// matters, once per row. A call keeps its buffers to itself and nothing
// beyond its return: no thread-local state, which would keep the module
// that holds the engine from unloading while the host's workers live. A
// row's result depends on nothing but the job, so never on the threads.
#include <algorithm>
#include <bit>
#include <climits>
#include <vector>

#include "MedianOrder.h"
#include "StitchJob.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TESSELLON_SSE2 1
#else
#define TESSELLON_SSE2 0
#endif

// Eight pixels at a time where the processor has AVX2, chosen as the
// program runs; the result is the same bit for bit either way.
#if TESSELLON_SSE2 && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define TESSELLON_AVX2 1
#else
#define TESSELLON_AVX2 0
#endif

namespace {

struct CoveringLayer {
    const Image* Layer = nullptr;
    int32_t X0 = 0, X1 = 0;
    size_t Offset = 0;       // of its pixels in RowScratch::Spans (median: of its part of the tile)
    size_t K = 0;             // the layer's index in the job
    bool FromFrame = false;   // its rows are read from its frame (PlaceAndCompositeRow)
    Image* Trip = nullptr;    // and pass through this one-row image like the layer
};

// Layer pixels of one stretch of the row where the same layers are present.
struct ActiveLayer {
    const float* Pixels = nullptr;   // the layer's pixel at column X0
    int32_t X0 = 0;
};

struct Interval {
    int32_t A = 0, B = 0;   // [A, B)
};

struct RowScratch {
    std::vector<CoveringLayer> Covering;
    std::vector<CoveringLayer> Tile;   // the covering layers' parts of one median tile
    std::vector<ActiveLayer> Active;
    std::vector<float> Spans;
    std::vector<float> Out;
    std::vector<Interval> Open, Next;
    std::vector<int32_t> Bounds;
    std::vector<uint32_t> Keys[3];
    std::vector<uint32_t> Spare;
    std::vector<uint32_t> NaNBits;
    const StitchJob* Job = nullptr;
    std::vector<float> FrameRow;          // ReadPlacedSpan's working room
    std::vector<HostRef<Image>> Trips;    // one-row images like the layers read from frames
};

// Columns [x, x + n) of row y of a covering layer.
void ReadCovering(RowScratch& s, const CoveringLayer& c, int32_t x, int32_t y, int32_t n, float* rgba) {
    if (!c.FromFrame) {
        c.Layer->ReadSpan(x, y, n, rgba);
        return;
    }
    ReadPlacedSpan(*s.Job, c.K, x, y, n, s.FrameRow, rgba);
    if (c.Trip) {
        c.Trip->WriteSpan(x, 0, n, rgba);
        c.Trip->ReadSpan(x, 0, n, rgba);
    }
}

// Whether rows of `layer` can be read from its frame: as they are where the
// layer holds every float unchanged (four float channels), else through a
// one-row image like it, `trip`. False where the host makes no such image.
bool ReadableFromFrame(RowScratch& s, const Image& layer, Image*& trip) {
    trip = nullptr;
    if (layer.Format == Format_Float && layer.Channels == 4) return true;
    for (const HostRef<Image>& made : s.Trips)
        if (made->Width == layer.Width && made->Format == layer.Format && made->Channels == layer.Channels &&
            std::equal(layer.ChannelMap, layer.ChannelMap + 4, made->ChannelMap)) {
            trip = made.Get();
            return true;
        }
    HostRef<Image> made(NewImage({Tag<IMG_Like>(&layer), Tag<IMG_Height>(1)}));
    if (!made) return false;
    trip = made.Get();
    s.Trips.push_back(std::move(made));
    return true;
}

bool Opaque(const float* pixel) { return pixel[3] == 1.0f; }

// Asks the processor to start loading columns [a, b) of row y of a layer.
// The address is formed from the image's buffer group as the pixel accessor
// forms it; nothing is read through it.
void Prefetch(const Image& layer, int32_t y, int32_t a, int32_t b) {
#if defined(__GNUC__)
    const BufferGroup& g = layer.Group[0];
    if (a >= b || !g.Base || !g.RowOffsets) return;
    const uint8_t* row = g.Base + g.RowOffsets[y];
    for (int64_t at = int64_t(a) * g.PixelStride; at < int64_t(b) * g.PixelStride; at += 64) __builtin_prefetch(row + at);
#else
    (void)layer, (void)y, (void)a, (void)b;
#endif
}

// Unique pixels, layer by layer: a layer is read only over the columns still
// open (no opaque pixel yet), and the row is done once none is open.
void UniqueRow(Image& canvas, int32_t y, RowScratch& s) {
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (const CoveringLayer& c : s.Covering) {
        lo = std::min(lo, c.X0);
        hi = std::max(hi, c.X1);
    }
    s.Open.assign(1, Interval{lo, hi});
    s.Out.resize(size_t(canvas.Width) * 4);

    // Each layer is read only where no earlier one was opaque: small pieces
    // of many layers, each a wait for memory. Where the earlier layers'
    // footprints end is known, and the pieces past it are most likely to be
    // read: have them all loading at once.
    int32_t reachLo = INT32_MAX, reachHi = INT32_MIN;
    for (const CoveringLayer& c : s.Covering) {
        // A layer read from its frame has no row of its own to load.
        if (!c.FromFrame && reachLo > reachHi) {
            Prefetch(*c.Layer, y, c.X0, c.X1);
        } else if (!c.FromFrame) {
            Prefetch(*c.Layer, y, c.X0, std::min(c.X1, reachLo));
            Prefetch(*c.Layer, y, std::max(c.X0, reachHi), c.X1);
        }
        reachLo = std::min(reachLo, c.X0);
        reachHi = std::max(reachHi, c.X1);
    }

    for (const CoveringLayer& c : s.Covering) {
        if (s.Open.empty()) break;
        const auto first = std::partition_point(s.Open.begin(), s.Open.end(),
                                                [&](const Interval& open) { return open.B <= c.X0; });
        auto last = first;
        while (last != s.Open.end() && last->A < c.X1) ++last;
        if (first == last) continue;

        const int32_t from = std::max(first->A, c.X0);
        const int32_t to = std::min((last - 1)->B, c.X1);
        s.Spans.resize(size_t(to - from) * 4);
        ReadCovering(s, c, from, y, to - from, s.Spans.data());

        s.Next.assign(s.Open.begin(), first);
        for (auto open = first; open != last; ++open) {
            const int32_t end = std::min(open->B, c.X1);
            int32_t rest = open->A;   // the first column of the open stretch being built
            for (int32_t x = std::max(open->A, c.X0); x < end; ++x) {
                const float* pixel = &s.Spans[size_t(x - from) * 4];
                if (!Opaque(pixel)) continue;
                std::copy_n(pixel, 4, &s.Out[size_t(x) * 4]);
                if (rest < x) s.Next.push_back(Interval{rest, x});
                rest = x + 1;
            }
            if (rest < open->B) s.Next.push_back(Interval{rest, open->B});
        }
        s.Next.insert(s.Next.end(), last, s.Open.end());
        std::swap(s.Open, s.Next);
    }

    // Write what was decided, leave the open columns untouched.
    int32_t x = lo;
    for (const Interval& open : s.Open) {
        if (x < open.A) canvas.WriteSpan(x, y, open.A - x, &s.Out[size_t(x) * 4]);
        x = open.B;
    }
    if (x < hi) canvas.WriteSpan(x, y, hi - x, &s.Out[size_t(x) * 4]);
}

// The value at index k of the median order of channel `channel` at column
// x, known to be a NaN: the NaNs come after the numbers, ordered by bits.
float NthNaN(RowScratch& s, int32_t x, int channel, int k) {
    std::vector<uint32_t>& bits = s.NaNBits;
    bits.clear();
    int numbers = 0;
    for (const ActiveLayer& layer : s.Active) {
        const float* pixel = layer.Pixels + size_t(x - layer.X0) * 4;
        if (!Opaque(pixel)) continue;
        if (MedianKey(pixel[channel]) == MedianNaNKey)
            bits.push_back(std::bit_cast<uint32_t>(pixel[channel]));
        else
            ++numbers;
    }
    const auto nth = bits.begin() + (k - numbers);
    std::nth_element(bits.begin(), nth, bits.end());
    return std::bit_cast<float>(*nth);
}

// The key at index k of the ascending order of keys[0 .. n). Partitions
// without branches on the data (colour values are as good as random to a
// branch predictor) through `spare`, which has room for n keys.
uint32_t SelectKey(uint32_t* keys, uint32_t* spare, int n, int k) {
    int lo = 0, hi = n;
    while (hi - lo > 12) {
        const uint32_t a = keys[lo], b = keys[lo + (hi - lo) / 2], c = keys[hi - 1];
        const uint32_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        const int count = hi - lo;
        int less = 0, greater = 0;
        for (int i = lo; i < hi; ++i) {
            const uint32_t key = keys[i];
            spare[less] = key;
            less += key < pivot;
            spare[count - 1 - greater] = key;
            greater += key > pivot;
        }
        // The pivot is one of the keys, so every round drops at least one.
        if (k < lo + less) {
            std::copy_n(spare, less, keys + lo);
            hi = lo + less;
        } else if (k < hi - greater) {
            return pivot;
        } else {
            std::copy_n(spare + (count - greater), greater, keys + (hi - greater));
            lo = hi - greater;
        }
    }
    for (int i = lo + 1; i < hi; ++i) {
        const uint32_t key = keys[i];
        int j = i;
        for (; j > lo && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
        keys[j] = key;
    }
    return keys[k];
}

float MedianOf(RowScratch& s, int32_t x, int channel, int n) {
    uint32_t* keys = s.Keys[channel].data();
    const int k = n / 2;
    const uint32_t key = SelectKey(keys, s.Spare.data(), n, k);
    return key != MedianNaNKey ? MedianValue(key) : NthNaN(s, x, channel, k);
}

// The median pixel at column x, one channel at a time.
void ScalarMedian(RowScratch& s, int32_t x, float* out) {
    int n = 0;
    for (const ActiveLayer& layer : s.Active) {
        const float* pixel = layer.Pixels + size_t(x - layer.X0) * 4;
        if (!Opaque(pixel)) continue;
        s.Keys[0][size_t(n)] = MedianKey(pixel[0]);
        s.Keys[1][size_t(n)] = MedianKey(pixel[1]);
        s.Keys[2][size_t(n)] = MedianKey(pixel[2]);
        ++n;
    }
    if (n == 0) return;
    out[0] = MedianOf(s, x, 0, n);
    out[1] = MedianOf(s, x, 1, n);
    out[2] = MedianOf(s, x, 2, n);
    out[3] = 1.0f;
}

#if TESSELLON_SSE2
// Up to this many layers the median of a pixel's three channels is found
// all at once, one channel per lane, by a fixed network of compare-exchanges.
constexpr size_t MaxNetworkSize = 64;

// For each count n of keys, the compare-exchanges (i, j), i < j, that bring
// the key of index n / 2 to its place: Batcher's odd-even merge sort for the
// next power of two, less every compare-exchange with a position at or
// beyond n (those would only meet keys larger than all n) and every one on
// which the final key at n / 2 does not depend.
struct SelectionNetworks {
    std::vector<std::pair<uint8_t, uint8_t>> Pairs[MaxNetworkSize + 1];
    SelectionNetworks() {
        for (int n = 1; n <= int(MaxNetworkSize); ++n) {
            int size = 1;
            while (size < n) size <<= 1;
            std::vector<std::pair<uint8_t, uint8_t>> sort;
            for (int run = 1; run < size; run <<= 1)
                for (int k = run; k >= 1; k >>= 1)
                    for (int j = k % run; j + k < size; j += 2 * k)
                        for (int i = 0; i < std::min(k, size - j - k); ++i)
                            if ((i + j) / (2 * run) == (i + j + k) / (2 * run) && i + j + k < n)
                                sort.emplace_back(uint8_t(i + j), uint8_t(i + j + k));
            std::vector<bool> needed(size_t(n), false);
            needed[size_t(n / 2)] = true;
            std::vector<std::pair<uint8_t, uint8_t>>& select = Pairs[n];
            for (auto pair = sort.rbegin(); pair != sort.rend(); ++pair) {
                if (!needed[pair->first] && !needed[pair->second]) continue;
                needed[pair->first] = needed[pair->second] = true;
                select.push_back(*pair);
            }
            std::reverse(select.begin(), select.end());
        }
    }
};

const SelectionNetworks Networks;

// Signed keys whose order is the median order for numbers: negative floats
// get their magnitude bits flipped; every NaN becomes the largest key.
inline __m128i SignedKeys(const float* pixel) {
    const __m128i bits = _mm_castps_si128(_mm_loadu_ps(pixel));
    const __m128i magnitude = _mm_set1_epi32(0x7FFFFFFF);
    const __m128i key = _mm_xor_si128(bits, _mm_and_si128(_mm_srai_epi32(bits, 31), magnitude));
    const __m128i nan = _mm_cmpgt_epi32(_mm_and_si128(bits, magnitude), _mm_set1_epi32(0x7F800000));
    return _mm_or_si128(_mm_andnot_si128(nan, key), _mm_and_si128(nan, magnitude));
}

inline float FromSignedKey(int32_t key) {
    const uint32_t bits = uint32_t(key);
    return std::bit_cast<float>(key < 0 ? bits ^ 0x7FFFFFFFu : bits);
}

void NetworkMedian(RowScratch& s, int32_t x, float* out) {
    __m128i lanes[MaxNetworkSize];
    int n = 0;
    for (const ActiveLayer& layer : s.Active) {
        const float* pixel = layer.Pixels + size_t(x - layer.X0) * 4;
        if (!Opaque(pixel)) continue;
        lanes[n++] = SignedKeys(pixel);
    }
    if (n == 0) return;
    for (const auto& [i, j] : Networks.Pairs[n]) {
        const __m128i a = lanes[i], b = lanes[j];
        const __m128i swap = _mm_and_si128(_mm_xor_si128(a, b), _mm_cmpgt_epi32(a, b));
        lanes[i] = _mm_xor_si128(a, swap);
        lanes[j] = _mm_xor_si128(b, swap);
    }
    const int k = n / 2;
    alignas(16) int32_t keys[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(keys), lanes[k]);
    for (int c = 0; c < 3; ++c) out[c] = keys[c] == 0x7FFFFFFF ? NthNaN(s, x, c, k) : FromSignedKey(keys[c]);
    out[3] = 1.0f;
}
#endif

#if TESSELLON_AVX2
bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// SignedKeys for eight values of one channel.
__attribute__((target("avx2"))) inline __m256i SignedKeys8(__m256 values) {
    const __m256i bits = _mm256_castps_si256(values);
    const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    const __m256i key = _mm256_xor_si256(bits, _mm256_and_si256(_mm256_srai_epi32(bits, 31), magnitude));
    const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(bits, magnitude), _mm256_set1_epi32(0x7F800000));
    return _mm256_blendv_epi8(key, magnitude, nan);
}

// The medians of pixels x to x + 7, where every present layer is opaque at
// all eight: two whole pixels per vector, so the keys need no regrouping,
// through the same network as NetworkMedian (the alpha lanes go along, all
// equal). Returns false, having written nothing, when some layer is not
// opaque at one of the eight.
__attribute__((target("avx2"))) bool EightMedians(RowScratch& s, int32_t x, float* out) {
    const int n = int(s.Active.size());
    __m256i lanes[MaxNetworkSize][4];   // pixels 0-1, 2-3, 4-5, 6-7 of each layer
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int i = 0; i < n; ++i) {
        const float* p = s.Active[size_t(i)].Pixels + size_t(x - s.Active[size_t(i)].X0) * 4;
        __m256 notOpaque = _mm256_setzero_ps();
        for (int q = 0; q < 4; ++q) {
            const __m256 v = _mm256_loadu_ps(p + 8 * q);
            // Not equal or unordered: NaN alphas are not opaque either.
            notOpaque = _mm256_or_ps(notOpaque, _mm256_cmp_ps(v, one, _CMP_NEQ_UQ));
            lanes[i][q] = SignedKeys8(v);
        }
        if ((_mm256_movemask_ps(notOpaque) & 0x88) != 0) return false;
    }
    for (const auto& [i, j] : Networks.Pairs[n]) {
        for (int q = 0; q < 4; ++q) {
            const __m256i a = lanes[i][q], b = lanes[j][q];
            lanes[i][q] = _mm256_min_epi32(a, b);
            lanes[j][q] = _mm256_max_epi32(a, b);
        }
    }
    const int k = n / 2;
    alignas(32) int32_t keys[32];
    for (int q = 0; q < 4; ++q) _mm256_store_si256(reinterpret_cast<__m256i*>(keys + 8 * q), lanes[k][q]);
    for (int p = 0; p < 8; ++p) {
        for (int c = 0; c < 3; ++c) {
            const int32_t key = keys[p * 4 + c];
            out[p * 4 + c] = key == 0x7FFFFFFF ? NthNaN(s, x + p, c, k) : FromSignedKey(key);
        }
        out[p * 4 + 3] = 1.0f;
    }
    return true;
}
#endif

// Columns per tile of the median. The covering layers' pixels of one tile
// (at most 64 layers x 128 pixels, 128 KiB) stay in the cache while the
// medians are taken; a whole row of them would not.
constexpr int32_t TileColumns = 128;

// Median: the row goes tile by tile; in each, every covering layer is read
// once over its part of the tile, then the tile goes stretch by stretch,
// each with the fixed list of layers present.
void MedianRow(Image& canvas, int32_t y, RowScratch& s) {
    const int32_t width = canvas.Width;
    s.Out.assign(size_t(width) * 4, 0.0f);
    for (std::vector<uint32_t>& keys : s.Keys) keys.resize(s.Covering.size());
    s.Spare.resize(s.Covering.size());
    s.Spans.resize(s.Covering.size() * size_t(TileColumns) * 4);

    int32_t lo = INT32_MAX, hi = INT32_MIN;
    s.Bounds.clear();
    for (const CoveringLayer& c : s.Covering) {
        s.Bounds.push_back(c.X0);
        s.Bounds.push_back(c.X1);
        lo = std::min(lo, c.X0);
        hi = std::max(hi, c.X1);
    }
    std::sort(s.Bounds.begin(), s.Bounds.end());
    s.Bounds.erase(std::unique(s.Bounds.begin(), s.Bounds.end()), s.Bounds.end());

    for (int32_t t0 = lo; t0 < hi; t0 += TileColumns) {
        const int32_t t1 = std::min(hi, t0 + TileColumns);
        s.Tile.clear();
        size_t offset = 0;
        for (const CoveringLayer& c : s.Covering) {
            const int32_t a = std::max(c.X0, t0), b = std::min(c.X1, t1);
            if (a >= b) continue;
            ReadCovering(s, c, a, y, b - a, &s.Spans[offset]);
            s.Tile.push_back(CoveringLayer{c.Layer, a, b, offset, c.K, c.FromFrame, c.Trip});
            offset += size_t(b - a) * 4;
        }

        auto bound = std::upper_bound(s.Bounds.begin(), s.Bounds.end(), t0);
        for (int32_t begin = t0; begin < t1;) {
            const int32_t end = bound != s.Bounds.end() && *bound < t1 ? *bound++ : t1;
            s.Active.clear();
            for (const CoveringLayer& c : s.Tile)
                if (c.X0 <= begin && end <= c.X1) s.Active.push_back(ActiveLayer{&s.Spans[c.Offset], c.X0});
            if (!s.Active.empty()) {
#if TESSELLON_SSE2
                if (s.Active.size() <= MaxNetworkSize) {
                    int32_t x = begin;
#if TESSELLON_AVX2
                    if (HasAvx2())
                        for (; x + 8 <= end; x += 8)
                            if (!EightMedians(s, x, &s.Out[size_t(x) * 4]))
                                for (int32_t p = x; p < x + 8; ++p) NetworkMedian(s, p, &s.Out[size_t(p) * 4]);
#endif
                    for (; x < end; ++x) NetworkMedian(s, x, &s.Out[size_t(x) * 4]);
                } else
#endif
                {
                    for (int32_t x = begin; x < end; ++x) ScalarMedian(s, x, &s.Out[size_t(x) * 4]);
                }
            }
            begin = end;
        }
    }
    canvas.WriteSpan(0, y, width, s.Out.data());
}

// Row y of the canvas from the layers covering it; with `fromFrames`, the
// rows of unturned layers are placed too, read from their frames where they
// can be.
void Combine(const StitchJob& job, int32_t y, bool fromFrames) {
    Image* canvas = job.Canvas;
    if (!canvas || y < 0 || y >= canvas->Height) return;
    RowScratch s;
    s.Job = &job;
    const size_t count = std::min(job.Layers.size(), job.Footprints.size());
    for (size_t i = 0; i < count; ++i) {
        const LayerFootprint& f = job.Footprints[i];
        if (!(f.Y0 <= y && y < f.Y1 && f.X0 < f.X1)) continue;
        CoveringLayer c{job.Layers[i], f.X0, f.X1, 0, i};
        if (fromFrames && i < job.Sources.size() && job.Sources[i].Frame) {
            c.FromFrame = ReadableFromFrame(s, *job.Layers[i], c.Trip);
            if (!c.FromFrame) PlaceLayerRow(job, i, y);
        }
        s.Covering.push_back(c);
    }
    if (FilterMethodOf(job.Filter) == FilterMethod::Median)
        MedianRow(*canvas, y, s);
    else if (!s.Covering.empty())
        UniqueRow(*canvas, y, s);
}

}  // namespace

void CompositeRow(const StitchJob& job, int32_t y) { Combine(job, y, false); }

void PlaceAndCompositeRow(const StitchJob& job, int32_t y) { Combine(job, y, true); }
