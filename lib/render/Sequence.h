// Image sequences named by a pattern, with the conventions of OpenImageIO's
// tools: "%04d"-style printf conversions, "#" for four digits and "@" for
// one, and an optional frame range in the pattern ("shot.1-48#.exr").
// A frame's file name is the conversion applied to its number, so negative
// frames read "shot.-001.exr" under "%04d".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessellon {

struct FrameSequence {
    std::string Pattern;          // as the user gave it
    std::string Directory;        // where the frames are ("." when the pattern names none)
    std::string Prefix, Suffix;   // of the file name, around the frame number
    int Width = 0;                // the conversion's width
    bool ZeroPad = false;         // "%04d" rather than "%4d"
    std::vector<int> Listed;      // frames the pattern's own range names, else empty
};

// Parses a pattern. Throws Error (bad input) for a pattern without a
// frame number, with more than one, or with a number in a directory name.
FrameSequence ParseFramePattern(const std::string& pattern);

// The file of frame `frame`.
std::string FramePath(const FrameSequence& sequence, int frame);

// Whether `fileName` (a name without folder) is the file of some frame of
// the sequence, and which.
bool MatchFrame(const FrameSequence& sequence, const std::string& fileName, int& frame);

// The frames whose files (or directories, or anything else of that name)
// exist, ascending. Negative frames included; when the pattern lists
// frames, only those.
std::vector<int> FindFrames(const FrameSequence& sequence);

// Frames as ranges for messages: {1, 2, 3, 7, 9, 10} gives "1-3, 7, 9-10";
// a range with a negative end reads "-3 to -1".
std::string FrameListText(const std::vector<int>& frames);
// One range [first, last] as FrameListText writes it.
std::string FrameRangeText(int64_t first, int64_t last);

}  // namespace tessellon
