// The implementations of the header-only codecs, compiled once, without our
// warnings (they are not our code). tinyexr compresses with zlib; stb_image
// is built for PNG only, so that no other format is taken for one.
#include <zlib.h>

#define TINYEXR_IMPLEMENTATION
#include <tinyexr.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#include <stb_image.h>
