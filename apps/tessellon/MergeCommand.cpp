#include "MergeCommand.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Bands.h"
#include "HostApp.h"
#include "Messages.h"
#include "StitchPlan.h"

namespace tessellon {

namespace {

namespace fs = std::filesystem;

struct GivenBand {
    std::string Path;
    BandFileInfo Info;
};

std::string BandText(const BandFileInfo& info) { return std::to_string(info.K) + "/" + std::to_string(info.N); }

std::string RowsText(int32_t top, int32_t end) {
    return "rows " + std::to_string(top) + " to " + std::to_string(end - 1);
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    const bool same = fs::equivalent(a, b, error);
    return !error && same;
}

// Every band of one shot and canvas, each once, all of one split, none
// missing; in band order.
std::vector<GivenBand> CheckBands(const MergeSettings& settings) {
    std::vector<GivenBand> bands;
    for (const std::string& path : settings.Bands) {
        for (const GivenBand& earlier : bands)
            if (SameFile(earlier.Path, path))
                BadInput(Quoted(path) + " is given twice" +
                         (earlier.Path == path ? std::string() : " (as " + Quoted(earlier.Path) + ")"));
        if (fs::exists(settings.Output) && SameFile(settings.Output, path))
            BadInput("the output " + Quoted(settings.Output) + " is one of the bands");
        bands.push_back(GivenBand{path, ProbeBandFile(path)});
    }
    const GivenBand& first = bands.front();
    for (const GivenBand& band : bands) {
        const BandFileInfo& a = first.Info;
        const BandFileInfo& b = band.Info;
        if (a.Shot != b.Shot || a.CanvasWidth != b.CanvasWidth || a.CanvasHeight != b.CanvasHeight ||
            a.Origin != b.Origin || a.Format != b.Format || a.ColorSpace != b.ColorSpace)
            BadInput(Quoted(first.Path) + " and " + Quoted(band.Path) + " are bands of different shots or canvases (" +
                     "shot " + a.Shot + ", canvas " + std::to_string(a.CanvasWidth) + " x " +
                     std::to_string(a.CanvasHeight) + " against shot " + b.Shot + ", canvas " +
                     std::to_string(b.CanvasWidth) + " x " + std::to_string(b.CanvasHeight) + ")");
        const BandRows rows = BandOf(b.CanvasHeight, b.K, b.N);
        if (b.N > b.CanvasHeight || rows.Top != b.Top || rows.End != b.End)
            BadInput(Quoted(band.Path) + " says it is band " + BandText(b) + " but holds " + RowsText(b.Top, b.End) +
                     " of the canvas's " + std::to_string(b.CanvasHeight));
    }
    for (size_t i = 0; i < bands.size(); ++i)
        for (size_t j = i + 1; j < bands.size(); ++j) {
            const BandFileInfo& a = bands[i].Info;
            const BandFileInfo& b = bands[j].Info;
            if (a.K == b.K && a.N == b.N)
                BadInput(Quoted(bands[i].Path) + " and " + Quoted(bands[j].Path) + " are both band " + BandText(a));
            if (std::max(a.Top, b.Top) < std::min(a.End, b.End))
                BadInput(Quoted(bands[i].Path) + " (band " + BandText(a) + ", " + RowsText(a.Top, a.End) + ") and " +
                         Quoted(bands[j].Path) + " (band " + BandText(b) + ", " + RowsText(b.Top, b.End) +
                         ") overlap");
        }
    std::sort(bands.begin(), bands.end(), [](const GivenBand& a, const GivenBand& b) { return a.Info.Top < b.Info.Top; });
    std::string missing;
    int32_t row = 0;
    const auto missed = [&](int32_t end) {
        if (row >= end) return;
        const int n = bands.front().Info.N;
        std::string named;
        for (int k = 0; k < n; ++k) {
            const BandRows rows = BandOf(first.Info.CanvasHeight, k, n);
            if (rows.Top >= row && rows.End <= end && rows.Count() > 0)
                named += (named.empty() ? "" : ", ") + std::to_string(k) + "/" + std::to_string(n);
        }
        missing += (missing.empty() ? "" : ", ") + (named.empty() ? "holding " + RowsText(row, end) : named);
    };
    for (const GivenBand& band : bands) {
        missed(band.Info.Top);
        row = band.Info.End;
    }
    missed(first.Info.CanvasHeight);
    if (!missing.empty()) {
        std::string given;
        for (const GivenBand& band : bands) given += (given.empty() ? "" : ", ") + Quoted(band.Path) + " " + BandText(band.Info);
        BadInput("missing band" + std::string(missing.find(", ") == std::string::npos ? " " : "s ") + missing +
                 " of the canvas; given: " + given);
    }
    return bands;
}

}  // namespace

void RunMerge(const MergeSettings& settings) {
    if (settings.Bands.empty()) BadInput("no band files given");
    CheckOutput(settings.Output);
    const std::vector<GivenBand> bands = CheckBands(settings);
    const BandFileInfo& canvas = bands.front().Info;
    WriteOptions write = settings.Write;
    write.ColorSpace = canvas.ColorSpace;
    CheckWriteOptions(settings.Output, write);

    HostRef<Image> picture(NewImage({
        Tag<IMG_Width>(canvas.CanvasWidth),
        Tag<IMG_Height>(canvas.CanvasHeight),
        Tag<IMG_Channel>(StoredChannels[0]),
        Tag<IMG_Channel>(StoredChannels[1]),
        Tag<IMG_Channel>(StoredChannels[2]),
        Tag<IMG_Channel>(StoredChannels[3]),
        Tag<IMG_Format>(canvas.Format),
    }));
    if (!picture)
        BadInput("the host refused the canvas of " + std::to_string(canvas.CanvasWidth) + " x " +
                 std::to_string(canvas.CanvasHeight) + " pixels: " + HostApp::LastImageRefusal().Text);
    for (const GivenBand& band : bands) ReadBandFile(band.Path, band.Info, *picture);
    WriteImageFile(*picture, settings.Output, write);
    if (!settings.Quiet) {
        std::printf("tessellon: wrote %s: %d x %d from %zu bands\n", settings.Output.c_str(), canvas.CanvasWidth,
                    canvas.CanvasHeight, bands.size());
        std::fflush(stdout);
    }
}

}  // namespace tessellon
