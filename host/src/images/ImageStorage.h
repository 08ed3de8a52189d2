// Image internals shared by the image sources: the storage of pixels and the
// conversions between stored channels and 32-bit floats.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

#include "HostApp.h"
#include "HostSystem.h"

struct ImageStorage {
    // Storage at or above this size is mapped from the system page by page,
    // so that untouched pixels cost no physical memory, and is kept for
    // later images when released: the frames of a thin band are small.
    static constexpr uint64_t MappedThreshold = uint64_t(64) << 10;
    // The system's page, what a first write to mapped storage costs.
    static constexpr uint64_t PageBytes = 4096;

    // Zeroed storage of `bytes` bytes, or null. `cleared` false: storage
    // taken again from released images may hold what they held.
    static void* Allocate(uint64_t bytes, bool cleared = true);
    // `written` false: no pixel of the storage was ever written, and its
    // pages are not worth keeping (they would cost a fault all the same).
    static void Release(void* storage, uint64_t bytes, bool written = true);
    // Keeps up to `bytes` of released mapped storage for later images
    // instead of handing it back to the system (0, the default: none, and
    // what is kept is handed back).
    static void KeepReleased(uint64_t bytes);
    // Makes the storage read as zero again, handing mapped pages back.
    static void Zero(void* storage, uint64_t bytes);
    // Lets mapped storage that will be written whole come in huge pages.
    static void AdviseDense(void* storage, uint64_t bytes);
    // Makes the whole pages of [from, from + bytes) present before they are
    // written: one call into the system instead of a fault per page.
    static void Populate(uint8_t* from, uint64_t bytes);
    // Whether the page holding `at` is in memory (false where the system
    // cannot tell).
    static bool Resident(const void* at);

    static Image* Create() { return new Image(); }

    // Relaxed check before the store: writers of many rows would otherwise
    // keep pulling the flag's cache line between cores.
    static void MarkWritten(Image* image) {
        if (!image->written_.load(std::memory_order_relaxed))
            image->written_.store(true, std::memory_order_relaxed);
    }
    static bool IsWritten(const Image* image) { return image->written_.load(std::memory_order_relaxed); }
    static void ClearWritten(Image* image) { image->written_.store(false, std::memory_order_relaxed); }

    // Rows [first, end) are stored one after the other from the bottom one,
    // every other row at the one spare row after them.
    static void Attach(Image* image, void* storage, uint64_t bytes, int64_t rowBytes, int32_t first, int32_t end);
    static void* Storage(const Image* image) { return image->storage_; }
    static bool HoldsRow(const Image* image, int32_t y) { return y >= image->firstRow_ && y < image->endRow_; }
    static HostApp::RowRange Rows(const Image* image) { return {image->firstRow_, image->endRow_}; }
    static HostApp::RowRange LikeRows(const Image* image) { return {image->likeFirstRow_, image->likeEndRow_}; }
    static void SetLikeRows(Image* image, HostApp::RowRange rows) {
        image->likeFirstRow_ = rows.First;
        image->likeEndRow_ = rows.End;
    }
};

namespace hostimpl {

// IEEE binary16 <-> binary32. Half to float is exact; float to half rounds
// to nearest, ties to even, overflows to infinity and keeps NaN a NaN.
inline float HalfToFloat(uint16_t h) {
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1fu;
    const uint32_t mantissa = h & 0x3ffu;
    if (exponent == 0) {
        // Zero or subnormal: mantissa * 2^-24, exact in float.
        const float magnitude = float(mantissa) * 5.9604644775390625e-8f;
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 31)
        return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

inline uint16_t FloatToHalf(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint16_t sign = uint16_t((bits >> 16) & 0x8000u);
    const uint32_t magnitude = bits & 0x7fffffffu;
    if (magnitude > 0x7f800000u) {
        // NaN: keep the top payload bits and make sure it stays a NaN.
        return uint16_t(sign | 0x7e00u | ((magnitude >> 13) & 0x3ffu));
    }
    if (magnitude >= 0x477ff000u)   // 65520 and above round to infinity
        return uint16_t(sign | 0x7c00u);
    if (magnitude < 0x38800000u) {   // below 2^-14: subnormal half or zero
        const uint32_t exponent = magnitude >> 23;
        const uint32_t shift = 126 - exponent;   // value * 2^24 = full >> shift
        if (shift > 24)
            return sign;
        const uint32_t full = (magnitude & 0x7fffffu) | 0x800000u;
        uint32_t result = full >> shift;
        const uint32_t rest = full & ((1u << shift) - 1);
        const uint32_t halfway = 1u << (shift - 1);
        if (rest > halfway || (rest == halfway && (result & 1u)))
            ++result;
        return uint16_t(sign | result);
    }
    uint32_t result = (magnitude >> 13) - (112u << 10);
    const uint32_t rest = magnitude & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (result & 1u)))
        ++result;   // a carry into the exponent is the right encoding
    return uint16_t(sign | result);
}

