// Pixel memory. Large images are mapped from the system so that pages cost
// physical memory only once written; clearing a large image hands its pages
// back. Everything system-specific about memory is in this file.
#include "ImageStorage.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/mman.h>
#  include <unistd.h>
#endif

#if !defined(_WIN32)
namespace {

// Mapped storage given back while keeping is on, for the next images to take
// again. A page the process has already touched costs nothing to write
// again, where a fresh one costs a fault; under some virtual machines that
// fault is most of the time a render spends on memory. What is kept never
// adds to the peak: an image that finds nothing to take first gives back at
// least as much of what is kept as it maps anew.
class KeptPages {
public:
    void SetLimit(uint64_t bytes) {
        std::vector<Mapping> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            limit_ = bytes;
            while (kept_ > limit_) dropped.push_back(TakeLargest());
        }
        Unmap(dropped);
    }

    // Kept storage of at least `bytes` (a mapping's size), cut to `bytes`
    // and zeroed where `cleared`; null when nothing kept is large enough,
    // after giving back kept storage worth at least `bytes` to make room for
    // a fresh mapping.
    void* Take(uint64_t bytes, bool cleared) {
        Mapping found{};
        std::vector<Mapping> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (mappings_.empty()) return nullptr;
            size_t best = mappings_.size();
            for (size_t i = 0; i < mappings_.size(); ++i)
                if (mappings_[i].Bytes >= bytes && (best == mappings_.size() || mappings_[i].Bytes < mappings_[best].Bytes))
                    best = i;
            if (best < mappings_.size()) {
                found = mappings_[best];
                mappings_.erase(mappings_.begin() + ptrdiff_t(best));
                kept_ -= found.Bytes;
            } else {
                for (uint64_t freed = 0; freed < bytes && !mappings_.empty();) {
                    dropped.push_back(TakeLargest());
                    freed += dropped.back().Bytes;
                }
            }
        }
        Unmap(dropped);
        if (!found.Storage) return nullptr;
        if (found.Bytes > bytes) munmap(found.Storage + bytes, size_t(found.Bytes - bytes));
        if (cleared) ZeroResident(found.Storage, bytes);
        return found.Storage;
    }

    // Whether the mapping of `bytes` (a mapping's size) was kept.
    bool Keep(void* storage, uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kept_ + bytes > limit_) return false;
        mappings_.push_back({static_cast<uint8_t*>(storage), bytes});
        kept_ += bytes;
        return true;
    }

private:
    struct Mapping {
        uint8_t* Storage;
        uint64_t Bytes;
    };

    Mapping TakeLargest() {
        auto largest = std::max_element(mappings_.begin(), mappings_.end(),
                                        [](const Mapping& a, const Mapping& b) { return a.Bytes < b.Bytes; });
        const Mapping m = *largest;
        mappings_.erase(largest);
        kept_ -= m.Bytes;
        return m;
    }

    static void Unmap(const std::vector<Mapping>& mappings) {
        for (const Mapping& m : mappings) munmap(m.Storage, size_t(m.Bytes));
    }

    // Pages never written, or handed back, already read as zero; only the
    // ones present are cleared, so a sparse layer stays sparse.
    static void ZeroResident(uint8_t* storage, uint64_t bytes) {
        const uint64_t pages = bytes / ImageStorage::PageBytes;
        std::vector<unsigned char> present(static_cast<size_t>(pages));
        if (mincore(storage, size_t(bytes), present.data()) != 0) {
            std::memset(storage, 0, size_t(bytes));
            return;
        }
        for (uint64_t page = 0; page < pages;) {
            if (!(present[page] & 1)) {
                ++page;
                continue;
            }
            uint64_t end = page + 1;
            while (end < pages && (present[end] & 1)) ++end;
            std::memset(storage + page * ImageStorage::PageBytes, 0, size_t((end - page) * ImageStorage::PageBytes));
            page = end;
        }
    }

    std::mutex mutex_;
    std::vector<Mapping> mappings_;
    uint64_t kept_ = 0;
    uint64_t limit_ = 0;
};

KeptPages& Kept() {
    static KeptPages kept;
    return kept;
}

// What a mapping of `bytes` maps: rounded up to a sixteenth of its power of
// two, so that images of nearly the same size (the bands of a render differ
// by a row or two) can take one another's kept storage. The pages past the
// image's bytes are never touched and cost nothing.
uint64_t MappedBytes(uint64_t bytes) {
    uint64_t step = ImageStorage::PageBytes;
    while (step * 32 <= bytes) step *= 2;
    return (bytes + step - 1) & ~(step - 1);
}

