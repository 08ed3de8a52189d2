#include "PlanCommand.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "Bands.h"
#include "Messages.h"
#include "System.h"

namespace tessellon {

namespace {

// Rows of a frame as its file counts them, from the top: [top, end).
nlohmann::json FileRows(const HostApp::RowRange& rows, int32_t height) {
    return nlohmann::json::array({height - rows.End, height - rows.First});
}

nlohmann::json BandJson(const StitchPlan& plan, const BandPlan& band) {
    nlohmann::json frames = nlohmann::json::array();
    for (size_t i = 0; i < band.Frames.size(); ++i) {
        const BandFrame& frame = band.Frames[i];
        if (frame.Rows.Count() == 0) continue;
        frames.push_back({{"frame", frame.Frame},
                          {"path", frame.Path},
                          {"rows", FileRows(frame.Rows, plan.Frames[i].Info.Height)}});
    }
    return {{"band", band.K},
            {"of", band.N},
            {"rows", nlohmann::json::array({band.Rows.Top, band.Rows.End})},
            {"memory_bytes", uint64_t(band.Memory.Total())},
            {"frames", frames}};
}

}  // namespace

void RunPlan(const StitchSettings& settings, int bands) {
    StitchSettings planned = settings;
    planned.PlanOnly = true;
    planned.Outputs.clear();
    const StitchPlan plan = MakeStitchPlan(planned, PhysicalMemoryBytes());
    if (bands < 1 || bands > plan.Canvas.Height)
        BadInput("--bands " + std::to_string(bands) + ": the canvas has " + std::to_string(plan.Canvas.Height) +
                 " rows, so 1 to " + std::to_string(plan.Canvas.Height) + " bands");
    for (const std::string& warning : plan.Warnings) PrintWarning(warning);
    nlohmann::json out = {
        {"canvas",
         {{"width", plan.Canvas.Width},
          {"height", plan.Canvas.Height},
          {"origin", nlohmann::json::array({plan.Canvas.Origin.x, plan.Canvas.Origin.y})}}},
        {"rows_counted_from", "top"},
        {"one_pass_memory_bytes", uint64_t(plan.Memory.Total())},
        {"memory_budget_bytes", plan.Budget},
        {"bands", nlohmann::json::array()},
    };
    for (int k = 0; k < bands; ++k) out["bands"].push_back(BandJson(plan, PlanBand(plan, k, bands)));
    std::printf("%s\n", out.dump(2).c_str());
    std::fflush(stdout);
}

}  // namespace tessellon
