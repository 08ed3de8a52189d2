// What the tool tests share: the module loaded the way the host loads it,
// instances made through the registration record, and shots of synthetic
// frames served to an image input.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "HostApp.h"
#include "HostModule.h"
#include "HostSystem.h"
#include "StitchOperator.h"

struct Rgba {
    float r = 0, g = 0, b = 0, a = 0;
};

// A float image of w x h pixels, channels 0 to 3, filled by `pixel`.
inline Image* MakeImage(int32_t w, int32_t h, const std::function<Rgba(int32_t x, int32_t y)>& pixel) {
    Image* image = NewImage({Tag<IMG_Width>(w), Tag<IMG_Height>(h), Tag<IMG_Channel>(0), Tag<IMG_Channel>(1),
                             Tag<IMG_Channel>(2), Tag<IMG_Channel>(3), Tag<IMG_Format>(int32_t(Format_Float))});
    if (!image)
        return nullptr;
    std::vector<float> row(size_t(w) * 4);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            const Rgba p = pixel(x, y);
            row[size_t(x) * 4 + 0] = p.r;
            row[size_t(x) * 4 + 1] = p.g;
            row[size_t(x) * 4 + 2] = p.b;
            row[size_t(x) * 4 + 3] = p.a;
        }
        image->WriteSpan(0, y, w, row.data());
    }
    return image;
}

// Every pixel of an image, four floats each, rows from 0 up.
inline std::vector<float> Pixels(const Image* image) {
    std::vector<float> all(size_t(image->Width) * size_t(image->Height) * 4);
    for (int32_t y = 0; y < image->Height; ++y)
        image->ReadSpan(0, y, image->Width, all.data() + size_t(y) * size_t(image->Width) * 4);
    return all;
}

// Frames an image input serves: frame t yields its image (one new
// reference each time) when the shot has one, nothing otherwise.
class Shot {
public:
    Shot() = default;
    Shot(const Shot&) = delete;
    Shot& operator=(const Shot&) = delete;
    ~Shot() {
        for (auto& [frame, image] : frames_)
            image->Recycle();
    }

    Image* Add(int64_t frame, Image* image) {
        frames_[frame] = image;
        return image;
    }
    Image* At(int64_t frame) const {
        const auto it = frames_.find(frame);
        return it == frames_.end() ? nullptr : it->second;
    }
    void Serve(Input* input) const {
        input->SetImageSource([this](double time) -> Image* {
            const auto frame = static_cast<int64_t>(time);
            if (double(frame) != time)
                return nullptr;
            Image* image = At(frame);
            if (image)
                image->Use();
            return image;
        });
    }

private:
    std::map<int64_t, Image*> frames_;
};

// Each test starts from the module freshly loaded, finds the tool's record
// and gives everything back at the end, handlers included.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        module_ = LoadModule(TESSELLON_MODULE_PATH, &error);
        ASSERT_NE(module_, nullptr) << error;
        record_ = ClassRegistry.Find("Orvandel.Tessellon");
        ASSERT_NE(record_, nullptr);
    }

    void TearDown() override {
        for (Operator* op : ops_)
            delete op;
        ops_.clear();
        HostApp::SetProgressHandler(nullptr);
        HostApp::SetNotifyHandler(nullptr);
        HostApp::SetMessageBoxHandler(nullptr);
        HostApp::SetFetchLogging(false);
        HostApp::ClearFetchLog();
        // Whether the module really goes is for the unloading tests to check.
        if (module_)
            UnloadModule(module_);
    }

    // A new instance through the record, as the host makes one.
    StitchOperator* Create() {
        Operator* op = record_->Create(ScriptVal(), TagList());
        EXPECT_NE(op, nullptr);
        ops_.push_back(op);
        return static_cast<StitchOperator*>(op);
    }

    HostModule* module_ = nullptr;
    const Registry* record_ = nullptr;
    std::vector<Operator*> ops_;
};