// A fresh mapping of `bytes` (a mapping's size), starting on a huge page's
// boundary where it spans one: the system gives huge pages only to whole
// aligned 2 MiB stretches, so an unaligned frame would come mostly in 4 KiB
// pages, a fault each.
void* MapFresh(uint64_t bytes, int flags) {
    constexpr uint64_t Huge = uint64_t(2) << 20;
    if (bytes < Huge) return mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, flags, -1, 0);
    void* mapped = mmap(nullptr, size_t(bytes + Huge), PROT_READ | PROT_WRITE, flags, -1, 0);
    if (mapped == MAP_FAILED) return mapped;
    uint8_t* base = static_cast<uint8_t*>(mapped);
    uint8_t* start = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(base) + Huge - 1) & ~uintptr_t(Huge - 1));
    if (start > base) munmap(base, size_t(start - base));
    if (base + Huge > start) munmap(start + bytes, size_t(base + Huge - start));
    return start;
}

}  // namespace
#endif

void ImageStorage::KeepReleased(uint64_t bytes) {
#if defined(_WIN32)
    (void)bytes;
#else
    Kept().SetLimit(bytes);
#endif
}

void* ImageStorage::Allocate(uint64_t bytes, bool cleared) {
    if (bytes == 0 || bytes > uint64_t(SIZE_MAX))
        return nullptr;
    if (bytes < MappedThreshold)
        return std::calloc(1, size_t(bytes));
#if defined(_WIN32)
    (void)cleared;
    // Committed pages are backed by physical memory only when first touched.
    return VirtualAlloc(nullptr, size_t(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#  if defined(MAP_NORESERVE)
    // Sparse layers are the point: do not ask the system to set aside swap
    // for pages that are never written.
    flags |= MAP_NORESERVE;
#  endif
    void* storage = Kept().Take(MappedBytes(bytes), cleared);
    if (!storage) storage = MapFresh(MappedBytes(bytes), flags);
    if (storage == MAP_FAILED)
        return nullptr;
#  if defined(MADV_NOHUGEPAGE)
    // A huge page would make one written pixel cost 2 MiB; layers are sparse.
    madvise(storage, size_t(bytes), MADV_NOHUGEPAGE);
#  endif
    return storage;
#endif
}

void ImageStorage::AdviseDense(void* storage, uint64_t bytes) {
    if (storage == nullptr || bytes < MappedThreshold)
        return;
#if defined(MADV_HUGEPAGE)
    // Ignored where the system has no huge pages; the pages stay small then.
    madvise(storage, size_t(bytes), MADV_HUGEPAGE);
#endif
}

void ImageStorage::Populate(uint8_t* from, uint64_t bytes) {
#if defined(__linux__)
    // Linux 5.14 and later; older systems refuse the advice, and the pages
    // then come one fault at a time as before.
    constexpr int PopulateWrite = 23;   // MADV_POPULATE_WRITE
    const uintptr_t first = (reinterpret_cast<uintptr_t>(from) + PageBytes - 1) & ~uintptr_t(PageBytes - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(from) + bytes) & ~uintptr_t(PageBytes - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, PopulateWrite);
#else
    (void)from;
    (void)bytes;
#endif
}

bool ImageStorage::Resident(const void* at) {
#if defined(_WIN32)
    (void)at;
    return false;
#else
    const uintptr_t page = reinterpret_cast<uintptr_t>(at) & ~uintptr_t(PageBytes - 1);
    unsigned char present = 0;
    return mincore(reinterpret_cast<void*>(page), PageBytes, &present) == 0 && (present & 1);
#endif
}

void ImageStorage::Release(void* storage, uint64_t bytes, bool written) {
    if (storage == nullptr)
        return;
    if (bytes < MappedThreshold) {
        std::free(storage);
        return;
    }
#if defined(_WIN32)
    (void)written;
    VirtualFree(storage, 0, MEM_RELEASE);
#else
    if (!written || !Kept().Keep(storage, MappedBytes(bytes))) munmap(storage, size_t(MappedBytes(bytes)));
#endif
}

void ImageStorage::Zero(void* storage, uint64_t bytes) {
    if (storage == nullptr)
        return;
    if (bytes < MappedThreshold) {
        std::memset(storage, 0, size_t(bytes));
        return;
    }
#if defined(_WIN32)
    // Decommitting and committing again gives fresh zero pages.
    if (VirtualFree(storage, size_t(bytes), MEM_DECOMMIT) &&
        VirtualAlloc(storage, size_t(bytes), MEM_COMMIT, PAGE_READWRITE) != nullptr)
        return;
    std::memset(storage, 0, size_t(bytes));
#else
    // Private anonymous pages read as zero again after MADV_DONTNEED.
    if (madvise(storage, size_t(bytes), MADV_DONTNEED) != 0)
        std::memset(storage, 0, size_t(bytes));
#endif
}
