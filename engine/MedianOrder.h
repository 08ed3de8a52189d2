// The ascending order the median picks from.
//
// Numbers in their usual order, -0.0 just before +0.0, then every NaN, the
// NaNs among themselves by their bit patterns read as unsigned integers. The
// order is total and tells apart every two bit patterns, so the element at
// any index of the ascending order is one definite value, whichever
// selection algorithm finds it and whatever order the values came in.
#pragma once

#include <bit>
#include <cstdint>

// Unsigned key whose integer order is the median order for numbers. Every
// NaN maps to the one key above all numbers (MedianNaNKey); which NaN it was
// has to be resolved from the values themselves.
inline constexpr uint32_t MedianNaNKey = 0xFFFFFFFFu;

inline uint32_t MedianKey(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return MedianNaNKey;
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// The number a key other than MedianNaNKey came from.
inline float MedianValue(uint32_t key) {
    return std::bit_cast<float>((key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key);
}

// Strict "comes before" of the median order, for any two floats.
inline bool MedianBefore(float a, float b) {
    const uint32_t ka = MedianKey(a), kb = MedianKey(b);
    if (ka != kb) return ka < kb;
    if (ka != MedianNaNKey) return false;
    return std::bit_cast<uint32_t>(a) < std::bit_cast<uint32_t>(b);
}
