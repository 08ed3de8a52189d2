// Images: creation and its limits, fills, bulk pixel access.
#include <algorithm>
#include <cmath>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "HostInternal.h"
#include "ImageStorage.h"

using namespace hostimpl;

int BytesPerChannel(int32_t format) {
    switch (format) {
    case Format_UInt8: return 1;
    case Format_UInt16: return 2;
    case Format_Half: return 2;
    case Format_Float: return 4;
    default: return 0;
    }
}

namespace {

std::string FormatBytes(uint64_t bytes) {
    static const struct { uint64_t unit; const char* name; } units[] = {
        {uint64_t(1) << 40, "TiB"}, {uint64_t(1) << 30, "GiB"}, {uint64_t(1) << 20, "MiB"}, {uint64_t(1) << 10, "KiB"}};
    char text[64];
    for (const auto& u : units) {
        if (bytes >= u.unit) {
            if (bytes % u.unit == 0)
                std::snprintf(text, sizeof text, "%" PRIu64 " %s", bytes / u.unit, u.name);
            else
                std::snprintf(text, sizeof text, "%.1f %s", double(bytes) / double(u.unit), u.name);
            return text;
        }
    }
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    return text;
}

using HostApp::RefusalKind;

Image* Refuse(RefusalKind kind, int32_t width, int32_t height, std::string text, uint64_t bytes = 0,
              uint64_t limit = 0) {
    SetImageRefusal(HostApp::ImageRefusal{kind, width, height, bytes, limit, std::move(text)});
    return nullptr;
}

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + " x " + std::to_string(h); }

void ChoosePixelFunctions(Image* image) {
    if (IsIdentityFloat(image)) {
        image->ReadFunc = ReadFloatIdentity;
        image->WriteFunc = WriteFloatIdentity;
        return;
    }
    const bool four = image->Channels == 4;
    WithStore(image->Format, [&](auto store) {
        using S = decltype(store);
        image->ReadFunc = four ? ReadPixelFunc<S, 4> : ReadPixelFunc<S, 0>;
        image->WriteFunc = four ? WritePixelFunc<S, 4> : WritePixelFunc<S, 0>;
    });
}

}  // namespace

void ImageStorage::Attach(Image* image, void* storage, uint64_t bytes, int64_t rowBytes, int32_t first,
                          int32_t end) {
    image->storage_ = storage;
    image->storageBytes_ = bytes;
    image->firstRow_ = first;
    image->endRow_ = end;
    image->likeFirstRow_ = first;
    image->likeEndRow_ = end;
    image->rowOffsets_.resize(size_t(image->Height));
    // Row `first` (the bottom row of a whole image) is stored first.
    const int64_t spare = int64_t(end - first) * rowBytes;
    for (int32_t y = 0; y < image->Height; ++y)
        image->rowOffsets_[size_t(y)] = y >= first && y < end ? int64_t(y - first) * rowBytes : spare;
    image->Group[0].Base = static_cast<uint8_t*>(storage);
    image->Group[0].RowOffsets = image->rowOffsets_.data();
    image->Group[0].PixelStride = int64_t(image->Channels) * BytesPerChannel(image->Format);
    image->Group[1] = BufferGroup();
}

namespace {

// The region of a region render on its own thread (HostApp::Render).
struct RenderRegion {
    const void* Context = nullptr;
    int32_t First = 0, End = 0;
    bool Active = false;
};
thread_local RenderRegion renderRegion;

// The rows an image of `height` rows holds: the tags' rows, else the rows
// of the image it is made like, else the region's for an image made from
// the rendering operator's context, else all of them; clamped to the image.
HostApp::RowRange RowsOf(const TagList& tags, const Image* like, const void* context, int32_t height) {
    HostApp::RowRange rows{0, height};
    if (tags.Has(HostApp::IMG_FirstRow) || tags.Has(HostApp::IMG_EndRow))
        rows = HostApp::RowRange{tags.GetInt(HostApp::IMG_FirstRow, 0), tags.GetInt(HostApp::IMG_EndRow, height)};
    else if (like != nullptr && like->Height == height)
        rows = ImageStorage::LikeRows(like);
    else if (like == nullptr && renderRegion.Active && context == renderRegion.Context)
        rows = HostApp::RowRange{renderRegion.First, renderRegion.End};
    rows.First = std::clamp(rows.First, 0, height);
    rows.End = std::clamp(rows.End, rows.First, height);
    return rows;
}

}  // namespace

