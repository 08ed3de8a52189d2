// The frame cache: each file decoded once, references handed out and given
// back, missing and unreadable frames.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "FrameCache.h"
#include "HostApp.h"
#include "HostSystem.h"
#include "ImageFiles.h"

using namespace tessellon;
namespace fs = std::filesystem;

namespace {

class FrameCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tessellon-cache-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        live_ = HostApp::LiveObjects();
    }
    void TearDown() override {
        fs::remove_all(dir_);
        EXPECT_EQ(HostApp::LiveObjects(), live_) << "a reference was not given back";
    }

    // A 4 x 3 float frame whose red channel holds the frame number.
    std::string WriteFrame(int frame) {
        Image* image = NewImage({Tag<IMG_Width>(4), Tag<IMG_Height>(3)});
        std::vector<float> row(16, 1.0f);
        for (int x = 0; x < 4; ++x) row[size_t(x) * 4] = float(frame);
        for (int y = 0; y < 3; ++y) image->WriteSpan(0, y, 4, row.data());
        const std::string path = Path(frame);
        WriteImageFile(*image, path);
        image->Recycle();
        return path;
    }
    std::string Path(int frame) const { return (dir_ / ("f." + std::to_string(frame) + ".exr")).string(); }

    static float Red(const Image* image) {
        float pixel[4];
        image->ReadSpan(0, 0, 1, pixel);
        return pixel[0];
    }

    fs::path dir_;
    int64_t live_ = 0;
};

TEST_F(FrameCacheTest, DecodesEachFileOnceAndHandsOutReferences) {
    std::vector<FrameFile> files;
    for (int frame : {3, 1, 2}) files.push_back(FrameFile{frame, WriteFrame(frame), true});
    files.push_back(FrameFile{4, Path(4), false});   // no file: never read
    std::vector<std::pair<int, int>> reports;
    std::mutex reportsMutex;
    FrameCache::Options options;
    options.Threads = 2;
    options.Progress = [&](int done, int total) {
        std::lock_guard<std::mutex> lock(reportsMutex);
        reports.emplace_back(done, total);
    };
    {
        FrameCache cache(files, options);
        cache.Start();
        Image* first = cache.Acquire(1);
        Image* again = cache.Acquire(1);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(first, again) << "the start frame is asked for twice but decoded once";
        EXPECT_EQ(first->References(), 3);   // the cache's and the two handed out
        EXPECT_EQ(Red(first), 1.0f);
        Image* third = cache.Acquire(3);
        ASSERT_NE(third, nullptr);
        EXPECT_EQ(Red(third), 3.0f);
        EXPECT_EQ(cache.Acquire(4), nullptr);
        EXPECT_EQ(cache.Acquire(5), nullptr);
        cache.Finish();
        EXPECT_EQ(cache.Decoded(), 3);
        EXPECT_EQ(cache.MostDecodesOfOneFile(), 1);
        EXPECT_EQ(cache.Requests(), 4) << "calls for frames of the range, the frame without a file included";
        EXPECT_LE(cache.Waits(), 2) << "only the first call for frames 1 and 3 can wait";
        EXPECT_GE(cache.WaitSeconds(), 0.0);
        EXPECT_FALSE(cache.Failed());
        EXPECT_TRUE(cache.Skipped().empty());
        cache.Release();
        EXPECT_EQ(first->References(), 2);
        EXPECT_EQ(cache.Acquire(3), nullptr) << "nothing after Release";
        first->Recycle();
        again->Recycle();
        third->Recycle();
    }
    ASSERT_EQ(reports.size(), 3u);
    std::sort(reports.begin(), reports.end());
    EXPECT_EQ(reports.back(), std::make_pair(3, 3));
}

TEST_F(FrameCacheTest, UnreadableFrames) {
    struct Case {
        bool Skip;
        int Threads;
    };
    for (const Case c : {Case{false, 1}, Case{false, 3}, Case{true, 1}, Case{true, 3}}) {
        SCOPED_TRACE(std::string(c.Skip ? "skipping" : "not skipping") + ", threads " + std::to_string(c.Threads));
        std::vector<FrameFile> files;
        for (int frame = 1; frame <= 4; ++frame) files.push_back(FrameFile{frame, WriteFrame(frame), true});
        std::ofstream(Path(2), std::ios::binary | std::ios::trunc) << "not an image at all";
        std::ofstream(Path(3), std::ios::binary | std::ios::trunc) << "nor this";
        FrameCache::Options options;
        options.Threads = c.Threads;
        options.SkipBadFrames = c.Skip;
        FrameCache cache(files, options);
        cache.Start();
        std::vector<Image*> got;
        for (int frame = 1; frame <= 4; ++frame) got.push_back(cache.Acquire(frame));
        cache.Finish();
        EXPECT_EQ(got[1], nullptr);
        EXPECT_EQ(got[2], nullptr);
        if (c.Skip) {
            EXPECT_FALSE(cache.Failed());
            ASSERT_EQ(cache.Skipped().size(), 2u);
            EXPECT_EQ(cache.Skipped()[0].Frame, 2);
            EXPECT_NE(cache.Skipped()[0].Reason.find(Path(2)), std::string::npos) << cache.Skipped()[0].Reason;
            ASSERT_NE(got[3], nullptr);
            EXPECT_EQ(Red(got[3]), 4.0f);
        } else {
            ASSERT_TRUE(cache.Failed());
            // Threads may fail in any order; the message names the earliest frame.
            EXPECT_EQ(cache.Failure().Frame, 2);
            EXPECT_NE(cache.Failure().Reason.find(Path(2)), std::string::npos) << cache.Failure().Reason;
            EXPECT_EQ(got[3], nullptr) << "a lost render gets no more frames";
        }
        for (Image* image : got)
            if (image) image->Recycle();
    }
}

TEST_F(FrameCacheTest, GoingAwayMidRenderGivesEverythingBack) {
    std::vector<FrameFile> files;
    for (int frame = 1; frame <= 6; ++frame) files.push_back(FrameFile{frame, WriteFrame(frame), true});
    FrameCache::Options options;
    options.Threads = 2;
    FrameCache cache(files, options);
    cache.Start();
    Image* first = cache.Acquire(1);
    ASSERT_NE(first, nullptr);
    first->Recycle();
    // The destructor stops the threads and gives back what they decoded.
}

}  // namespace
