#include "ReferenceStitch.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

struct Sample {
    Image* Frame;
    Point* Position;
    double Angle;
};

Parameter* Attrs(Input* input, double time) {
    return input->GetSourceAttrs(time, nullptr, REQF_SourceValue, REQF_SourceValue, TagList());
}

struct Held {
    Image* StartImage = nullptr;
    Point* Reference = nullptr;
    std::vector<Sample> Samples;
    std::vector<Image*> Layers;

    ~Held() {
        for (size_t i = 0; i < Samples.size(); ++i) {
            Samples[i].Frame->Recycle();
            if (i < Layers.size()) Layers[i]->Recycle();
            Samples[i].Position->Recycle();
        }
        if (StartImage) StartImage->Recycle();
        if (Reference) Reference->Recycle();
    }
};

int32_t Clamp(int32_t value, int32_t size) {
    if (value < 0) return 0;
    if (value >= size) return size - 1;
    return value;
}

}  // namespace

bool ReferenceBefore(float a, float b) {
    const bool nanA = std::isnan(a), nanB = std::isnan(b);
    if (nanA || nanB) {
        if (!nanA) return true;
        if (!nanB) return false;
        return std::bit_cast<uint32_t>(a) < std::bit_cast<uint32_t>(b);
    }
    if (a == b) return std::signbit(a) && !std::signbit(b);
    return a < b;
}

ReferenceResult ReferenceStitch(const FrameInputs& inputs, int32_t start, int32_t end, float filter,
                                void* imageContext) {
    ReferenceResult result;
    Held held;
    held.StartImage = static_cast<Image*>(inputs.Frames->GetSource(start));
    held.Reference = static_cast<Point*>(inputs.TrackData->GetSource(start));
    if (!held.Reference) held.Reference = Point::New(0.5, 0.5);
    const Point& reference = *held.Reference;

    // Gathering.
    if (start < end) {
        for (int32_t t = start; t <= end; ++t) {
            result.Progress.push_back(float(t - start) / float(end - start));
            Parameter* image = inputs.Frames->GetSource(t);
            Parameter* position = Attrs(inputs.TrackData, t);
            if (!position) position = Point::New(0.5, 0.5);
            Parameter* angleParam = Attrs(inputs.Angle, t);
            double angle = 0.0;
            if (angleParam) {
                angle = static_cast<Number*>(angleParam)->Value;
                angleParam->Recycle();
            }
            Point* point = static_cast<Point*>(position);
            if (image && std::isfinite(point->X) && std::isfinite(point->Y)) {
                held.Samples.push_back(Sample{static_cast<Image*>(image), point, angle});
            } else {
                if (image) image->Recycle();
                point->Recycle();
            }
        }
    }

    // Canvas.
    if (!std::isfinite(reference.X) || !std::isfinite(reference.Y)) return result;
    double lx = 0, hx = 0, ly = 0, hy = 0;
    for (const Sample& s : held.Samples) {
        if (reference.X - s.Position->X > lx) lx = reference.X - s.Position->X;
        if (s.Position->X - reference.X > hx) hx = s.Position->X - reference.X;
        if (reference.Y - s.Position->Y > ly) ly = reference.Y - s.Position->Y;
        if (s.Position->Y - reference.Y > hy) hy = s.Position->Y - reference.Y;
    }
    const double widthD = held.StartImage->Width * (lx + hx + 1);
    const double heightD = held.StartImage->Height * (ly + hy + 1);
    if (!(widthD < 2147483648.0) || !(heightD < 2147483648.0)) return result;
    const int32_t width = int32_t(widthD), height = int32_t(heightD);
    Image* canvas = NewImage({
        Tag<IMG_Context>(imageContext),
        Tag<IMG_Width>(width),
        Tag<IMG_Height>(height),
        Tag<IMG_Channel>(2),
        Tag<IMG_Channel>(1),
        Tag<IMG_Channel>(0),
        Tag<IMG_Channel>(3),
        Tag<IMG_Format>(held.StartImage->Format),
    });
    if (!canvas) return result;
    canvas->Fill(0, 0, 0, 0);
    const double originX = held.StartImage->Width * lx;
    const double originY = held.StartImage->Height * ly;

    // Placement, one pixel at a time, x outer and y inner.
    const size_t n = held.Samples.size();
    for (size_t k = 0; k < n; ++k) {
        result.Progress.push_back(float(double(k) / double(n)));
        const Sample& s = held.Samples[k];
        Image* layer = NewImage({Tag<IMG_Like>(canvas)});
        if (!layer) {
            canvas->Recycle();
            return result;
        }
        held.Layers.push_back(layer);
        Image* placed = s.Frame;
        Image* rotated = nullptr;
        if (k > 0) {
            double a = s.Angle - held.Samples[0].Angle;
            if (a < 0) a += 360;
            if (a > 0) {
                rotated = NewImage({Tag<IMG_Like>(s.Frame)});
                if (!rotated) {
                    canvas->Recycle();
                    return result;
                }
                s.Frame->Transform(rotated, {Tag<XF_Angle>(a), Tag<XF_CentreX>(0.5), Tag<XF_CentreY>(0.5),
                                             Tag<XF_Filter>(0)});
                placed = rotated;
            }
        }
        const int32_t w = placed->Width, h = placed->Height;
        const int32_t dx = int32_t(std::trunc((s.Position->X - reference.X) * w));
        const int32_t dy = int32_t(std::trunc((s.Position->Y - reference.Y) * h));
        layer->Fill(0, 0, 0, 0);
        PixelAccessor source(placed), target(layer);
        PixelRecord pixel{};
        for (int32_t x = 0; x < w; ++x)
            for (int32_t y = 0; y < h; ++y) {
                source.SetPosition(x, y);
                source.ReadPixel(pixel);
                const int32_t tx = Clamp(int32_t(std::trunc(dx + originX + x)), width);
                const int32_t ty = Clamp(int32_t(std::trunc(y + originY + dy)), height);
                target.SetPosition(tx, ty);
                target.WritePixel(pixel);
            }
        if (rotated) rotated->Recycle();
    }

    // Compositing, every layer read at every pixel.
    const bool median = filter == 1.0f;
    PixelAccessor out(canvas);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            bool written = false;
            std::vector<float> lists[3];
            for (Image* layer : held.Layers) {
                PixelAccessor in(layer);
                in.SetPosition(x, y);
                PixelRecord p{};
                in.ReadPixel(p);
                if (p.Chan[3] != 1.0f) continue;
                if (median) {
                    for (int c = 0; c < 3; ++c) lists[c].push_back(p.Chan[c]);
                } else if (!written) {
                    out.SetPosition(x, y);
                    out.WritePixel(p);
                    written = true;
                }
            }
            if (!median) continue;
            PixelRecord o{};
            const size_t count = lists[0].size();
            if (count > 0) {
                for (int c = 0; c < 3; ++c) {
                    std::stable_sort(lists[c].begin(), lists[c].end(), ReferenceBefore);
                    o.Chan[c] = lists[c][count / 2];
                }
                o.Chan[3] = 1.0f;
            }
            out.SetPosition(x, y);
            out.WritePixel(o);
        }

    result.Canvas = canvas;
    return result;
}