void hostimpl::SetRenderRegion(const void* context, int32_t first, int32_t end, bool active) {
    renderRegion = RenderRegion{context, first, end, active};
}

Image* NewImage(const TagList& tags) {
    int32_t width = 0, height = 0, format = Format_Float, channels = 4;
    int32_t map[4] = {0, 1, 2, 3};
    void* context = nullptr;
    const auto* like = static_cast<const Image*>(tags.GetPointer(IMG_Like));
    if (like) {
        width = like->Width;
        height = like->Height;
        format = like->Format;
        channels = like->Channels;
        std::copy(like->ChannelMap, like->ChannelMap + 4, map);
        context = like->Context;
    }
    if (tags.Has(IMG_Context))
        context = const_cast<void*>(tags.GetPointer(IMG_Context));
    width = tags.GetInt(IMG_Width, width);
    height = tags.GetInt(IMG_Height, height);
    format = tags.GetInt(IMG_Format, format);

    const std::vector<TagItem> given = tags.All(IMG_Channel);
    if (!given.empty()) {
        if (given.size() > 4)
            return Refuse(RefusalKind::Channels, width, height,
                          "image with " + std::to_string(given.size()) + " channels; at most 4 are stored");
        bool seen[4] = {false, false, false, false};
        for (size_t k = 0; k < given.size(); ++k) {
            const int32_t c = given[k].Int;
            if (c < 0 || c > 3 || seen[c])
                return Refuse(RefusalKind::Channels, width, height,
                              "image channels must be distinct record channels 0 to 3 (channel " +
                              std::to_string(k) + " is " + std::to_string(c) + ")");
            seen[c] = true;
            map[k] = c;
        }
        channels = int32_t(given.size());
        for (size_t k = given.size(); k < 4; ++k)
            map[k] = -1;
    }

    if (width <= 0 || height <= 0)
        return Refuse(RefusalKind::NoPixels, width, height, "image of " + Size(width, height) + " has no pixels");
    if (width > MaxImageSide || height > MaxImageSide)
        return Refuse(RefusalKind::SideLimit, width, height,
                      "image of " + Size(width, height) + " exceeds the " + std::to_string(MaxImageSide) +
                          "-pixel side limit",
                      0, uint64_t(MaxImageSide));
    const int bytesPerChannel = BytesPerChannel(format);
    if (bytesPerChannel == 0)
        return Refuse(RefusalKind::Format, width, height, "image format code " + std::to_string(format) + " is unknown");
    if (channels < 1 || channels > 4)
        return Refuse(RefusalKind::Channels, width, height,
                      "image with " + std::to_string(channels) + " channels; 1 to 4 are stored");

    // Sides are at most 2^20 and a pixel at most 16 bytes, so this cannot
    // overflow 64 bits. An image holding some rows only keeps one spare row
    // beside them for the others.
    const HostApp::RowRange rows = RowsOf(tags, like, context, height);
    const uint64_t rowBytes = uint64_t(width) * uint64_t(channels) * uint64_t(bytesPerChannel);
    const uint64_t bytes = rowBytes * uint64_t(rows.Count() == height ? height : rows.Count() + 1);
    const uint64_t limit = HostApp::ImageByteLimit();
    if (bytes > limit)
        return Refuse(RefusalKind::ByteLimit, width, height,
                      "image of " + Size(width, height) + " needs " + FormatBytes(bytes) + ", above the " +
                          FormatBytes(limit) + " per-image limit",
                      bytes, limit);

    const bool overwritten = tags.GetInt(HostApp::IMG_Overwritten, 0) != 0;
    void* storage = ImageStorage::Allocate(bytes, !overwritten);
    if (storage == nullptr)
        return Refuse(RefusalKind::SystemMemory, width, height,
                      "image of " + Size(width, height) + ": the system could not provide " + FormatBytes(bytes), bytes);
    Image* image = nullptr;
    try {
        image = ImageStorage::Create();
        image->Width = width;
        image->Height = height;
        image->Format = format;
        image->Channels = channels;
        std::copy(map, map + 4, image->ChannelMap);
        image->Context = context;
        ImageStorage::Attach(image, storage, bytes, int64_t(rowBytes), rows.First, rows.End);
        // The spare row is as in cleared storage.
        if (overwritten && rows.Count() < height)
            std::memset(static_cast<uint8_t*>(storage) + uint64_t(rows.Count()) * rowBytes, 0, size_t(rowBytes));
        if (tags.Has(HostApp::IMG_LikeFirstRow) || tags.Has(HostApp::IMG_LikeEndRow)) {
            const int32_t first = std::clamp(tags.GetInt(HostApp::IMG_LikeFirstRow, 0), 0, height);
            ImageStorage::SetLikeRows(image, HostApp::RowRange{first, std::clamp(tags.GetInt(HostApp::IMG_LikeEndRow, height), first, height)});
        }
    } catch (const std::bad_alloc&) {
        if (image != nullptr)
            image->Recycle();   // gives the storage back through ~Image
        else
            ImageStorage::Release(storage, bytes);
        return Refuse(RefusalKind::SystemMemory, width, height,
                      "image of " + Size(width, height) + ": out of memory for its row table", bytes);
    }
    ChoosePixelFunctions(image);
    SetImageRefusal(HostApp::ImageRefusal());
    ReportImage(image);
    return image;
}

