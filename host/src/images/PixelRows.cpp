// Rows of four-channel float and half pixels to and from records, a vector
// at a time. The results are those of ReadStored and WriteStored bit for bit:
// the processor's half conversions round as FloatToHalf does for every
// float, and the one case where they differ (a signalling NaN half, which
// the processor makes quiet) is redone pixel by pixel.
#include <cstring>

#include "ImageStorage.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#  include <cpuid.h>
#  include <immintrin.h>
#  define HOST_X86 1
#else
#  define HOST_X86 0
#endif

namespace hostimpl {
namespace {

// How the four stored channels sit in the record.
enum class Order { Same, SwapRB, Other };

Order OrderOf(const Image* image) {
    const int32_t* m = image->ChannelMap;
    if (m[0] == 0 && m[1] == 1 && m[2] == 2 && m[3] == 3) return Order::Same;
    if (m[0] == 2 && m[1] == 1 && m[2] == 0 && m[3] == 3) return Order::SwapRB;
    return Order::Other;
}

#if HOST_X86
// Exchanging channels 0 and 2 is its own inverse, so one shuffle serves
// both directions.
inline __m128 SwapRB(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2)); }

void ReadSwappedFloat(const float* p, float* out, int32_t count) {
    for (int32_t i = 0; i < count; ++i) _mm_storeu_ps(out + 4 * i, SwapRB(_mm_loadu_ps(p + 4 * i)));
}

void WriteSwappedFloat(const float* in, float* p, int32_t count) {
    for (int32_t i = 0; i < count; ++i) _mm_storeu_ps(p + 4 * i, SwapRB(_mm_loadu_ps(in + 4 * i)));
}

// Asked of the processor directly: clang's __builtin_cpu_supports knows no
// "f16c". The instructions use the AVX state, which the check for AVX
// includes (the system must save it).
bool HasF16C() {
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __builtin_cpu_supports("avx") && __get_cpuid(1, &a, &b, &c, &d) && (c & bit_F16C) != 0;
    }();
    return has;
}

__attribute__((target("f16c"))) void ReadHalfF16C(const uint16_t* p, float* out, int32_t count, bool swap,
                                                  const Image* image) {
    for (int32_t i = 0; i < count; ++i) {
        __m128 v = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 4 * i)));
        if (_mm_movemask_ps(_mm_cmpunord_ps(v, v)) != 0) {
            // A NaN: keep a signalling one's bits as they are.
            ReadStored<StoreHalf, 4>(out + 4 * i, p + 4 * i, image);
            continue;
        }
        if (swap) v = SwapRB(v);
        _mm_storeu_ps(out + 4 * i, v);
    }
}

__attribute__((target("f16c"))) void WriteHalfF16C(const float* in, uint16_t* p, int32_t count, bool swap) {
    for (int32_t i = 0; i < count; ++i) {
        __m128 v = _mm_loadu_ps(in + 4 * i);
        if (swap) v = SwapRB(v);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 4 * i), _mm_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
}
#endif

}  // namespace

bool ReadRowFast(const Image* image, const uint8_t* row, int32_t count, float* out) {
    if (image->Channels != 4) return false;
    const Order order = OrderOf(image);
    if (image->Format == Format_Float) {
        if (order == Order::Same) {
            std::memcpy(out, row, size_t(count) * 4 * sizeof(float));
            return true;
        }
#if HOST_X86
        if (order == Order::SwapRB) {
            ReadSwappedFloat(reinterpret_cast<const float*>(row), out, count);
            return true;
        }
#endif
        return false;
    }
#if HOST_X86
    if (image->Format == Format_Half && order != Order::Other && HasF16C()) {
        ReadHalfF16C(reinterpret_cast<const uint16_t*>(row), out, count, order == Order::SwapRB, image);
        return true;
    }
#endif
    return false;
}

bool WriteRowFast(const Image* image, const float* in, int32_t count, uint8_t* row) {
    if (image->Channels != 4) return false;
    const Order order = OrderOf(image);
    if (image->Format == Format_Float) {
        if (order == Order::Same) {
            std::memcpy(row, in, size_t(count) * 4 * sizeof(float));
            return true;
        }
#if HOST_X86
        if (order == Order::SwapRB) {
            WriteSwappedFloat(in, reinterpret_cast<float*>(row), count);
            return true;
        }
#endif
        return false;
    }
#if HOST_X86
    if (image->Format == Format_Half && order != Order::Other && HasF16C()) {
        WriteHalfF16C(in, reinterpret_cast<uint16_t*>(row), count, order == Order::SwapRB);
        return true;
    }
#endif
    return false;
}

}  // namespace hostimpl
