// Operators: chunked processing on worker threads, progress, notifications,
// the message box stand-in.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "HostTestSupport.h"
#include "HostWindows.h"

namespace {

struct ChunkOperator : ThreadedOperator {
    ChunkOperator() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {}
    void ProcessChunk(Request* request, int32_t chunk) override { Body(request, chunk); }
    std::function<void(Request*, int32_t)> Body;
};

}  // namespace

using OperatorTest = HostTest;

TEST_F(OperatorTest, EveryChunkRunsExactlyOnce) {
    const struct { int workers; int32_t count; } cases[] = {
        {1, 1}, {1, 500}, {2, 3}, {4, 1000}, {0, 257}, {4, 0}, {4, -3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.workers << " workers, " << c.count << " chunks");
        HostApp::SetWorkerCount(c.workers);
        ChunkOperator op;
        std::vector<std::atomic<int>> calls(size_t(std::max(c.count, 0)));
        std::mutex mutex;
        std::set<std::thread::id> threads;
        Request request(&op, 0.0);
        std::atomic<int> wrongRequest{0};
        op.Body = [&](Request* r, int32_t chunk) {
            wrongRequest += r != &request;
            calls.at(size_t(chunk)).fetch_add(1);
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
        };
        EXPECT_TRUE(op.DoMultiProcess(&request, c.count));
        int notOnce = 0;
        for (auto& n : calls)
            notOnce += n.load() != 1;
        EXPECT_EQ(notOnce, 0);
        EXPECT_EQ(wrongRequest.load(), 0);
        if (c.workers == 1) {
            EXPECT_EQ(threads.size(), 1u);
        }
        if (c.workers > 0) {
            EXPECT_LE(threads.size(), size_t(c.workers));
        }
        if (c.count <= 0) {
            EXPECT_TRUE(threads.empty());
        }
    }
}

TEST_F(OperatorTest, ChunksRunOnSeveralThreadsAtOnce) {
    // Every chunk waits until two chunks are running at the same time; a
    // host that ran them one by one would never let the first one go.
    HostApp::SetWorkerCount(4);
    ChunkOperator op;
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, maxRunning = 0;
    std::set<std::thread::id> threads;
    op.Body = [&](Request*, int32_t) {
        std::unique_lock lock(mutex);
        threads.insert(std::this_thread::get_id());
        ++running;
        maxRunning = std::max(maxRunning, running);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return maxRunning >= 2; });
        --running;
    };
    op.DoMultiProcess(nullptr, 16);
    EXPECT_GE(maxRunning, 2);
    EXPECT_GE(threads.size(), 2u);
    EXPECT_LE(threads.size(), 4u);
}

TEST_F(OperatorTest, ExceptionReachesTheCallerAfterEveryChunkEnded) {
    for (int workers : {1, 4}) {
        SCOPED_TRACE(testing::Message() << workers << " workers");
        HostApp::SetWorkerCount(workers);
        ChunkOperator op;
        const int32_t count = 40;
        std::vector<std::atomic<int>> ended(count);
        op.Body = [&](Request*, int32_t chunk) {
            if (chunk == 39)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ended[size_t(chunk)] = 1;
            if (chunk == 3)
                throw std::runtime_error("chunk 3");
            if (chunk == 17)
                throw std::logic_error("chunk 17");
        };
        bool caught = false;
        try {
            op.DoMultiProcess(nullptr, count);
        } catch (const std::exception& e) {
            caught = true;
            int notEnded = 0;
            for (auto& e2 : ended)
                notEnded += e2.load() != 1;
            EXPECT_EQ(notEnded, 0) << "rethrown before every chunk had ended";
            const std::string what = e.what();
            EXPECT_TRUE(what == "chunk 3" || what == "chunk 17") << what;
            if (workers == 1) {
                EXPECT_EQ(what, "chunk 3") << "the first exception is the one kept";
            }
        }
        EXPECT_TRUE(caught);
    }
}

