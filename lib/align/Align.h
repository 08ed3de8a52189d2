// Camera positions and angles estimated from the pictures alone.
//
// Every frame is related to frames before it: ORB features matched on a
// reduced copy and a RANSAC rigid fit give a first guess, which a robust
// Gauss-Newton refinement on the full-resolution pixels of the overlap
// brings to a fraction of a pixel (pixels that disagree, such as a moving
// object or a flickering light, are weighted away; a gain and an offset
// between the two frames' brightness are fitted along). Each frame is
// related to its neighbour and to earlier key frames at distances 2, 4, 8,
// ... while they overlap, and one least-squares adjustment over all those
// pairs places every frame against the start frame, so that small errors of
// neighbouring pairs do not add up along the shot.
//
// Coordinates: pixel (x, y) with row 0 at the bottom and y up, as the host
// stores images; angles counter-clockwise. A frame's pose is the camera's:
// its shift (in pixels) and roll against the start frame, so that the
// frame's point p shows what the start frame shows at
//     c + Shift + R(Angle) (p - c),   c the frame's centre.
// The picture's content moves the other way.
//
// A frame that cannot be related to any frame already placed (no overlap,
// too little texture, too few features that agree) is left out with its
// reason; it is never guessed.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

class Image;

namespace tessellon {

enum class AlignModel { Rigid, Shift };

// One frame to align: its number and its grey picture, CV_32FC1, row 0 the
// bottom row (as GreyOf makes it). Every frame has the start frame's size.
struct AlignFrame {
    int Frame = 0;
    cv::Mat Grey;
};

struct AlignSettings {
    AlignModel Model = AlignModel::Rigid;
    int Threads = 0;   // 0: every core; the result does not depend on it
    // The most frames whose pictures are held at once (see AlignSource);
    // 0: the threads. The result does not depend on it.
    int FramesAtOnce = 0;
    // Called after each batch of frames is related to the frames before it.
    std::function<void(int done, int total)> Progress;
};

// Frames to align, loaded as they are needed: Load(k) gives frame k of
// Count (k = 0 the start frame), each once, from any of the aligner's
// threads. The aligner holds the full pictures of at most FramesAtOnce
// frames at a time, and of the others only what their later pairs need
// (at most 0.5 MB for each level of its pyramid, whatever its size).
struct AlignSource {
    int Count = 0;
    std::function<AlignFrame(int k)> Load;
};

// The estimated pose of one frame against the start frame (frames[0]).
struct FramePose {
    int Frame = 0;
    bool Aligned = false;
    double ShiftX = 0.0, ShiftY = 0.0;   // pixels
    double Angle = 0.0;                  // degrees, counter-clockwise
    // 0 to 1: the share of the overlap's pixels that agree with the fit
    // (of its best pair); 1 for the start frame.
    double Confidence = 0.0;
    std::string Reason;                  // why a frame is not aligned
};

struct AlignResult {
    std::vector<FramePose> Poses;   // one per input frame, in their order
    int Pairs = 0;                  // pairs of frames related
    // The largest disagreement (pixels, over the frame's corners) between a
    // pair's own estimate and the adjusted poses.
    double WorstPairResidual = 0.0;
};

// Aligns `frames` (frames[0] the start frame) in the order given: each
// frame is related to the frames before it in the list. Throws Error (bad
// input) for an empty list, frames of different sizes or a picture that is
// not single-channel float, or frames smaller than 16 x 16.
AlignResult AlignFrames(const std::vector<AlignFrame>& frames, const AlignSettings& settings);
// The same, loading the frames as it goes; throws whatever Load throws.
AlignResult AlignFrames(const AlignSource& source, const AlignSettings& settings);

// The grey picture of a host image: (r + g + b) / 3 per pixel, row 0 at the
// bottom, CV_32FC1.
cv::Mat GreyOf(const Image& image);

// The grey picture of rows [firstRow, endRow) of a host image (row 0 the
// bottom; rows it does not hold read as 0), `factor` times smaller: each
// pixel the mean of a factor x factor block, the columns and rows past the
// last whole block left out. CV_32FC1, its row 0 the block of firstRow.
cv::Mat ReducedGreyOf(const Image& image, int factor, int firstRow, int endRow);

// ReducedGreyOf of a frame whose rows come in pieces, as a render in bands
// reads them: each Add takes rows of an image of the frame's size, in any
// order, a row given again counting once. A block is summed once all its
// rows are in, its rows in order, so the picture is ReducedGreyOf's of the
// whole frame bit for bit. Holds the rows of blocks only partly in.
class ReducedGrey {
public:
    ReducedGrey(int width, int height, int factor, int firstRow, int endRow);
    // Rows [rows.first, rows.second) of `image` (those it does not hold
    // read as 0); rows outside [firstRow, endRow) are passed over.
    void Add(const Image& image, std::pair<int, int> rows);
    // Every row of every block is in.
    bool Done() const { return blocksLeft_ == 0; }
    // The picture; call once, when Done.
    cv::Mat Take() { return std::move(grey_); }

private:
    void Sum(int block);

    int width_, factor_, firstRow_, blocksLeft_;
    float scale_;
    cv::Mat grey_;
    std::vector<std::vector<float>> rows_;   // (r + g + b) * scale of rows in, until their block is summed
    std::vector<int> in_;                    // rows in, each block
    std::vector<bool> seen_;                 // each row
};

// Frame b's motion in frame a's place (its pose against a, pixels and
// degrees of the full frame of fullWidth x fullHeight), measured on grey
// pictures that ReducedGreyOf made `factor` times smaller from the same rows
// of both, starting at `firstRow`. Aligned is false with a reason when the
// two cannot be related. Throws as AlignFrames.
FramePose RelatePair(const AlignFrame& a, const AlignFrame& b, AlignModel model, int factor, int firstRow,
                     int fullWidth, int fullHeight);

// Each frame's motion against the frame before it in the list, measured
// from the two pictures alone: its pose in the previous frame's place (the
// first frame's is the identity). Aligned is false with a reason for a
// pair that cannot be related. For checking a track. Throws as AlignFrames.
std::vector<FramePose> RelateNeighbours(const std::vector<AlignFrame>& frames, const AlignSettings& settings);

}  // namespace tessellon
