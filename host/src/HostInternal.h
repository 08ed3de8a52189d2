// Shared between the HostSystem sources; not part of the SDK surface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "HostApp.h"
#include "HostSystem.h"

namespace hostimpl {

// Runs body(k) once for every k in [0, count) on the worker threads
// (HostApp::WorkerCount of them) and returns when all have returned. An
// exception of one call does not stop the others; the first one is rethrown
// after the last call has ended.
void RunChunks(int32_t count, const std::function<void(int32_t)>& body);

// Where Operator::SetProgress and the base NotifyChanged land.
void ReportProgress(Operator* op, float fraction);
void ReportNotify(Operator* op, Input* input, Parameter* param, double time, TagList* tags);

// Records a fetch of `input` at `time` when the host application logs them.
void LogFetch(const Link* input, double time);

// Tells the host application that NewImage made `image`.
void ReportImage(const Image* image);

// Passes the start and the end of a DoMultiProcess to the host application.
void ReportChunks(Operator* op, int32_t count, bool done);

// Adds one Image::Transform call of `seconds` to the totals.
void CountTransform(double seconds);

// Sets or clears the region of a region render on the calling thread: the
// rows that images made from `context` hold (HostApp::Render).
void SetRenderRegion(const void* context, int32_t first, int32_t end, bool active);

// Records why NewImage refused (a refusal of kind None clears it).
void SetImageRefusal(HostApp::ImageRefusal refusal);

// Passes a message box to the host application's handler; false when none
// is installed.
bool ShowMessageBox(const char* text, const char* caption, unsigned type, int& result);

}  // namespace hostimpl
