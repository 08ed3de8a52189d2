#include "FrameWarnings.h"

#include <map>
#include <utility>

#include "Sequence.h"

namespace tessellon {

namespace {

std::string SizeOf(const ImageFileInfo& info) {
    return std::to_string(info.Width) + " x " + std::to_string(info.Height);
}

// "frame 3 is" / "frames 3-4 are", and the like.
std::string Frames(const std::vector<int>& list, const char* one, const char* several) {
    return std::string(list.size() == 1 ? "frame " : "frames ") + FrameListText(list) +
           (list.size() == 1 ? one : several);
}

}  // namespace

std::vector<std::string> FrameWarnings(const std::vector<PlannedFrame>& frames) {
    if (frames.empty()) return {};
    const ImageFileInfo& start = frames.front().Info;
    std::map<std::pair<int, int>, std::vector<int>> bySize;
    std::map<std::vector<std::string>, std::vector<int>> byUnread;
    std::vector<int> outside, empty;
    for (const PlannedFrame& frame : frames) {
        const ImageFileInfo& info = frame.Info;
        if (info.Width != start.Width || info.Height != start.Height)
            bySize[{info.Width, info.Height}].push_back(frame.Frame);
        if (!info.Unread.empty()) byUnread[info.Unread].push_back(frame.Frame);
        if (info.NoData)
            empty.push_back(frame.Frame);
        else if (info.DataOutside)
            outside.push_back(frame.Frame);
    }
    std::vector<std::string> warnings;
    for (const auto& [size, list] : bySize)
        warnings.push_back(Frames(list, " is ", " are ") + std::to_string(size.first) + " x " +
                           std::to_string(size.second) + ", not the start frame's " + SizeOf(start) +
                           " (placed at their own size on the start frame's canvas)");
    if (!empty.empty())
        warnings.push_back(Frames(empty, " has", " have") +
                           " no data inside the display window: all transparent (--data-window reads the data "
                           "window instead)");
    if (!outside.empty())
        warnings.push_back(Frames(outside, " has", " have") +
                           " data outside the display window, left out (--data-window keeps it)");
    for (const auto& [unread, list] : byUnread) {
        std::string what;
        for (const std::string& thing : unread) what += (what.empty() ? "" : ", ") + thing;
        warnings.push_back(Frames(list, " holds", " hold") + " more than is read: " + what +
                           " (--part, --view and --layer choose)");
    }
    return warnings;
}

bool HasOpaquePixel(const Image& image) {
    const int32_t w = image.Width, h = image.Height;
    std::vector<float> row(size_t(w) * 4);
    for (int32_t i = 0; i < h; ++i) {
        // The middle row, then one above and one below it, and so on.
        const int32_t y = h / 2 + (i % 2 ? (i + 1) / 2 : -(i / 2));
        image.ReadSpan(0, y, w, row.data());
        for (int32_t x = 0; x < w; ++x)
            if (row[size_t(x) * 4 + 3] == 1.0f) return true;
    }
    return false;
}

std::string NoOpaqueWarning(const std::vector<int>& frames) {
    if (frames.empty()) return {};
    return Frames(frames, " has", " have") +
           " no fully opaque pixel: the tool keeps only pixels of alpha 1, so they add nothing (is their alpha "
           "what the files mean?)";
}

}  // namespace tessellon
