// The Tessellon tool as the host sees it: a threaded operator that declares
// its inputs, answers the About button, and turns each render request into
// one run of the stitching engine.
#pragma once

#include <cstdint>

#include "HostSystem.h"
#include "StitchJob.h"

class StitchOperator : public ThreadedOperator {
public:
    // Declares the inputs "FilterMethod", "StartFrame", "EndFrame",
    // "TrackData", "Angle", "Input", the output "Output" and the button
    // "About", in that order, after passing the arguments to the base.
    StitchOperator(const Registry* registry, const ScriptVal& table, const TagList& tags);
    ~StitchOperator() override;

    // Renders the stitched image of the frame range for `request`. Whatever
    // frame the request is for, the same frames are read. Every host object
    // fetched or made is given back or handed to the request before it
    // returns, also when a chunk throws (the exception then passes on).
    void Process(Request* request) override;

    // Shows the About box for a press of the About button (a value of 0.5 or
    // more), then always passes the notification to the base unchanged.
    void NotifyChanged(Input* input, Parameter* param, double time, TagList* tags) override;

    // Composites canvas row `chunk` of the running request.
    void ProcessChunk(Request* request, int32_t chunk) override;

    // The steps of Process up to the result handed to the request; what the
    // job holds afterwards is given back by Process.
    void Render(Request* request);

    // Handles as the host returned them, set once by the constructor.
    Input* InStartFrame = nullptr;
    Input* InEndFrame = nullptr;
    Input* InTrackData = nullptr;
    Input* InFilterMethod = nullptr;
    Input* InAngle = nullptr;
    Input* InAbout = nullptr;
    Input* InImage = nullptr;
    Output* OutImage = nullptr;
    // The working set of the running request; empty between requests.
    StitchJob CurrentJob;
};
