#include "FrameCache.h"

#include <algorithm>
#include <exception>

#include "FrameWarnings.h"
#include "HostSystem.h"

namespace tessellon {

FrameCache::FrameCache(std::vector<FrameFile> frames, Options options) : options_(std::move(options)) {
    std::sort(frames.begin(), frames.end(), [](const FrameFile& a, const FrameFile& b) { return a.Frame < b.Frame; });
    slots_.reserve(frames.size());
    for (FrameFile& file : frames) {
        Slot slot;
        slot.State = file.Exists ? SlotState::Pending : SlotState::Absent;
        if (file.Exists) ++toRead_;
        slot.File = std::move(file);
        slots_.push_back(std::move(slot));
    }
}

FrameCache::~FrameCache() {
    stopping_ = true;
    Finish();
    Release();
}

std::vector<FrameFile> FrameCache::Files() const {
    std::vector<FrameFile> files;
    for (const Slot& slot : slots_) files.push_back(slot.File);
    return files;
}

void FrameCache::Start() {
    started_ = lastDone_ = std::chrono::steady_clock::now();
    int threads = options_.Threads > 0 ? options_.Threads : int(std::thread::hardware_concurrency());
    threads = std::clamp(threads, 1, std::max(1, toRead_));
    if (toRead_ == 0) return;
    threads_.reserve(size_t(threads));
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

void FrameCache::Work() {
    for (;;) {
        if (stopping_ || failed_) return;
        const size_t index = next_.fetch_add(1);
        if (index >= slots_.size()) return;
        Slot& slot = slots_[index];
        if (slot.State == SlotState::Absent) continue;

        const auto begin = std::chrono::steady_clock::now();
        HostRef<Image> picture;
        std::string reason;
        try {
            // Frames handed over decoded are whole; a band's are read for its rows.
            if (options_.Decoded && !slot.File.Rows) picture.Reset(options_.Decoded(slot.File.Frame));
            if (!picture)
                picture.Reset(slot.File.Rows ? ReadImageFile(slot.File.Path, options_.Limits, options_.ImageContext,
                                                             *slot.File.Rows)
                                             : ReadImageFile(slot.File.Path, options_.Limits, options_.ImageContext));
            if (!picture) {
                reason = "the file gave no image";
            } else {
                // A band's frame holds only some of its rows.
                if (!slot.File.Rows) slot.Transparent = !HasOpaquePixel(*picture.Get());
                if (options_.Inspect) options_.Inspect(slot.File.Frame, *picture.Get());
            }
        } catch (const std::exception& e) {
            reason = e.what();
        } catch (...) {
            reason = "unknown failure";
        }
        const auto end = std::chrono::steady_clock::now();
        decodeNanos_ += std::chrono::duration_cast<std::chrono::nanoseconds>(end - begin).count();

        int done = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++slot.Decodes;
            if (picture) {
                slot.Picture = std::move(picture);
                slot.State = SlotState::Ready;
                ++decoded_;
            } else {
                slot.State = SlotState::Bad;
                slot.Reason = reason;
                // Several threads may fail at once; the message names the earliest frame.
                if (!options_.SkipBadFrames && (!failed_ || index < failedSlot_)) {
                    failedSlot_ = index;
                    failed_ = true;
                }
            }
            lastDone_ = end;
            done = ++finished_;
        }
        changed_.notify_all();
        if (options_.Progress) options_.Progress(done, toRead_);
    }
}

FrameCache::Slot* FrameCache::Find(int frame) {
    const auto it = std::lower_bound(slots_.begin(), slots_.end(), frame,
                                     [](const Slot& slot, int f) { return slot.File.Frame < f; });
    return it != slots_.end() && it->File.Frame == frame ? &*it : nullptr;
}

Image* FrameCache::Acquire(int frame) {
    Slot* slot = Find(frame);
    if (!slot) return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    ++requests_;
    const auto ready = [&] { return slot->State != SlotState::Pending || failed_ || stopping_ || threads_.empty(); };
    if (!ready()) {
        ++waits_;
        const auto begin = std::chrono::steady_clock::now();
        changed_.wait(lock, ready);
        waited_ += std::chrono::steady_clock::now() - begin;
    }
    if (failed_ || slot->State != SlotState::Ready || !slot->Picture) return nullptr;
    slot->Picture->Use();
    return slot->Picture.Get();
}

void FrameCache::Finish() {
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

void FrameCache::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
        if (slot.Picture) {
            slot.Picture.Reset();
            if (slot.State == SlotState::Ready) slot.State = SlotState::Absent;
        }
    }
}

BadFrame FrameCache::Failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) return {};
    const Slot& slot = slots_[failedSlot_];
    return BadFrame{slot.File.Frame, slot.File.Path, slot.Reason};
}

std::vector<BadFrame> FrameCache::Skipped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<BadFrame> bad;
    for (const Slot& slot : slots_)
        if (slot.State == SlotState::Bad) bad.push_back(BadFrame{slot.File.Frame, slot.File.Path, slot.Reason});
    return bad;
}

std::vector<int> FrameCache::TransparentFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> frames;
    for (const Slot& slot : slots_)
        if (slot.State != SlotState::Bad && slot.Transparent) frames.push_back(slot.File.Frame);
    return frames;
}

double FrameCache::ReadSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration<double>(lastDone_ - started_).count();
}

int FrameCache::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int FrameCache::Waits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
}

double FrameCache::WaitSeconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::chrono::duration<double>(waited_).count();
}

int FrameCache::MostDecodesOfOneFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int most = 0;
    for (const Slot& slot : slots_) most = std::max(most, slot.Decodes);
    return most;
}

double FrameCache::DecodeSeconds() const { return double(decodeNanos_.load()) * 1e-9; }

}  // namespace tessellon
