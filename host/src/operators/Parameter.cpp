// Reference counting and the bookkeeping of live parameters.
//
// Every live parameter is in a set; Recycle and Use check membership first,
// so giving back a reference of an object that is already gone stops the
// process with a message instead of corrupting memory. Destroyed objects are
// destroyed at once but their memory is held in a short quarantine, so that
// a fresh object cannot take the address of one just freed and make a late
// second Recycle look legitimate.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_set>

#include "HostInternal.h"

namespace {

struct LiveSet {
    std::mutex mutex;
    std::unordered_set<const Parameter*> objects;
    std::deque<void*> quarantine;

    ~LiveSet() {
        for (void* memory : quarantine)
            ::operator delete(memory);
    }
};

LiveSet& Live() {
    static LiveSet live;
    return live;
}

std::array<std::atomic<int64_t>, ParamKindCount> liveCounts{};

constexpr size_t QuarantineSize = 1024;

[[noreturn]] void NotAlive(const char* operation, const void* object) {
    std::fprintf(stderr, "HostSystem: %s of an object that is not alive (%p)\n", operation, object);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

Parameter::Parameter(ParamKind kind) : kind_(kind) {
    LiveSet& live = Live();
    {
        std::lock_guard lock(live.mutex);
        live.objects.insert(this);
    }
    liveCounts[static_cast<int>(kind)].fetch_add(1, std::memory_order_relaxed);
}

Parameter::~Parameter() = default;

void Parameter::Use() {
    LiveSet& live = Live();
    std::lock_guard lock(live.mutex);
    if (!live.objects.contains(this))
        NotAlive("Use", this);
    refs_.fetch_add(1, std::memory_order_relaxed);
}

void Parameter::Recycle() {
    LiveSet& live = Live();
    void* release = nullptr;
    {
        std::lock_guard lock(live.mutex);
        if (!live.objects.contains(this))
            NotAlive("Recycle", this);
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1)
            return;
        live.objects.erase(this);
    }
    liveCounts[static_cast<int>(kind_)].fetch_sub(1, std::memory_order_relaxed);
    void* memory = dynamic_cast<void*>(this);   // the allocation's start
    this->~Parameter();
    {
        std::lock_guard lock(live.mutex);
        live.quarantine.push_back(memory);
        if (live.quarantine.size() > QuarantineSize) {
            release = live.quarantine.front();
            live.quarantine.pop_front();
        }
    }
    ::operator delete(release);
}

Number* Number::New(double value) {
    Number* number = new Number();
    number->Value = value;
    return number;
}

Number::~Number() = default;

Point* Point::New(double x, double y) {
    Point* point = new Point();
    point->X = x;
    point->Y = y;
    return point;
}

Point::~Point() = default;

int64_t HostApp::LiveObjects(ParamKind kind) {
    const int index = static_cast<int>(kind);
    if (index < 0 || index >= ParamKindCount)
        return 0;
    return liveCounts[index].load(std::memory_order_relaxed);
}

int64_t HostApp::LiveObjects() {
    int64_t total = 0;
    for (const auto& count : liveCounts)
        total += count.load(std::memory_order_relaxed);
    return total;
}
