// HostSystem: parameters, images, pixel access, operators, inputs and
// outputs, render requests and the class registry.
//
// This is the surface a tool is built against. What only a host application
// needs (settings, observers, animation keys, object counts) is declared in
// HostApp.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "HostExport.h"
#include "HostScript.h"

class Image;
class Input;
class Operator;
class Output;
class Registry;
class Request;

// ---------------------------------------------------------------------------
// Parameters: values that inputs deliver. Reference counted; every object a
// host call returns carries one reference, which its receiver gives back
// with Recycle() exactly once (or hands on, see Request::SetOutputData).
// Recycling an object that is no longer alive is a fault that the host
// reports and stops on; it never corrupts memory silently.
enum class ParamKind : int { Number = 0, Point = 1, Image = 2 };
inline constexpr int ParamKindCount = 3;

class HOSTSYSTEM_API Parameter {
public:
    ParamKind Kind() const { return kind_; }

    // Gives one reference back; the object is destroyed with the last one.
    void Recycle();
    // Takes one more reference.
    void Use();
    int32_t References() const { return refs_.load(std::memory_order_relaxed); }

protected:
    explicit Parameter(ParamKind kind);
    virtual ~Parameter();
    Parameter(const Parameter&) = delete;
    Parameter& operator=(const Parameter&) = delete;

private:
    ParamKind kind_;
    std::atomic<int32_t> refs_{1};
};

class HOSTSYSTEM_API Number : public Parameter {
public:
    static Number* New(double value);   // one reference
    double Value = 0.0;

private:
    Number() : Parameter(ParamKind::Number) {}
    ~Number() override;
};

// A two-dimensional point, X and Y in fractions of an image's width and height.
class HOSTSYSTEM_API Point : public Parameter {
public:
    static Point* New(double x, double y);   // one reference
    double X = 0.0;
    double Y = 0.0;

private:
    Point() : Parameter(ParamKind::Point) {}
    ~Point() override;
};

