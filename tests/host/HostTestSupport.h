// Shared by the host tests: a fixture that checks every parameter came back
// and puts the host application's settings back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "HostApp.h"
#include "HostSystem.h"

class HostTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(HostApp::LiveObjects(), 0) << "the test left parameters alive";
        HostApp::SetWorkerCount(0);
        HostApp::SetImageByteLimit(uint64_t(8) << 30);
        HostApp::SetProgressHandler(nullptr);
        HostApp::SetNotifyHandler(nullptr);
        HostApp::SetMessageBoxHandler(nullptr);
        HostApp::SetChunksHandler(nullptr);
        HostApp::SetFetchLogging(false);
        HostApp::ClearFetchLog();
    }
};

// One reference held for a test, given back when it goes.
template <class T>
using Held = HostRef<T>;

// An image of the given shape; channel map 0, 1, 2, 3 unless one is given.
inline Image* MakeImage(int32_t width, int32_t height, int32_t format = Format_Float,
                        std::vector<int32_t> channels = {}) {
    TagList tags{Tag<IMG_Width>(width), Tag<IMG_Height>(height), Tag<IMG_Format>(format)};
    for (int32_t c : channels)
        tags.Add(Tag<IMG_Channel>(c));
    return NewImage(tags);
}
