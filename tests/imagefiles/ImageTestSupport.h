// What the image-file tests share.
#pragma once

#include <cstdint>
#include <vector>

#include "HostSystem.h"

// Host images read back as W * H records of four floats, host row 0 first.
inline std::vector<float> Pixels(const Image* image) {
    std::vector<float> out(size_t(image->Width) * image->Height * 4);
    for (int32_t y = 0; y < image->Height; ++y)
        image->ReadSpan(0, y, image->Width, out.data() + size_t(y) * image->Width * 4);
    return out;
}
