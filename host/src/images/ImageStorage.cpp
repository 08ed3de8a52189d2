// Pixel memory. Large images are mapped from the system so that pages cost
// physical memory only once written; clearing a large image hands its pages
// back. Everything system-specific about memory is in this file.
#include "ImageStorage.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/mman.h>
#endif

void* ImageStorage::Allocate(uint64_t bytes) {
    if (bytes == 0 || bytes > uint64_t(SIZE_MAX))
        return nullptr;
    if (bytes < MappedThreshold)
        return std::calloc(1, size_t(bytes));
#if defined(_WIN32)
    // Committed pages are backed by physical memory only when first touched.
    return VirtualAlloc(nullptr, size_t(bytes), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#  if defined(MAP_NORESERVE)
    // Sparse layers are the point: do not ask the system to set aside swap
    // for pages that are never written.
    flags |= MAP_NORESERVE;
#  endif
    void* storage = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, flags, -1, 0);
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

void ImageStorage::Release(void* storage, uint64_t bytes) {
    if (storage == nullptr)
        return;
    if (bytes < MappedThreshold) {
        std::free(storage);
        return;
    }
#if defined(_WIN32)
    VirtualFree(storage, 0, MEM_RELEASE);
#else
    munmap(storage, size_t(bytes));
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