TEST_F(OperatorTest, TheHostApplicationSeesChunkedProcessingStartAndEnd) {
    struct Event {
        Operator* Op;
        int32_t Count;
        bool Done;
        int ChunksRun;
    };
    std::vector<Event> events;
    std::atomic<int> run{0};
    HostApp::SetChunksHandler([&](Operator* op, int32_t count, bool done) {
        events.push_back(Event{op, count, done, run.load()});
    });
    ChunkOperator op;
    op.Body = [&](Request*, int32_t) { ++run; };
    op.DoMultiProcess(nullptr, 5);
    op.Body = [&](Request*, int32_t chunk) {
        ++run;
        if (chunk == 2) throw std::runtime_error("chunk 2");
    };
    EXPECT_THROW(op.DoMultiProcess(nullptr, 3), std::runtime_error);
    ASSERT_EQ(events.size(), 4u);
    const Event expected[] = {{&op, 5, false, 0}, {&op, 5, true, 5}, {&op, 3, false, 5}, {&op, 3, true, 8}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(events[i].Op, expected[i].Op);
        EXPECT_EQ(events[i].Count, expected[i].Count);
        EXPECT_EQ(events[i].Done, expected[i].Done);
        EXPECT_EQ(events[i].ChunksRun, expected[i].ChunksRun) << "reported before the first or after the last chunk";
    }
}

TEST_F(OperatorTest, WorkerCountSetting) {
    EXPECT_EQ(HostApp::WorkerCount(), 0) << "default: all cores";
    HostApp::SetWorkerCount(3);
    EXPECT_EQ(HostApp::WorkerCount(), 3);
    HostApp::SetWorkerCount(-2);
    EXPECT_EQ(HostApp::WorkerCount(), 0);
}

TEST_F(OperatorTest, ProgressAndNotificationsReachTheHostApplication) {
    ChunkOperator op;
    op.SetProgress(0.5f);   // no handler: nothing happens
    std::vector<std::pair<Operator*, float>> progress;
    HostApp::SetProgressHandler([&](Operator* o, float f) { progress.emplace_back(o, f); });
    op.SetProgress(0.0f);
    op.SetProgress(0.25f);
    op.SetProgress(1.0f);
    ASSERT_EQ(progress.size(), 3u);
    EXPECT_EQ(progress[0].first, &op);
    EXPECT_EQ(progress[1].second, 0.25f);
    EXPECT_EQ(progress[2].second, 1.0f);

    Input* button = op.AddInput(HostID("About", true), HostID("About", true), TagList());
    Held<Number> value(Number::New(1.0));
    TagList tags{Tag<INP_ComboStyle>(5)};
    int notified = 0;
    HostApp::SetNotifyHandler([&](Operator* o, Input* in, Parameter* p, double t, TagList* tl) {
        ++notified;
        EXPECT_EQ(o, &op);
        EXPECT_EQ(in, button);
        EXPECT_EQ(p, value.Get());
        EXPECT_EQ(t, 12.0);
        EXPECT_EQ(tl, &tags);
    });
    op.NotifyChanged(button, value.Get(), 12.0, &tags);
    EXPECT_EQ(notified, 1);
}

TEST_F(OperatorTest, BaseOperationsAndClassIdentity) {
    ChunkOperator a, b;
    Request request(&a, 0.0);
    EXPECT_TRUE(a.PreProcess(&request));
    a.PostProcess(&request);
    a.Process(&request);
    a.PreCalcPreProcess(&request);
    a.ProcessGL(&request);
    a.RegionChanged(&request);
    a.ThreadMain();
    a.QuickProcessChunk(&request, 0);
    a.ThreadedOperator::ProcessChunk(&request, 0);
    EXPECT_STREQ(ThreadedOperator::ClassID.Text(), "ThreadedOperator");
    EXPECT_EQ(HostID("ThreadedOperator", false), ThreadedOperator::ClassID);
    EXPECT_NE(a.ImageContext, nullptr);
    EXPECT_NE(a.ImageContext, b.ImageContext);
    EXPECT_EQ(a.GetRegistry(), nullptr);
    EXPECT_TRUE(Operator::RegInit(nullptr));
}

TEST_F(OperatorTest, MessageBoxGoesToTheHandler) {
#if !defined(_WIN32)
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_OK), IDOK) << "no handler: OK";
    std::vector<std::tuple<std::string, std::string, unsigned>> shown;
    HostApp::SetMessageBoxHandler([&](const char* text, const char* caption, unsigned type) {
        shown.emplace_back(text, caption, type);
        return 7;
    });
    EXPECT_EQ(MessageBoxA(nullptr, "line 1\nline 2", "About this filter", MB_OK), 7);
    EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, 0x40), 7);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(std::get<0>(shown[0]), "line 1\nline 2");
    EXPECT_EQ(std::get<1>(shown[0]), "About this filter");
    EXPECT_EQ(std::get<2>(shown[0]), MB_OK);
    EXPECT_EQ(std::get<0>(shown[1]), "");
    EXPECT_EQ(std::get<2>(shown[1]), 0x40u);
#endif
}