// Storage formats: how one stored channel maps to a float and back.
struct StoreUInt8 {
    using T = uint8_t;
    static float Read(T v) { return float(v) / 255.0f; }
    static T Write(float f) {
        if (!(f > 0.0f)) return 0;   // also NaN
        if (f >= 1.0f) return 255;
        return T(f * 255.0f + 0.5f);
    }
};

struct StoreUInt16 {
    using T = uint16_t;
    static float Read(T v) { return float(v) / 65535.0f; }
    static T Write(float f) {
        if (!(f > 0.0f)) return 0;
        if (f >= 1.0f) return 65535;
        return T(f * 65535.0f + 0.5f);
    }
};

struct StoreHalf {
    using T = uint16_t;
    static float Read(T v) { return HalfToFloat(v); }
    static T Write(float f) { return FloatToHalf(f); }
};

struct StoreFloat {
    using T = float;
    static float Read(T v) { return v; }
    static T Write(float f) { return f; }
};

// Calls fn with the storage traits of `format` (a known format).
template <class Fn>
void WithStore(int32_t format, Fn&& fn) {
    switch (format) {
    case Format_UInt8: fn(StoreUInt8{}); break;
    case Format_UInt16: fn(StoreUInt16{}); break;
    case Format_Half: fn(StoreHalf{}); break;
    default: fn(StoreFloat{}); break;
    }
}

// One pixel of a format, N stored channels (0 = the image's own count).
// Record floats that no stored channel holds read as 0, alpha as 1.
template <class S, int N>
inline void ReadStored(float* record, const typename S::T* p, const Image* image) {
    const int n = N > 0 ? N : image->Channels;
    if (n < 4) {
        record[0] = record[1] = record[2] = 0.0f;
        record[3] = 1.0f;
    }
    for (int k = 0; k < n; ++k)
        record[image->ChannelMap[k]] = S::Read(p[k]);
}

template <class S, int N>
inline void WriteStored(const float* record, typename S::T* p, const Image* image) {
    const int n = N > 0 ? N : image->Channels;
    for (int k = 0; k < n; ++k)
        p[k] = S::Write(record[image->ChannelMap[k]]);
}

// The pixel functions images carry.
template <class S, int N>
void ReadPixelFunc(float* record, int64_t offset0, int64_t, const Image* image) {
    ReadStored<S, N>(record, reinterpret_cast<const typename S::T*>(image->Group[0].Base + offset0), image);
}

template <class S, int N>
void WritePixelFunc(const float* record, int64_t offset0, int64_t, Image* image) {
    WriteStored<S, N>(record, reinterpret_cast<typename S::T*>(image->Group[0].Base + offset0), image);
    ImageStorage::MarkWritten(image);
}

inline void ReadFloatIdentity(float* record, int64_t offset0, int64_t, const Image* image) {
    std::memcpy(record, image->Group[0].Base + offset0, 4 * sizeof(float));
}

inline void WriteFloatIdentity(const float* record, int64_t offset0, int64_t, Image* image) {
    std::memcpy(image->Group[0].Base + offset0, record, 4 * sizeof(float));
    ImageStorage::MarkWritten(image);
}

// True when the image stores float record channels 0 to 3 in that order.
inline bool IsIdentityFloat(const Image* image) {
    return image->Format == Format_Float && image->Channels == 4 && image->ChannelMap[0] == 0 &&
           image->ChannelMap[1] == 1 && image->ChannelMap[2] == 2 && image->ChannelMap[3] == 3;
}

// Whole rows of `count` pixels of a four-channel image between its storage
// and records, with vector instructions where the format and the processor
// allow; the same bits as ReadStored and WriteStored. False when there is no
// such path for the image, and nothing was done.
bool ReadRowFast(const Image* image, const uint8_t* row, int32_t count, float* out);
bool WriteRowFast(const Image* image, const float* in, int32_t count, uint8_t* row);

}  // namespace hostimpl
