// Figures and names as messages write them.
#pragma once

#include <cstdint>
#include <string>

namespace tessellon {

// A path as messages quote it.
std::string Quoted(const std::string& path);

// A byte count for people: "512 B", "3.4 MiB", "12.0 GiB".
std::string ByteText(double bytes);

// A number as messages write it: up to ten significant digits ("%.10g").
std::string NumberText(double value);

// A size in whole pixels, each side truncated: "3808 x 1080".
std::string SizeText(double width, double height);

// Reads a byte count as options give it: "1073741824", "512M", "4G", "1.5T"
// (binary multiples; a trailing "B" or "iB" allowed). Throws
// std::invalid_argument for anything else, for zero and for overflow.
uint64_t ParseByteCount(const std::string& text);

}  // namespace tessellon
