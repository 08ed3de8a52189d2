// The frames of one render, read and decoded ahead of the tool.
//
// The tool asks for the frames of its range one after the other on the
// render thread (the start frame twice). The cache decodes every frame of
// the range once, on threads of its own, in ascending order and several at a
// time, and hands the tool another reference to the decoded image when it
// asks; the tool only waits for a frame that is not decoded yet.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HostSystem.h"
#include "ImageFiles.h"

class Image;

namespace tessellon {

// One frame of the range and its file.
struct FrameFile {
    int Frame = 0;
    std::string Path;
    bool Exists = false;   // a frame without a file has no image and is never read
    std::optional<FrameRows> Rows = {};   // the rows a band needs; none: every row
};

// A frame that could not be read, and why.
struct BadFrame {
    int Frame = 0;
    std::string Path;
    std::string Reason;
};

class FrameCache {
public:
    struct Options {
        ImageLimits Limits;
        int Threads = 0;              // decoding threads; 0: one per core
        bool SkipBadFrames = false;   // an unreadable file is a frame without an image
        void* ImageContext = nullptr;
        // Called on a decoding thread after each frame, with the frames done
        // and the frames to read.
        std::function<void(int done, int total)> Progress;
        // A frame decoded already, handed over (one reference), or null for
        // one to be read from its file.
        std::function<Image*(int frame)> Decoded;
        // Shown each frame once it is decoded, on the decoding thread; a
        // band's frame holds only the band's rows (HostApp::StoredRows).
        // Must not throw.
        std::function<void(int frame, const Image& image)> Inspect;
    };

    FrameCache(std::vector<FrameFile> frames, Options options);
    // Stops the decoding threads and gives back every image still held.
    ~FrameCache();
    FrameCache(const FrameCache&) = delete;
    FrameCache& operator=(const FrameCache&) = delete;

    // The frames of the range, ascending.
    std::vector<FrameFile> Files() const;

    // Starts decoding; returns at once.
    void Start();

    // The image of `frame` with one reference for the caller, or null for a
    // frame outside the range, without a file, or unreadable. Waits until the
    // frame is decoded. Once a frame has failed (and bad frames are not
    // skipped) every later call returns null without waiting: the render is
    // lost and only needs to end.
    Image* Acquire(int frame);

    // Waits for every decoding thread to end.
    void Finish();
    // Gives back the cache's references; Acquire yields null afterwards.
    void Release();

    // After Finish: the first unreadable frame when bad frames are not
    // skipped (Frame is then meaningful only if Failed()).
    bool Failed() const { return failed_.load(); }
    BadFrame Failure() const;
    // After Finish: the frames skipped as unreadable, ascending.
    std::vector<BadFrame> Skipped() const;
    // The frames decoded so far without a fully opaque pixel.
    std::vector<int> TransparentFrames() const;
    // The frames that were decoded into an image.
    int Decoded() const { return decoded_.load(); }
    // Calls of Acquire for frames of the range, those that had to wait for
    // their frame, and the time they waited.
    int Requests() const;
    int Waits() const;
    double WaitSeconds() const;
    // The most times any one file was decoded (1 when all went well).
    int MostDecodesOfOneFile() const;
    // Wall time from Start to the last frame decoded, and the decoding time
    // summed over the threads.
    double ReadSeconds() const;
    double DecodeSeconds() const;

private:
    enum class SlotState { Pending, Ready, Bad, Absent };
    struct Slot {
        FrameFile File;
        SlotState State = SlotState::Pending;
        HostRef<Image> Picture;
        std::string Reason;
        int Decodes = 0;
        bool Transparent = false;   // decoded without a fully opaque pixel
    };

    void Work();
    Slot* Find(int frame);

    std::vector<Slot> slots_;
    Options options_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<int> decoded_{0};
    std::atomic<int> finished_{0};
    int toRead_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::steady_clock::time_point started_, lastDone_;
    std::atomic<int64_t> decodeNanos_{0};
    size_t failedSlot_ = 0;
    int requests_ = 0, waits_ = 0;
    std::chrono::steady_clock::duration waited_{};
};

}  // namespace tessellon