double HostApp::ResidentBytes(int64_t width, int64_t height, int32_t format, int64_t columns, int64_t rows) {
    const double pixel = 4.0 * double(std::max(1, BytesPerChannel(format)));
    const double row = double(width) * pixel;
    const double written = double(std::min(columns, width)) * pixel;
    const double page = double(ImageStorage::PageBytes);
    const double perRow = std::min(row, std::ceil(written / page) * page + page);
    return double(std::min(rows, height)) * perRow + double(height) * double(sizeof(int64_t));
}

HostApp::RowRange HostApp::StoredRows(const Image* image) {
    return image ? ImageStorage::Rows(image) : RowRange{};
}

Image::~Image() { ImageStorage::Release(storage_, storageBytes_, ImageStorage::IsWritten(this)); }

uint64_t Image::StorageBytes() const { return storageBytes_; }

void HostApp::ExpectDense(Image* image) {
    if (image == nullptr) return;
    ImageStorage::AdviseDense(ImageStorage::Storage(image), image->StorageBytes());
    // One call for all its pages: under a virtual machine a fault a page
    // costs several times the clearing of the page itself. Storage taken
    // again from an image written whole is in memory already, and a walk
    // over its pages would find nothing to do.
    uint8_t* storage = static_cast<uint8_t*>(ImageStorage::Storage(image));
    if (storage && !ImageStorage::Resident(storage)) ImageStorage::Populate(storage, image->StorageBytes());
}

void HostApp::KeepReleasedImageMemory(uint64_t bytes) { ImageStorage::KeepReleased(bytes); }

