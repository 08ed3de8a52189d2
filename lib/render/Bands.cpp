#include "Bands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "Geometry.h"

namespace tessellon {

namespace {

// The tool's inputs as RenderStitch keys them: the track's positions and
// angles, or the inputs' defaults without a track.
class ToolValues {
public:
    explicit ToolValues(const StitchPlan& plan) {
        const Track* track = plan.TrackFile ? &*plan.TrackFile : nullptr;
        if (!track || track->Keys.empty()) return;
        for (const TrackKey& key : track->Keys) {
            positions_.push_back(HostApp::Key{double(key.Frame), key.X, key.Y});
            if (track->HasAngle) angles_.push_back(HostApp::Key{double(key.Frame), key.Angle, 0.0});
        }
    }
    HostApp::KeyedValue Position(double frame) const {
        return positions_.empty() ? HostApp::KeyedValue{0.5, 0.5, 0, 0} : HostApp::ValueAt(positions_, frame);
    }
    double Angle(double frame) const { return angles_.empty() ? 0.0 : HostApp::ValueAt(angles_, frame).X; }

private:
    std::vector<HostApp::Key> positions_, angles_;
};

// The frame rows whose layer rows (RowTarget, clamped onto the canvas) fall
// in `band`, a row to spare on each side. Targets never decrease with the
// frame row, so they are one run.
HostApp::RowRange PlacedRows(int32_t height, double dy, const CanvasOrigin& origin, int32_t canvasHeight,
                             const HostApp::RowRange& band) {
    int32_t first = -1, last = -1;
    for (int32_t y = 0; y < height; ++y) {
        const int32_t target = RowTarget(y, dy, origin, canvasHeight);
        if (target < band.First) continue;
        if (target >= band.End) break;
        if (first < 0) first = y;
        last = y;
    }
    if (first < 0) return HostApp::RowRange{};
    return HostApp::RowRange{std::max(0, first - 1), std::min(height, last + 2)};
}

double PixelBytes(int32_t format) { return 4.0 * double(std::max(1, BytesPerChannel(format))); }

// What an image holding `rows` of its `height` rows keeps: those rows and,
// when they are not all, the spare row.
double HeldBytes(int32_t width, int32_t height, int32_t format, int32_t rows) {
    const int32_t stored = rows == height ? height : rows + 1;
    return double(width) * PixelBytes(format) * double(stored) + double(height) * double(sizeof(int64_t));
}

class Hash {
public:
    void Add(const void* data, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) {
            value_ ^= bytes[i];
            value_ *= 0x100000001b3ull;
        }
    }
    void Add(const std::string& text) {
        Add(uint64_t(text.size()));
        Add(text.data(), text.size());
    }
    template <class T>
    void Add(T value) {
        static_assert(std::is_arithmetic_v<T>);
        Add(&value, sizeof value);
    }
    std::string Text() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016" PRIx64, value_);
        return text;
    }

private:
    uint64_t value_ = 0xcbf29ce484222325ull;
};

}  // namespace

BandRows BandOf(int32_t height, int k, int n) {
    return BandRows{int32_t(int64_t(k) * height / n), int32_t(int64_t(k + 1) * height / n)};
}

HostApp::RowRange HostRowsOf(const BandRows& band, int32_t height) {
    return HostApp::RowRange{height - band.End, height - band.Top};
}

