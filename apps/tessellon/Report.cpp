#include "Report.h"

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "Messages.h"
#include "Sequence.h"

namespace tessellon {

namespace {

nlohmann::json BadFrames(const std::vector<BadFrame>& frames) {
    nlohmann::json list = nlohmann::json::array();
    for (const BadFrame& bad : frames) list.push_back({{"frame", bad.Frame}, {"file", bad.Path}, {"reason", bad.Reason}});
    return list;
}

}  // namespace

Report::Report(const std::string& path) : path_(path) {
    if (!path.empty()) pending_ = std::make_unique<PendingFile>(path, ".json");
}

void Report::Warn(const std::string& what) {
    PrintWarning(what);
    warnings_.push_back(what);
}

void Report::Write(const StitchSettings& settings, const StitchPlan& plan, const RenderOutcome& outcome,
                   const PhaseTimes& times, double peakBytes) const {
    if (!pending_) return;
    std::vector<int> used;
    for (const PlannedFrame& frame : plan.Frames) {
        const bool unreadable = std::any_of(outcome.Unreadable.begin(), outcome.Unreadable.end(),
                                            [&](const BadFrame& bad) { return bad.Frame == frame.Frame; });
        if (!unreadable) used.push_back(frame.Frame);
    }
    std::vector<BadFrame> skipped = plan.Skipped;
    skipped.insert(skipped.end(), outcome.Unreadable.begin(), outcome.Unreadable.end());
    const RenderCounts& counts = outcome.Counts;
    const nlohmann::json report = {
        {"frames",
         {{"pattern", settings.Frames},
          {"first", plan.First},
          {"last", plan.Last},
          {"start", plan.StartFrame},
          {"used", FrameListText(used)},
          {"used_count", counts.Frames},
          {"without_file", plan.Missing},
          {"skipped", BadFrames(skipped)}}},
        {"track", settings.TrackPath},
        {"method", settings.Method == FilterMedian ? "median" : "unique"},
        {"outputs", settings.Outputs},
        {"canvas", {{"width", outcome.Picture->Width}, {"height", outcome.Picture->Height}}},
        {"seconds",
         {{"reading", counts.ReadSeconds},
          {"decoding", counts.DecodeSeconds},
          {"gathering", times.Gathering},
          {"placement", times.Placement},
          {"compositing", times.Compositing},
          {"releasing", times.Releasing},
          {"writing", times.Writing},
          {"total", times.Total}}},
        {"bytes", {{"files", counts.FileBytes}, {"read", counts.BytesRead}}},
        {"memory",
         {{"peak_resident", peakBytes}, {"estimated", plan.Memory.Total()}, {"budget", double(plan.Budget)}}},
        {"warnings", warnings_},
    };
    {
        std::ofstream out(pending_->Path());
        out << report.dump(2) << '\n';
        if (!out.flush()) throw BadFile(path_, "cannot write the report in '" + pending_->Directory().string() + "'");
    }
    pending_->Commit();
}

}  // namespace tessellon
