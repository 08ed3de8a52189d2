// The host application's side of HostSystem: settings, observers and
// bookkeeping that a tool never touches. The command-line host and the tests
// use it to drive operators exactly as a compositor would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HostSystem.h"

namespace HostApp {

// Worker threads of DoMultiProcess; 0 (the default) means all cores.
HOSTSYSTEM_API void SetWorkerCount(int count);
HOSTSYSTEM_API int WorkerCount();

// Largest pixel storage of one image, in bytes (default 8 GiB).
HOSTSYSTEM_API void SetImageByteLimit(uint64_t bytes);
HOSTSYSTEM_API uint64_t ImageByteLimit();
// Why NewImage made no image, with the figures involved.
enum class RefusalKind {
    None,            // the image was made
    NoPixels,        // a side of 0 or less
    SideLimit,       // a side above MaxImageSide
    Format,          // an unknown format code
    Channels,        // channels the host does not store
    ByteLimit,       // more storage than ImageByteLimit()
    SystemMemory,    // the system had no memory for it
};
struct ImageRefusal {
    RefusalKind Kind = RefusalKind::None;
    int64_t Width = 0, Height = 0;   // the size asked for
    uint64_t Bytes = 0;              // the storage it needs, where it was worked out
    uint64_t Limit = 0;              // the limit it met: a side or bytes
    std::string Text;                // the host's own words, "" when made
    explicit operator bool() const { return Kind != RefusalKind::None; }
};
// Why the calling thread's last NewImage returned null (Kind None when it
// made its image).
HOSTSYSTEM_API ImageRefusal LastImageRefusal();

// Operator::SetProgress lands here.
using ProgressHandler = std::function<void(Operator* op, float fraction)>;
HOSTSYSTEM_API void SetProgressHandler(ProgressHandler handler);

// Operator::NotifyChanged (the base operation) lands here.
using NotifyHandler = std::function<void(Operator* op, Input* input, Parameter* param, double time, TagList* tags)>;
HOSTSYSTEM_API void SetNotifyHandler(NotifyHandler handler);

// MessageBoxA lands here (on systems other than Windows).
using MessageBoxHandler = std::function<int(const char* text, const char* caption, unsigned type)>;
HOSTSYSTEM_API void SetMessageBoxHandler(MessageBoxHandler handler);

// Called as ThreadedOperator::DoMultiProcess starts its chunks (done false)
// and after the last one has ended (done true), on the calling thread.
using ChunksHandler = std::function<void(Operator* op, int32_t count, bool done)>;
HOSTSYSTEM_API void SetChunksHandler(ChunksHandler handler);

// Image::Transform calls since the program started and the time spent in
// them, summed over threads.
struct TransformTotals {
    int64_t Calls = 0;
    double Seconds = 0.0;
};
HOSTSYSTEM_API TransformTotals Transforms();

// Says that every pixel of `image` is about to be written, as when a frame
// is decoded into it: its memory is then made resident at once, in huge
// pages where the system has them, rather than one first touch at a time.
// Images written only where something lands (layers) are left in small
// pages, so that what is never written costs nothing.
HOSTSYSTEM_API void ExpectDense(Image* image);

// Keeps up to `bytes` of the memory of released images for the images made
// next, instead of handing it back to the system: memory the process has
// written before is far cheaper to write again than fresh pages. It never
// raises the peak (an image that finds none kept to take gives back kept
// memory first). 0, the default, keeps none and hands back what is kept.
HOSTSYSTEM_API void KeepReleasedImageMemory(uint64_t bytes);

// What an image of width x height pixels of four channels in `format` holds
// in memory when only a block of `columns` x `rows` of its pixels is
// written: the storage pages those rows touch (a run of pixels costs the
// pages it spans, at most one more than its bytes need) and the row table.
// A block as wide as the image costs its whole rows. For planning a render
// before any image is made.
HOSTSYSTEM_API double ResidentBytes(int64_t width, int64_t height, int32_t format, int64_t columns, int64_t rows);

// Called after NewImage made an image, on the thread that asked for it.
using ImageHandler = std::function<void(const Image* image)>;
HOSTSYSTEM_API void SetImageHandler(ImageHandler handler);

// Animation keys as an input holds them, and the value they give at a time:
// linear between keys, held outside them, and exactly a key's own value on
// it. Before and After index the keys the value comes from (the same key
// where it is held or met exactly).
struct Key {
    double Time = 0.0;
    double X = 0.0, Y = 0.0;
};
struct KeyedValue {
    double X = 0.0, Y = 0.0;
    size_t Before = 0, After = 0;
};
// `keys` ascending in time, at least one.
HOSTSYSTEM_API KeyedValue ValueAt(const std::vector<Key>& keys, double time);

// Live parameters per kind, for checking that every reference came back.
HOSTSYSTEM_API int64_t LiveObjects(ParamKind kind);
HOSTSYSTEM_API int64_t LiveObjects();   // all kinds

// Fetches through Input::GetSource / GetSourceAttrs, when logging is on.
struct Fetch {
    std::string Input;   // the input's identifier
    double Time;
};
HOSTSYSTEM_API void SetFetchLogging(bool on);
HOSTSYSTEM_API std::vector<Fetch> FetchLog();
HOSTSYSTEM_API void ClearFetchLog();

// Rows [First, End) of an image, counted from its bottom row.
struct RowRange {
    int32_t First = 0, End = 0;
    int32_t Count() const { return End > First ? End - First : 0; }
    bool operator==(const RowRange& other) const { return First == other.First && End == other.End; }
};

// NewImage tags of the host application: an image that holds the pixels of
// rows [IMG_FirstRow, IMG_EndRow) only. It keeps its full size for whoever
// reads it; its other rows read as (0, 0, 0, 0) through ReadSpan, writes to
// them are dropped, and a pixel accessor finds them all at one spare row
// whose contents mean nothing. Images made like it (IMG_Like) hold the rows
// [IMG_LikeFirstRow, IMG_LikeEndRow), by default its own. Clamped to the
// image; without the tags every row.
inline constexpr uint32_t IMG_FirstRow = 0x10021000;
inline constexpr uint32_t IMG_EndRow = 0x10021001;
inline constexpr uint32_t IMG_LikeFirstRow = 0x10021002;
inline constexpr uint32_t IMG_LikeEndRow = 0x10021003;
// NewImage tag of the host application, nonzero: every pixel of the rows
// the image holds is written before any is read (a frame its file covers),
// so memory taken again from released images is not cleared for it first.
inline constexpr uint32_t IMG_Overwritten = 0x10021004;

// The rows `image` holds.
HOSTSYSTEM_API RowRange StoredRows(const Image* image);

// The source rows that Image::Transform reads, with a row to spare on each
// side, when it turns a width x height image by `angle` degrees about
// (cx, cy) (fractions) into the destination rows `rows` of an image of the
// same size. Empty when no tap of those rows lands inside the image.
HOSTSYSTEM_API RowRange TurnSourceRows(int32_t width, int32_t height, double angle, double cx, double cy,
                                       RowRange rows);

// Renders `op` at `time` the way the host does: makes a request, calls
// Process, and takes the result on `output`. An exception out of the tool
// never reaches the caller: it becomes Failed with its message.
struct RenderResult {
    Parameter* Output = nullptr;   // one reference, or null
    bool Failed = false;
    std::string Error;
};
HOSTSYSTEM_API RenderResult Render(Operator* op, Output* output, double time);

// Renders only the output rows `rows`, as a host rendering a region does:
// the request's chunked processing runs the chunks of those rows, and the
// images the operator makes on the rendering thread from its image context
// (IMG_Context, without IMG_Like or row tags) hold only those rows, as do
// the images made like them. The images the host application supplies on
// the operator's inputs hold the rows it gives them. Rows outside the
// region of the result mean nothing.
HOSTSYSTEM_API RenderResult Render(Operator* op, Output* output, double time, RowRange rows);

}  // namespace HostApp