BandPlan PlanBand(const StitchPlan& plan, int k, int n) {
    BandPlan band;
    band.K = k;
    band.N = n;
    const CanvasGeometry& canvas = plan.Canvas;
    band.Rows = BandOf(canvas.Height, k, n);
    const HostApp::RowRange rows = HostRowsOf(band.Rows, canvas.Height);
    const int32_t format = plan.Start().HostFormat;
    band.Memory.Canvas = HeldBytes(canvas.Width, canvas.Height, format, rows.Count());

    const ToolValues values(plan);
    const HostApp::KeyedValue reference = values.Position(double(plan.StartFrame));
    const double firstAngle = values.Angle(double(plan.Frames.front().Frame));
    for (size_t i = 0; i < plan.Frames.size(); ++i) {
        const PlannedFrame& frame = plan.Frames[i];
        const int32_t w = frame.Info.Width, h = frame.Info.Height;
        BandFrame needs{frame.Frame, frame.Path, rows, rows};
        if (plan.Layered) {
            const HostApp::KeyedValue at = values.Position(double(frame.Frame));
            const double dy = LayerShift(at.Y, reference.Y, h);
            needs.LikeRows = needs.Rows = PlacedRows(h, dy, canvas.Origin, canvas.Height, rows);
            const double turn = i > 0 ? TurnOf(values.Angle(double(frame.Frame)), firstAngle) : 0.0;
            if (turn > 0.0) {
                needs.Rows = HostApp::TurnSourceRows(w, h, turn, 0.5, 0.5, needs.LikeRows);
                band.Memory.Turned =
                    std::max(band.Memory.Turned, HeldBytes(w, h, frame.Info.HostFormat, needs.LikeRows.Count()));
            }
            // Only a turned frame is written to its layer; the rows of the
            // others are read from the frames as they are combined.
            const int32_t written = turn > 0.0 ? std::min(needs.LikeRows.Count(), rows.Count()) : 0;
            band.Memory.Layers += HostApp::ResidentBytes(canvas.Width, rows.Count() + 1, format, w, written) +
                                  double(canvas.Height - rows.Count()) * double(sizeof(int64_t));
        }
        band.Memory.Frames += HeldBytes(w, h, frame.Info.HostFormat, needs.Rows.Count());
        // The rows the frame's read keeps for the next band.
        if (k + 1 < n) band.Memory.Frames += double(w) * PixelBytes(frame.Info.HostFormat) * double(frame.Info.CarriedRows);
        band.Frames.push_back(std::move(needs));
    }
    return band;
}

double CarriedBytes(const StitchPlan& plan) {
    double bytes = 0.0;
    for (const PlannedFrame& frame : plan.Frames)
        bytes += double(frame.Info.Width) * PixelBytes(frame.Info.HostFormat) * double(frame.Info.CarriedRows);
    return bytes;
}

std::vector<double> FrameTurns(const StitchPlan& plan) {
    const ToolValues values(plan);
    std::vector<double> turns(plan.Frames.size(), 0.0);
    if (plan.Frames.empty()) return turns;
    const double firstAngle = values.Angle(double(plan.Frames.front().Frame));
    for (size_t i = 1; i < plan.Frames.size(); ++i)
        turns[i] = TurnOf(values.Angle(double(plan.Frames[i].Frame)), firstAngle);
    return turns;
}

int BandsWithin(const StitchPlan& plan, double budget) {
    const int32_t height = plan.Canvas.Height;
    const auto fits = [&](int n) {
        for (int k = 0; k < n; ++k)
            if (PlanBand(plan, k, n).Memory.Total() > budget) return false;
        return true;
    };
    // Bands overlap in the frame rows they need, so the estimate's share is
    // only a first guess; each guess that fails grows by half.
    int n = std::clamp(int(plan.Memory.Total() / std::max(budget, 1.0)) + 1, 1, std::max(1, height));
    while (!fits(n)) {
        if (n >= height) return 0;
        n = std::min(height, std::max(n + 1, n + n / 2));
    }
    return n;
}

std::string ShotIdentity(const StitchPlan& plan, const StitchSettings& settings) {
    Hash hash;
    hash.Add(plan.Sequence.Pattern);
    hash.Add(plan.StartValue);
    hash.Add(plan.EndValue);
    hash.Add(settings.Method);
    const ImageReadChoice& choice = settings.Limits.Frames.Choice;
    hash.Add(choice.Layer + "\n" + choice.View + "\n" + choice.Part + "\n" + choice.ColorSpace);
    hash.Add(int(choice.DataWindow));
    for (const PlannedFrame& frame : plan.Frames) {
        hash.Add(frame.Frame);
        hash.Add(frame.Path);
        hash.Add(frame.Info.Width);
        hash.Add(frame.Info.Height);
        hash.Add(frame.Info.HostFormat);
    }
    if (plan.TrackFile) {
        hash.Add(int(plan.TrackFile->HasAngle));
        for (const TrackKey& key : plan.TrackFile->Keys) {
            hash.Add(key.Frame);
            hash.Add(key.X);
            hash.Add(key.Y);
            hash.Add(key.Angle);
        }
    }
    hash.Add(plan.Canvas.Width);
    hash.Add(plan.Canvas.Height);
    hash.Add(plan.Canvas.Origin.x);
    hash.Add(plan.Canvas.Origin.y);
    return hash.Text();
}

}  // namespace tessellon
