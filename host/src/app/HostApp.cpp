// The host application's settings, observers and the render entry point.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>

#include "HostInternal.h"

namespace {

std::atomic<uint64_t> imageByteLimit{uint64_t(8) << 30};
// Kept trivially destructible: the runtimes of some systems run a
// thread-local's destructor at thread exit after its storage has gone.
struct StoredRefusal {
    HostApp::RefusalKind Kind = HostApp::RefusalKind::None;
    int64_t Width = 0, Height = 0;
    uint64_t Bytes = 0, Limit = 0;
    char Text[256] = {};
};
thread_local StoredRefusal imageRefusal;

struct Handlers {
    std::mutex mutex;
    HostApp::ProgressHandler progress;
    HostApp::NotifyHandler notify;
    HostApp::MessageBoxHandler messageBox;
    HostApp::ChunksHandler chunks;
    HostApp::ImageHandler image;
};

Handlers& TheHandlers() {
    static Handlers handlers;
    return handlers;
}

// Copies a handler under the lock so that it runs without it.
template <class F>
F Get(F Handlers::*member) {
    Handlers& handlers = TheHandlers();
    std::lock_guard lock(handlers.mutex);
    return handlers.*member;
}

template <class F>
void Set(F Handlers::*member, F handler) {
    Handlers& handlers = TheHandlers();
    std::lock_guard lock(handlers.mutex);
    handlers.*member = std::move(handler);
}

struct FetchLogState {
    std::atomic<bool> on{false};
    std::mutex mutex;
    std::vector<HostApp::Fetch> fetches;
};

FetchLogState& TheFetchLog() {
    static FetchLogState log;
    return log;
}

}  // namespace

void HostApp::SetImageByteLimit(uint64_t bytes) { imageByteLimit.store(bytes, std::memory_order_relaxed); }
uint64_t HostApp::ImageByteLimit() { return imageByteLimit.load(std::memory_order_relaxed); }
HostApp::ImageRefusal HostApp::LastImageRefusal() {
    const StoredRefusal& r = imageRefusal;
    return ImageRefusal{r.Kind, r.Width, r.Height, r.Bytes, r.Limit, r.Text};
}

void hostimpl::SetImageRefusal(HostApp::ImageRefusal refusal) {
    StoredRefusal& r = imageRefusal;
    r.Kind = refusal.Kind;
    r.Width = refusal.Width;
    r.Height = refusal.Height;
    r.Bytes = refusal.Bytes;
    r.Limit = refusal.Limit;
    const size_t n = std::min(refusal.Text.size(), sizeof r.Text - 1);
    std::memcpy(r.Text, refusal.Text.data(), n);
    r.Text[n] = '\0';
}

void HostApp::SetProgressHandler(ProgressHandler handler) { Set(&Handlers::progress, std::move(handler)); }
void HostApp::SetNotifyHandler(NotifyHandler handler) { Set(&Handlers::notify, std::move(handler)); }
void HostApp::SetMessageBoxHandler(MessageBoxHandler handler) { Set(&Handlers::messageBox, std::move(handler)); }
void HostApp::SetChunksHandler(ChunksHandler handler) { Set(&Handlers::chunks, std::move(handler)); }

void HostApp::SetImageHandler(ImageHandler handler) { Set(&Handlers::image, std::move(handler)); }

void hostimpl::ReportImage(const Image* image) {
    if (auto handler = Get(&Handlers::image))
        handler(image);
}

void hostimpl::ReportChunks(Operator* op, int32_t count, bool done) {
    if (auto handler = Get(&Handlers::chunks))
        handler(op, count, done);
}

namespace {
std::atomic<int64_t> transformCalls{0};
std::atomic<int64_t> transformNanos{0};
}  // namespace

void hostimpl::CountTransform(double seconds) {
    transformCalls.fetch_add(1, std::memory_order_relaxed);
    transformNanos.fetch_add(int64_t(seconds * 1e9), std::memory_order_relaxed);
}

HostApp::TransformTotals HostApp::Transforms() {
    return TransformTotals{transformCalls.load(std::memory_order_relaxed),
                           double(transformNanos.load(std::memory_order_relaxed)) * 1e-9};
}

void hostimpl::ReportProgress(Operator* op, float fraction) {
    if (auto handler = Get(&Handlers::progress))
        handler(op, fraction);
}

void hostimpl::ReportNotify(Operator* op, Input* input, Parameter* param, double time, TagList* tags) {
    if (auto handler = Get(&Handlers::notify))
        handler(op, input, param, time, tags);
}

namespace hostimpl {
bool ShowMessageBox(const char* text, const char* caption, unsigned type, int& result) {
    auto handler = Get(&Handlers::messageBox);
    if (!handler)
        return false;
    result = handler(text, caption, type);
    return true;
}
}  // namespace hostimpl

void HostApp::SetFetchLogging(bool on) { TheFetchLog().on.store(on, std::memory_order_relaxed); }

std::vector<HostApp::Fetch> HostApp::FetchLog() {
    FetchLogState& log = TheFetchLog();
    std::lock_guard lock(log.mutex);
    return log.fetches;
}

void HostApp::ClearFetchLog() {
    FetchLogState& log = TheFetchLog();
    std::lock_guard lock(log.mutex);
    log.fetches.clear();
}

void hostimpl::LogFetch(const Link* input, double time) {
    FetchLogState& log = TheFetchLog();
    if (!log.on.load(std::memory_order_relaxed))
        return;
    std::lock_guard lock(log.mutex);
    log.fetches.push_back(HostApp::Fetch{input->ID().Text(), time});
}

namespace {

// The region of a region render, set on the render thread while the
// operator processes its request.
class RegionScope {
public:
    RegionScope(const Operator* op, const HostApp::RowRange* rows) : active_(rows != nullptr) {
        if (active_) hostimpl::SetRenderRegion(op->ImageContext, rows->First, rows->End, true);
    }
    ~RegionScope() {
        if (active_) hostimpl::SetRenderRegion(nullptr, 0, 0, false);
    }
    RegionScope(const RegionScope&) = delete;
    RegionScope& operator=(const RegionScope&) = delete;

private:
    bool active_;
};

HostApp::RenderResult RenderRequest(Operator* op, Output* output, double time, const HostApp::RowRange* rows) {
    HostApp::RenderResult result;
    if (op == nullptr) {
        result.Failed = true;
        result.Error = "no operator to render";
        return result;
    }
    Request request(op, time);
    if (rows) request.SetRows(rows->First, rows->End);
    try {
        RegionScope region(op, rows);
        op->Process(&request);
    } catch (const std::exception& e) {
        result.Failed = true;
        result.Error = e.what();
    } catch (...) {
        result.Failed = true;
        result.Error = "unknown exception";
    }
    // A failed render's partial result is given back with the request.
    if (!result.Failed)
        result.Output = request.TakeOutputData(output);
    return result;
}

}  // namespace

HostApp::RenderResult HostApp::Render(Operator* op, Output* output, double time) {
    return RenderRequest(op, output, time, nullptr);
}

HostApp::RenderResult HostApp::Render(Operator* op, Output* output, double time, RowRange rows) {
    return RenderRequest(op, output, time, &rows);
}
