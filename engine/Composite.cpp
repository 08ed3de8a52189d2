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
// matters, once per row. Each thread keeps its own buffers across calls; a
// row's result depends on nothing but the job, so never on the threads.
#include <algorithm>
#include <bit>
#include <climits>
#include <vector>

#include "MedianOrder.h"
#include "StitchJob.h"

namespace {

struct CoveringLayer {
    const Image* Layer = nullptr;
    int32_t X0 = 0, X1 = 0;
    size_t Offset = 0;   // of its pixels in RowScratch::Spans
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
    std::vector<ActiveLayer> Active;
    std::vector<float> Spans;
    std::vector<float> Out;
    std::vector<Interval> Open, Next;
    std::vector<int32_t> Bounds;
    std::vector<uint32_t> Keys[3];
    std::vector<uint32_t> Spare;
    std::vector<uint32_t> NaNBits;
};

thread_local RowScratch Scratch;

bool Opaque(const float* pixel) { return pixel[3] == 1.0f; }

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
        c.Layer->ReadSpan(from, y, to - from, s.Spans.data());

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

// Median: every covering layer is read once over its footprint, then the
// row goes stretch by stretch, each with the fixed list of layers present.
void MedianRow(Image& canvas, int32_t y, RowScratch& s) {
    const int32_t width = canvas.Width;
    size_t total = 0;
    for (CoveringLayer& c : s.Covering) {
        c.Offset = total;
        total += size_t(c.X1 - c.X0) * 4;
    }
    s.Spans.resize(total);
    for (const CoveringLayer& c : s.Covering) c.Layer->ReadSpan(c.X0, y, c.X1 - c.X0, &s.Spans[c.Offset]);
    s.Out.assign(size_t(width) * 4, 0.0f);
    for (std::vector<uint32_t>& keys : s.Keys) keys.resize(s.Covering.size());
    s.Spare.resize(s.Covering.size());

    s.Bounds.clear();
    for (const CoveringLayer& c : s.Covering) {
        s.Bounds.push_back(c.X0);
        s.Bounds.push_back(c.X1);
    }
    std::sort(s.Bounds.begin(), s.Bounds.end());
    s.Bounds.erase(std::unique(s.Bounds.begin(), s.Bounds.end()), s.Bounds.end());

    for (size_t b = 0; b + 1 < s.Bounds.size(); ++b) {
        const int32_t begin = s.Bounds[b], end = s.Bounds[b + 1];
        s.Active.clear();
        for (const CoveringLayer& c : s.Covering)
            if (c.X0 <= begin && end <= c.X1) s.Active.push_back(ActiveLayer{&s.Spans[c.Offset], c.X0});
        if (s.Active.empty()) continue;

        for (int32_t x = begin; x < end; ++x) {
            int n = 0;
            for (const ActiveLayer& layer : s.Active) {
                const float* pixel = layer.Pixels + size_t(x - layer.X0) * 4;
                if (!Opaque(pixel)) continue;
                s.Keys[0][size_t(n)] = MedianKey(pixel[0]);
                s.Keys[1][size_t(n)] = MedianKey(pixel[1]);
                s.Keys[2][size_t(n)] = MedianKey(pixel[2]);
                ++n;
            }
            if (n == 0) continue;
            float* out = &s.Out[size_t(x) * 4];
            out[0] = MedianOf(s, x, 0, n);
            out[1] = MedianOf(s, x, 1, n);
            out[2] = MedianOf(s, x, 2, n);
            out[3] = 1.0f;
        }
    }
    canvas.WriteSpan(0, y, width, s.Out.data());
}

}  // namespace

void CompositeRow(const StitchJob& job, int32_t y) {
    Image* canvas = job.Canvas;
    if (!canvas || y < 0 || y >= canvas->Height) return;
    RowScratch& s = Scratch;
    s.Covering.clear();
    const size_t count = std::min(job.Layers.size(), job.Footprints.size());
    for (size_t i = 0; i < count; ++i) {
        const LayerFootprint& f = job.Footprints[i];
        if (f.Y0 <= y && y < f.Y1 && f.X0 < f.X1) s.Covering.push_back(CoveringLayer{job.Layers[i], f.X0, f.X1, 0});
    }
    if (FilterMethodOf(job.Filter) == FilterMethod::Median)
        MedianRow(*canvas, y, s);
    else if (!s.Covering.empty())
        UniqueRow(*canvas, y, s);
}
