// --report FILE.json: what a stitch did, for render-farm tools and for the
// record: the frames used and passed over (with the reasons), the canvas,
// the phase times, every warning printed, and the memory it took.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PendingFile.h"
#include "Progress.h"
#include "StitchRender.h"

namespace tessellon {

class Report {
public:
    // An empty path asks for no report. Checks the folder at once, so that a
    // report that cannot be written stops the run before any pixel is read.
    explicit Report(const std::string& path);

    // Prints one warning and keeps it for the report.
    void Warn(const std::string& what);

    // Writes the report beside its name and renames it into place. Throws
    // Error naming the file.
    void Write(const StitchSettings& settings, const StitchPlan& plan, const RenderOutcome& outcome,
               const PhaseTimes& times, double peakBytes) const;

private:
    std::string path_;
    std::unique_ptr<PendingFile> pending_;
    std::vector<std::string> warnings_;
};

}  // namespace tessellon