void Image::Fill(long c0, long c1, long c2, long c3) {
    if (storage_ == nullptr)
        return;
    if (c0 == 0 && c1 == 0 && c2 == 0 && c3 == 0) {
        // Every format stores 0.0 as zero bytes.
        if (!ImageStorage::IsWritten(this))
            return;
        ImageStorage::Zero(storage_, storageBytes_);
        ImageStorage::ClearWritten(this);
        return;
    }
    const float record[4] = {float(c0), float(c1), float(c2), float(c3)};
    WriteFunc(record, 0, 0, this);
    // Rows are contiguous, so the whole storage is that one pixel repeated.
    auto* bytes = static_cast<uint8_t*>(storage_);
    uint64_t filled = uint64_t(Group[0].PixelStride);
    while (filled < storageBytes_) {
        const uint64_t n = std::min(filled, storageBytes_ - filled);
        std::memcpy(bytes + filled, bytes, size_t(n));
        filled += n;
    }
}

namespace {

// Clips a span of row y to the image; false when nothing of it is inside or
// the image does not hold the row.
bool ClipSpan(const Image* image, int32_t& x, int32_t y, int32_t& count, int32_t& skip) {
    skip = 0;
    if (count <= 0 || !ImageStorage::HoldsRow(image, y) || image->Group[0].Base == nullptr)
        return false;
    int64_t begin = x, end = int64_t(x) + count;
    if (begin < 0) {
        skip = int32_t(-begin);
        begin = 0;
    }
    end = std::min<int64_t>(end, image->Width);
    if (begin >= end)
        return false;
    x = int32_t(begin);
    count = int32_t(end - begin);
    return true;
}

}  // namespace

// Pixels of the span outside the image, or in a row it does not hold, read
// as (0, 0, 0, 0); writes to them are dropped.
void Image::ReadSpan(int32_t x, int32_t y, int32_t count, float* rgba) const {
    const int32_t total = count;
    int32_t skip = 0;
    if (!ClipSpan(this, x, y, count, skip)) {
        if (total > 0)
            std::fill(rgba, rgba + 4 * int64_t(total), 0.0f);
        return;
    }
    std::fill(rgba, rgba + 4 * int64_t(skip), 0.0f);
    std::fill(rgba + 4 * (int64_t(skip) + count), rgba + 4 * int64_t(total), 0.0f);
    float* out = rgba + 4 * int64_t(skip);
    const uint8_t* row = Group[0].Base + Group[0].RowOffsets[y] + int64_t(x) * Group[0].PixelStride;
    if (ReadRowFast(this, row, count, out))
        return;
    WithStore(Format, [&](auto store) {
        using S = decltype(store);
        const auto* p = reinterpret_cast<const typename S::T*>(row);
        if (Channels == 4) {
            for (int32_t i = 0; i < count; ++i)
                ReadStored<S, 4>(out + 4 * i, p + 4 * i, this);
        } else {
            for (int32_t i = 0; i < count; ++i)
                ReadStored<S, 0>(out + 4 * i, p + int64_t(Channels) * i, this);
        }
    });
}

void Image::WriteSpan(int32_t x, int32_t y, int32_t count, const float* rgba) {
    int32_t skip = 0;
    if (!ClipSpan(this, x, y, count, skip))
        return;
    const float* in = rgba + 4 * int64_t(skip);
    uint8_t* row = Group[0].Base + Group[0].RowOffsets[y] + int64_t(x) * Group[0].PixelStride;
    // Spans of sparse storage are mostly first writes: layer rows, canvas rows.
    const uint64_t spanBytes = uint64_t(count) * uint64_t(Group[0].PixelStride);
    if (storageBytes_ >= ImageStorage::MappedThreshold && spanBytes >= 2 * ImageStorage::PageBytes)
        ImageStorage::Populate(row, spanBytes);
    ImageStorage::MarkWritten(this);
    if (WriteRowFast(this, in, count, row))
        return;
    WithStore(Format, [&](auto store) {
        using S = decltype(store);
        auto* p = reinterpret_cast<typename S::T*>(row);
        if (Channels == 4) {
            for (int32_t i = 0; i < count; ++i)
                WriteStored<S, 4>(in + 4 * i, p + 4 * i, this);
        } else {
            for (int32_t i = 0; i < count; ++i)
                WriteStored<S, 0>(in + 4 * i, p + int64_t(Channels) * i, this);
        }
    });
}