// Holds one reference to a host object and gives it back when it goes. Move
// only: the reference is handed on by moving the holder, or by Release()
// where a host call or a job takes it over.
template <class T>
class HostRef {
public:
    HostRef() = default;
    explicit HostRef(T* object) noexcept : object_(object) {}   // takes over one reference
    HostRef(HostRef&& other) noexcept : object_(other.Release()) {}
    HostRef& operator=(HostRef&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    HostRef(const HostRef&) = delete;
    HostRef& operator=(const HostRef&) = delete;
    ~HostRef() { Reset(); }

    T* Get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller; the holder is empty afterwards.
    [[nodiscard]] T* Release() noexcept {
        T* object = object_;
        object_ = nullptr;
        return object;
    }
    // Gives back the reference held, if any, and takes over `object`'s.
    void Reset(T* object = nullptr) noexcept {
        T* old = object_;
        object_ = object;
        if (old) old->Recycle();
    }

private:
    T* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Images.
//
// Pixel (x, y): column x in [0, Width), row y in [0, Height); row 0 is the
// bottom row. Every pixel is read and written as a pixel record of 32-bit
// floats whatever the storage format; 8- and 16-bit storage maps 0..max onto
// 0.0..1.0 (255 reads as exactly 1.0) and clamps what it writes.
enum PixelFormat : int32_t {
    Format_UInt8 = 1,
    Format_UInt16 = 2,
    Format_Half = 3,
    Format_Float = 4,
};

// Bytes per channel of a format code, 0 for a code the host does not know.
HOSTSYSTEM_API int BytesPerChannel(int32_t format);

// A pixel record: room for 128 floats. Tools use floats 0 to 3, channels 0
// to 2 colour and channel 3 alpha.
struct PixelRecord {
    float Chan[128];
};

// Channels 0 to 3 live in buffer group 0, further channels in group 1. The
// byte offset of (x, y) in a group is RowOffsets[y] + x * PixelStride. A
// group whose RowOffsets is null is absent.
struct BufferGroup {
    uint8_t* Base = nullptr;
    const int64_t* RowOffsets = nullptr;
    int64_t PixelStride = 0;
};

using PixelReadFunc = void (*)(float* record, int64_t offset0, int64_t offset1, const Image* image);
using PixelWriteFunc = void (*)(const float* record, int64_t offset0, int64_t offset1, Image* image);

// NewImage tags.
inline constexpr uint32_t IMG_Like = 0x60020000;      // pointer: copy this image's shape
inline constexpr uint32_t IMG_Context = 0x60020001;   // pointer: the operator's image context
inline constexpr uint32_t IMG_Width = 0x10020000;
inline constexpr uint32_t IMG_Height = 0x10020001;
inline constexpr uint32_t IMG_Channel = 0x18020000;   // int, once per channel, in storage order
inline constexpr uint32_t IMG_Format = 0x10020002;

// The order in which the host keeps the channels of a pixel: blue, green,
// red, alpha (storage slot k holds record float StoredChannels[k]). Images
// made in this order read and write spans without shuffling.
inline constexpr int32_t StoredChannels[4] = {2, 1, 0, 3};

// Image::Transform tags.
inline constexpr uint32_t XF_CentreX = 0x20000000;   // double, fraction of the width
inline constexpr uint32_t XF_CentreY = 0x20000001;   // double, fraction of the height
inline constexpr uint32_t XF_Angle = 0x20000006;     // double, degrees, counter-clockwise
inline constexpr uint32_t XF_Filter = 0x10000000;    // int, 0: bilinear

class HOSTSYSTEM_API Image : public Parameter {
public:
    // Read directly; set by the host when the image is made.
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Format = Format_Float;
    int32_t Channels = 4;
    // Storage slot k of a pixel holds record float ChannelMap[k].
    int32_t ChannelMap[4] = {0, 1, 2, 3};
    void* Context = nullptr;   // the IMG_Context value it was made with

    BufferGroup Group[2];
    PixelReadFunc ReadFunc = nullptr;
    PixelWriteFunc WriteFunc = nullptr;

    // Sets every pixel's channels 0 to 3 to the four values. Filling a
    // never-written image with (0, 0, 0, 0) does no work, and filling a large
    // image with (0, 0, 0, 0) hands its memory back to the system.
    void Fill(long c0, long c1, long c2, long c3);

    // Writes this image, turned about a centre, into `dest`. Tags XF_*.
    // Destination pixel (x, y) samples this image bilinearly at
    // q = c + R(-angle) (p - c), p = (x + 0.5, y + 0.5), c = (cx * W, cy * H);
    // taps outside this image read (0, 0, 0, 0). A non-finite angle or an
    // unknown filter fails: the result is false and dest is left transparent.
    bool Transform(Image* dest, const TagList& tags) const;

    // Bulk access to `count` pixels of row y from column x, four floats per
    // pixel in record order (channels 0 to 3). The range must lie inside the
    // image. Rows of one image may be written from several threads at once
    // as long as no two threads write the same row.
    void ReadSpan(int32_t x, int32_t y, int32_t count, float* rgba) const;
    void WriteSpan(int32_t x, int32_t y, int32_t count, const float* rgba);

    // Pixel storage in bytes (what the image holds, whatever is resident).
    uint64_t StorageBytes() const;

private:
    friend HOSTSYSTEM_API Image* NewImage(const TagList& tags);
    Image() : Parameter(ParamKind::Image) {}
    ~Image() override;

    void* storage_ = nullptr;
    uint64_t storageBytes_ = 0;
    std::vector<int64_t> rowOffsets_;
    // The rows that hold pixels, and the rows images made like this one
    // hold (HostApp.h, IMG_FirstRow).
    int32_t firstRow_ = 0, endRow_ = 0;
    int32_t likeFirstRow_ = 0, likeEndRow_ = 0;
    std::atomic<bool> written_{false};
    friend struct ImageStorage;
};

// Makes an image from IMG_* tags (IMG_Like supplies the defaults that the
// other tags override). Returns null, allocating nothing, for a non-positive
// size, a side above MaxImageSide, unknown channels or format, or more storage
// than the host application allows; HostApp::LastImageRefusal() says why.
// Fresh pixels are (0, 0, 0, 0) and cost no physical memory until written.
HOSTSYSTEM_API Image* NewImage(const TagList& tags);

inline constexpr int32_t MaxImageSide = 1048576;

// Per-pixel access, inline: set up on one image, move with SetPosition.
class PixelAccessor {
public:
    explicit PixelAccessor(Image* image) : image_(image) {}
    explicit PixelAccessor(const Image* image) : image_(const_cast<Image*>(image)) {}

    void SetPosition(int32_t x, int32_t y) {
        const BufferGroup& g0 = image_->Group[0];
        offset0_ = g0.RowOffsets[y] + int64_t(x) * g0.PixelStride;
        const BufferGroup& g1 = image_->Group[1];
        offset1_ = g1.RowOffsets ? g1.RowOffsets[y] + int64_t(x) * g1.PixelStride : 0;
    }
    void ReadPixel(PixelRecord& p) const { image_->ReadFunc(p.Chan, offset0_, offset1_, image_); }
    void WritePixel(const PixelRecord& p) { image_->WriteFunc(p.Chan, offset0_, offset1_, image_); }

private:
    Image* image_;
    int64_t offset0_ = 0;
    int64_t offset1_ = 0;
};

// ---------------------------------------------------------------------------
// Inputs and outputs of an operator.
//
// Number and point inputs are animated by keys: linear between keys, held
// outside them; without keys they give their default (a number input's
// declared default, (0.5, 0.5) for a point). Image inputs deliver what the
// source the host application connected gives for a frame, or nothing.
enum class LinkType { Number, Point, Image, Button };

// Tags of AddInput and AddOutput. The data type and the control name one of
// the identifiers of HostScript.h (ID_Number, ID_ComboControl, ...).
inline constexpr uint32_t LINK_DataType = 0x88020000;    // ID: what the link carries; a button has none
inline constexpr uint32_t LINK_Main = 0x10020001;        // int: 1 for the operator's main image link
inline constexpr uint32_t INP_Control = 0x80030000;      // ID: the control shown for the input
inline constexpr uint32_t INP_ComboEntry = 0x38040000;   // text: one entry, the k-th given stands for k
inline constexpr uint32_t INP_ComboStyle = 0x10050000;   // int
inline constexpr uint32_t INP_RangeLow = 0x20030000;     // double: the values the input holds
inline constexpr uint32_t INP_RangeHigh = 0x20030001;
inline constexpr uint32_t INP_TravelLow = 0x20030002;    // double: the travel of the control
inline constexpr uint32_t INP_TravelHigh = 0x20030003;
inline constexpr uint32_t INP_Default = 0x20030004;      // double: the value without keys
inline constexpr uint32_t INP_NotifyChanged = 0x1003000a;   // int: 1 calls NotifyChanged on each change
inline constexpr uint32_t INP_Integer = 0x1003000c;      // int: 1 keeps the value whole
inline constexpr uint32_t INP_ControlScale = 0x20040007;   // double

class HOSTSYSTEM_API Link {
public:
    virtual ~Link();
    HostID Name() const { return name_; }   // display name
    HostID ID() const { return id_; }
    const TagList& Tags() const { return tags_; }
    Operator* Owner() const { return owner_; }
    bool IsOutput() const { return isOutput_; }
    // What the declaring tags make of it: LINK_DataType decides; an input
    // without one is a button.
    LinkType Type() const { return type_; }

protected:
    Link(Operator* owner, HostID name, HostID id, const TagList& tags, bool isOutput);

private:
    Operator* owner_;
    HostID name_, id_;
    TagList tags_;
    bool isOutput_;
    LinkType type_;
};

// Flags of GetSourceAttrs that tools pass.
inline constexpr uint32_t REQF_SourceValue = 0x4000000;

class HOSTSYSTEM_API Input : public Link {
public:
    // The input's value at `time`, one reference, or null.
    Parameter* GetSource(double time);
    Parameter* GetSourceAttrs(double time, Request* request, uint32_t flags, uint32_t attrFlags,
                              const TagList& tags = TagList());

    // Host application side -----------------------------------------------
    using ImageSource = std::function<Image*(double time)>;   // returns one reference or null
    void SetImageSource(ImageSource source);
    void SetKey(double time, double value);             // number input
    void SetKey(double time, double x, double y);       // point input
    void ClearKeys();
    void SetValue(double value);                        // one key-less value
    void SetValue(double x, double y);
    double NumberAt(double time) const;
    void PointAt(double time, double& x, double& y) const;

private:
    friend class Operator;
    Input(Operator* owner, HostID name, HostID id, const TagList& tags);
    ~Input() override;
    struct State;
    State* state_;
};

class HOSTSYSTEM_API Output : public Link {
private:
    friend class Operator;
    Output(Operator* owner, HostID name, HostID id, const TagList& tags);
    ~Output() override;
};

// ---------------------------------------------------------------------------
// A render request: the values of an operator's number and point inputs at
// the request's time, and the results it collects on its outputs.
class HOSTSYSTEM_API Request {
public:
    Request(Operator* op, double time);
    ~Request();   // gives back everything it still holds
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    double Time() const { return time_; }

    // Host application side: the rows of the output a region render asks
    // for (HostApp::Render); every row unless set.
    void SetRows(int32_t first, int32_t end);
    int32_t FirstRow() const { return firstRow_; }
    int32_t EndRow() const { return endRow_; }

    // The request's parameter for a number or point input; owned by the
    // request, never given back by the caller. Null for other inputs.
    Parameter* GetInputData(Input* input, int32_t index);
    // Takes over the caller's reference of `param` (which may be null).
    bool SetOutputData(Output* output, Parameter* param);

    // Host application side: the result on `output`, its reference passed to
    // the caller (null when none was set).
    Parameter* TakeOutputData(Output* output);

private:
    Operator* op_;
    double time_;
    int32_t firstRow_ = 0, endRow_ = INT32_MAX;
    std::vector<std::pair<Input*, Parameter*>> inputs_;
    std::vector<std::pair<Output*, Parameter*>> outputs_;
};

// ---------------------------------------------------------------------------
// Operators.
using CreateFunc = Operator* (*)(const Registry* registry, const ScriptVal& table, const TagList& tags);

class HOSTSYSTEM_API Operator {
public:
    Operator(const Registry* registry, const ScriptVal& table, const TagList& tags);
    virtual ~Operator();
    Operator(const Operator&) = delete;
    Operator& operator=(const Operator&) = delete;

    // Virtual operations, in the order of their slots.
    virtual bool PreProcess(Request* request);
    virtual void PostProcess(Request* request);
    virtual void Process(Request* request);
    virtual void PreCalcPreProcess(Request* request);
    virtual void ProcessGL(Request* request);
    virtual void NotifyChanged(Input* input, Parameter* param, double time, TagList* tags);
    virtual void RegionChanged(Request* request);

    // Declares an input or output: display name, identifier, tags. Kept in
    // the order declared; the host owns them.
    Input* AddInput(HostID name, HostID id, const TagList& tags);
    Output* AddOutput(HostID name, HostID id, const TagList& tags);

    // Reports the fraction done of the running request to the progress
    // observer the host application installed.
    void SetProgress(float fraction);

    // The registration record the operator was made from.
    const Registry* GetRegistry() const { return registry_; }
    // The value passed on under IMG_Context when the operator makes images.
    void* ImageContext = nullptr;

    // Host application side ---------------------------------------------
    const std::vector<Link*>& Links() const { return links_; }   // in declared order
    Input* FindInput(const char* id) const;
    Output* FindOutput(const char* id) const;

    static bool RegInit(Registry* registry);
    static void RegCleanup(Registry* registry);

private:
    const Registry* registry_;
    std::vector<Link*> links_;
};

class HOSTSYSTEM_API ThreadedOperator : public Operator {
public:
    ThreadedOperator(const Registry* registry, const ScriptVal& table, const TagList& tags);
    ~ThreadedOperator() override;

    static HostID ClassID;

    virtual void ThreadMain();
    virtual void ProcessChunk(Request* request, int32_t chunk);
    virtual void QuickProcessChunk(Request* request, int32_t chunk);

    // Calls ProcessChunk(request, k) once for every k in [0, count) on the
    // host's worker threads and returns when all have returned. A request
    // for some rows of the output (Request::FirstRow, EndRow) runs only the
    // chunks k of those rows: chunk k is row k, as a tool that processes one
    // chunk per output row has them. If chunks
    // throw, every chunk still runs once and the first exception is rethrown
    // here after the last chunk has ended.
    bool DoMultiProcess(Request* request, int32_t count);
};

// ---------------------------------------------------------------------------
// The class registry. A Registry links itself into its list when made and
// unlinks when destroyed.

// Registry tags.
inline constexpr uint32_t REG_Create = 0x60000000;       // CreateFunc
inline constexpr uint32_t REG_Init = 0x60000001;         // bool (*)(Registry*)
inline constexpr uint32_t REG_Cleanup = 0x60000002;      // void (*)(Registry*)
inline constexpr uint32_t REG_ScriptInfo = 0x60000005;   // ScriptInfo*
inline constexpr uint32_t REG_Parent = 0x60000011;       // HostID* of the parent class
inline constexpr uint32_t REG_Kind = 0x10000000;
inline constexpr uint32_t REG_Version = 0x10000003;
inline constexpr uint32_t REG_BitmapID = 0x10000004;
inline constexpr uint32_t REG_Name = 0x30000002;
inline constexpr uint32_t REG_Category = 0x30000003;
inline constexpr uint32_t REG_Shortcut = 0x30000004;
inline constexpr uint32_t REG_Description = 0x30000005;
inline constexpr uint32_t REG_BuildText = 0x30000008;

class RegistryList;

class HOSTSYSTEM_API Registry {
public:
    Registry(RegistryList* list, HostID classID, const TagList& tags);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    HostID ClassID() const { return classID_; }
    const TagList& Tags() const { return tags_; }
    const char* Name() const;
    const char* Description() const;
    const char* BuildText() const;
    int32_t BitmapID() const;
    HostID Parent() const;   // empty when the record names none

    // A new instance through the record's create function; null when the
    // record has none or the function yields none.
    Operator* Create(const ScriptVal& table, const TagList& tags) const;

private:
    friend class RegistryList;
    RegistryList* list_;
    HostID classID_;
    TagList tags_;
    Registry* next_ = nullptr;
};

class HOSTSYSTEM_API RegistryList {
public:
    RegistryList() = default;
    RegistryList(const RegistryList&) = delete;
    RegistryList& operator=(const RegistryList&) = delete;

    Registry* Find(HostID classID) const;
    Registry* Find(const char* classID) const;
    // Every record, in the order linked.
    std::vector<Registry*> Records() const;

    // Observers of links and unlinks (host application side).
    using Observer = std::function<void(Registry*, bool linked)>;
    void SetObserver(Observer observer);

private:
    friend class Registry;
    void Link(Registry* record);
    void Unlink(Registry* record);
    Registry* head_ = nullptr;
    Observer observer_;
};

HOSTSYSTEM_API extern RegistryList ClassRegistry;
