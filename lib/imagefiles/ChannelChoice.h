// Which of an image file's channels become the colour and alpha of a frame,
// chosen by the channels' names alone. No image library: every reader of
// every build shares the one rule.
//
// Names follow the EXR convention: "R", "G", "B", "A" (or "Y" for grey)
// with an optional layer before a dot ("diffuse.R"); in a multi-view file a
// view name stands right before the last part ("right.R",
// "diffuse.right.R"), and channels without a view name belong to the
// default (first) view. Upper and lower case letters are both taken.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace tessellon {

// How the caller wants the frames read.
struct ImageReadChoice {
    std::string Layer;        // read NAME.R, NAME.G, ...; empty: the channels without a layer
    std::string View;         // a view of a multi-view file; empty: its default view
    std::string Part;         // a part of a multi-part file, by number (from 0) or name; empty: the first with colour
    bool DataWindow = false;  // the frame is the data window (overscan kept), not the display window
    std::string ColorSpace;   // what the pixels are in, whatever the files say; empty: as the files say
};

// Source values besides a channel index.
inline constexpr int SourceOne = -1;    // a constant 1 (alpha of a file without alpha)
inline constexpr int SourceZero = -2;   // a constant 0 (blue of a file with red and green only)

// One part of a file as its header names it.
struct ChannelSet {
    std::vector<std::string> Names;   // in the file's order
    int Alpha = -1;                   // the channel the file names as alpha, or -1
    std::vector<std::string> Views;   // a multi-view file's views, the default first; else empty
};

struct ChosenChannels {
    // For R, G, B and A: the file channel, SourceOne or SourceZero.
    std::array<int, 4> Source = {SourceZero, SourceZero, SourceZero, SourceOne};
    // Why nothing could be chosen (to follow the file's name); empty: chosen.
    std::string Error;
    // What the file holds besides the channels read, for the caller's
    // warnings: "view 'right'", "layer 'diffuse'", "channel 'Z'".
    std::vector<std::string> Unread;

    bool Chosen() const { return Error.empty(); }
};

// Colour is R, G and B of the chosen layer and view; Y alone is grey
// (R = G = B = Y); R and G alone give blue 0. Alpha is that layer's A, else
// the channel the file names as alpha when it lies in the same layer and
// view, else 1. A channel that is not alpha never becomes alpha. Refuses
// (Error) an unknown view or layer, and a layer without colour channels,
// listing what the file has.
ChosenChannels ChooseChannels(const ChannelSet& file, const ImageReadChoice& choice);

}  // namespace tessellon
