// Worker threads. This is the only file that knows about oneTBB; without it
// the chunks run on plain threads.
#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "HostInternal.h"

#if defined(HOST_HAVE_TBB)
#  include <tbb/blocked_range.h>
#  include <tbb/global_control.h>
#  include <tbb/parallel_for.h>
#  include <tbb/task_arena.h>
#endif

namespace {

std::atomic<int> workerCount{0};

int Cores() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(n);
}

// The first exception of a run; later ones are dropped.
class FirstError {
public:
    void Keep(std::exception_ptr error) {
        std::lock_guard lock(mutex_);
        if (!error_)
            error_ = std::move(error);
    }
    void Rethrow() {
        if (error_)
            std::rethrow_exception(error_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr error_;
};

#if defined(HOST_HAVE_TBB)
// oneTBB caps its thread pool at the core count; a host asked for more
// workers than cores gets them, so that the count set is the count used.
void AllowParallelism(int threads) {
    static std::mutex mutex;
    static std::unique_ptr<tbb::global_control> control;
    static int allowed = 0;
    std::lock_guard lock(mutex);
    if (threads <= allowed || threads <= Cores())
        return;
    control = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, size_t(threads));
    allowed = threads;
}
#endif

}  // namespace

void HostApp::SetWorkerCount(int count) { workerCount.store(std::max(count, 0), std::memory_order_relaxed); }

int HostApp::WorkerCount() { return workerCount.load(std::memory_order_relaxed); }

void hostimpl::RunChunks(int32_t count, const std::function<void(int32_t)>& body) {
    if (count <= 0)
        return;
    const int setting = HostApp::WorkerCount();
    const int threads = int(std::min<int64_t>(setting > 0 ? setting : Cores(), count));
    FirstError error;
    const auto run = [&](int32_t chunk) {
        try {
            body(chunk);
        } catch (...) {
            error.Keep(std::current_exception());
        }
    };
    if (threads <= 1) {
        for (int32_t chunk = 0; chunk < count; ++chunk)
            run(chunk);
        error.Rethrow();
        return;
    }
#if defined(HOST_HAVE_TBB)
    AllowParallelism(threads);
    tbb::task_arena arena(threads);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<int32_t>(0, count, 1),
            [&](const tbb::blocked_range<int32_t>& range) {
                for (int32_t chunk = range.begin(); chunk != range.end(); ++chunk)
                    run(chunk);
            },
            tbb::simple_partitioner());
    });
#else
    std::atomic<int32_t> next{0};
    const auto worker = [&] {
        for (int32_t chunk = next.fetch_add(1); chunk < count; chunk = next.fetch_add(1))
            run(chunk);
    };
    std::vector<std::thread> pool;
    pool.reserve(size_t(threads - 1));
    for (int i = 1; i < threads; ++i)
        pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool)
        thread.join();
#endif
    error.Rethrow();
}
