// Inputs and outputs: declared types, animation keys, image sources.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

#include "HostInternal.h"

namespace {

LinkType TypeFromTags(const TagList& tags) {
    if (!tags.Has(LINK_DataType))
        return LinkType::Button;
    const HostID type = tags.GetID(LINK_DataType);
    if (type == ID_Point)
        return LinkType::Point;
    if (type == ID_Image)
        return LinkType::Image;
    return LinkType::Number;   // ID_Number, and any type this host does not model
}

}  // namespace

HostApp::KeyedValue HostApp::ValueAt(const std::vector<Key>& keys, double time) {
    const size_t last = keys.size() - 1;
    if (!(time > keys.front().Time))   // also a NaN time
        return KeyedValue{keys.front().X, keys.front().Y, 0, 0};
    if (time >= keys.back().Time) return KeyedValue{keys.back().X, keys.back().Y, last, last};
    const auto next = std::upper_bound(keys.begin(), keys.end(), time,
                                       [](double t, const Key& k) { return t < k.Time; });
    const size_t b = size_t(next - keys.begin()), a = b - 1;
    const Key& ka = keys[a];
    const Key& kb = keys[b];
    // Exactly on a key: its value, whatever the next key holds.
    if (time == ka.Time) return KeyedValue{ka.X, ka.Y, a, a};
    const double f = (time - ka.Time) / (kb.Time - ka.Time);
    return KeyedValue{ka.X + (kb.X - ka.X) * f, ka.Y + (kb.Y - ka.Y) * f, a, b};
}

Link::Link(Operator* owner, HostID name, HostID id, const TagList& tags, bool isOutput)
    : owner_(owner), name_(name), id_(id), tags_(tags), isOutput_(isOutput), type_(TypeFromTags(tags)) {}

Link::~Link() = default;

struct Input::State {
    mutable std::mutex mutex;
    std::vector<HostApp::Key> keys;   // ascending time, one key per time
    double x = 0.0;                   // value without keys
    double y = 0.0;
    ImageSource source;

    void At(double time, double& outX, double& outY) const {
        if (keys.empty()) {
            outX = x;
            outY = y;
            return;
        }
        const HostApp::KeyedValue value = HostApp::ValueAt(keys, time);
        outX = value.X;
        outY = value.Y;
    }

    void Set(double time, double kx, double ky) {
        if (!std::isfinite(time))
            throw std::invalid_argument("animation key at a non-finite time");
        std::lock_guard lock(mutex);
        auto at = std::lower_bound(keys.begin(), keys.end(), time,
                                   [](const HostApp::Key& k, double t) { return k.Time < t; });
        if (at != keys.end() && at->Time == time)
            *at = HostApp::Key{time, kx, ky};
        else
            keys.insert(at, HostApp::Key{time, kx, ky});
    }
};

Input::Input(Operator* owner, HostID name, HostID id, const TagList& tags)
    : Link(owner, name, id, tags, false), state_(new State) {
    if (Type() == LinkType::Point) {
        state_->x = 0.5;
        state_->y = 0.5;
    } else if (Type() == LinkType::Number) {
        state_->x = tags.GetDouble(INP_Default, 0.0);
    }
}

Input::~Input() { delete state_; }

Parameter* Input::GetSource(double time) {
    hostimpl::LogFetch(this, time);
    switch (Type()) {
    case LinkType::Image: {
        ImageSource source;
        {
            std::lock_guard lock(state_->mutex);
            source = state_->source;
        }
        return source ? source(time) : nullptr;
    }
    case LinkType::Point: {
        double x = 0.0, y = 0.0;
        PointAt(time, x, y);
        return Point::New(x, y);
    }
    default:
        return Number::New(NumberAt(time));
    }
}

// The host's extra arguments (time extent, flags, tags) select nothing this
// host distinguishes: a value input delivers its value either way.
Parameter* Input::GetSourceAttrs(double time, Request*, uint32_t, uint32_t, const TagList&) {
    return GetSource(time);
}

void Input::SetImageSource(ImageSource source) {
    std::lock_guard lock(state_->mutex);
    state_->source = std::move(source);
}

void Input::SetKey(double time, double value) { state_->Set(time, value, 0.0); }

void Input::SetKey(double time, double x, double y) { state_->Set(time, x, y); }

void Input::ClearKeys() {
    std::lock_guard lock(state_->mutex);
    state_->keys.clear();
}

void Input::SetValue(double value) {
    std::lock_guard lock(state_->mutex);
    state_->keys.clear();
    state_->x = value;
    state_->y = 0.0;
}

void Input::SetValue(double x, double y) {
    std::lock_guard lock(state_->mutex);
    state_->keys.clear();
    state_->x = x;
    state_->y = y;
}

double Input::NumberAt(double time) const {
    double x = 0.0, y = 0.0;
    std::lock_guard lock(state_->mutex);
    state_->At(time, x, y);
    return x;
}

void Input::PointAt(double time, double& x, double& y) const {
    std::lock_guard lock(state_->mutex);
    state_->At(time, x, y);
}

Output::Output(Operator* owner, HostID name, HostID id, const TagList& tags) : Link(owner, name, id, tags, true) {}

Output::~Output() = default;
