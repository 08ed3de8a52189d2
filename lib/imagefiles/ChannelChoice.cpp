#include "ChannelChoice.h"

#include <algorithm>
#include <cstddef>

namespace tessellon {

namespace {

enum Role { Red, Green, Blue, Alpha, Grey, Other };

// A channel name taken apart: its view, its layer and the last part.
struct ChannelName {
    std::string View, Layer;
    Role Is = Other;
};

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

Role RoleOf(const std::string& last) {
    if (last.size() != 1) return Other;
    switch (last[0]) {
    case 'R': case 'r': return Red;
    case 'G': case 'g': return Green;
    case 'B': case 'b': return Blue;
    case 'A': case 'a': return Alpha;
    case 'Y': case 'y': return Grey;
    default: return Other;
    }
}

ChannelName Parse(const std::string& name, const std::vector<std::string>& views) {
    ChannelName parsed;
    const size_t last = name.rfind('.');
    parsed.Is = RoleOf(last == std::string::npos ? name : name.substr(last + 1));
    std::string prefix = last == std::string::npos ? std::string() : name.substr(0, last);
    if (!views.empty()) {
        parsed.View = views.front();
        const size_t dot = prefix.rfind('.');
        const std::string tail = dot == std::string::npos ? prefix : prefix.substr(dot + 1);
        if (!prefix.empty() && Contains(views, tail)) {
            parsed.View = tail;
            prefix = dot == std::string::npos ? std::string() : prefix.substr(0, dot);
        }
    }
    parsed.Layer = prefix;
    return parsed;
}

// "a, b, c", at most a dozen names and then how many more.
std::string ListOf(const std::vector<std::string>& names) {
    constexpr size_t Shown = 12;
    std::string text;
    for (size_t i = 0; i < names.size() && i < Shown; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > Shown) text += " and " + std::to_string(names.size() - Shown) + " more";
    return names.empty() ? "none" : text;
}

// "layer 'diffuse' of view 'right'", or nothing for the plain channels of a
// file without views.
std::string WhereOf(const std::string& layer, const std::string& view) {
    std::string where = layer.empty() ? std::string() : " in layer '" + layer + "'";
    if (!view.empty()) where += " of view '" + view + "'";
    return where;
}

// The first channel of the group in each role; upper case is taken before
// lower case where a file has both.
std::array<int, Other> FirstOfEachRole(const ChannelSet& file, const std::vector<ChannelName>& parsed,
                                       const std::vector<bool>& inGroup) {
    std::array<int, Other> first;
    first.fill(-1);
    for (bool upper : {true, false})
        for (size_t c = 0; c < parsed.size(); ++c) {
            const Role role = parsed[c].Is;
            if (!inGroup[c] || role == Other || first[role] >= 0) continue;
            const char letter = file.Names[c].back();
            if ((letter >= 'A' && letter <= 'Z') == upper) first[role] = int(c);
        }
    return first;
}

std::vector<std::string> LayersOf(const std::vector<ChannelName>& parsed, const std::string& view) {
    std::vector<std::string> layers;
    for (const ChannelName& p : parsed)
        if (p.View == view && !p.Layer.empty() && !Contains(layers, p.Layer)) layers.push_back(p.Layer);
    return layers;
}

// What the file holds besides the channels read, each view and layer once.
std::vector<std::string> UnreadOf(const ChannelSet& file, const std::vector<ChannelName>& parsed,
                                  const std::array<int, 4>& source, const std::string& view,
                                  const std::string& layer) {
    std::vector<std::string> unread;
    for (size_t c = 0; c < parsed.size(); ++c) {
        if (std::find(source.begin(), source.end(), int(c)) != source.end()) continue;
        std::string entry;
        if (parsed[c].View != view)
            entry = "view '" + parsed[c].View + "'";
        else if (parsed[c].Layer != layer && !parsed[c].Layer.empty())
            entry = "layer '" + parsed[c].Layer + "'";
        else
            entry = "channel '" + file.Names[c] + "'";
        if (!Contains(unread, entry)) unread.push_back(entry);
    }
    return unread;
}

}  // namespace

ChosenChannels ChooseChannels(const ChannelSet& file, const ImageReadChoice& choice) {
    ChosenChannels chosen;
    if (!choice.View.empty() && !Contains(file.Views, choice.View)) {
        chosen.Error = "has no view '" + choice.View + "' (" +
                       (file.Views.empty() ? std::string("it is not a multi-view file")
                                           : "its views: " + ListOf(file.Views)) + ")";
        return chosen;
    }
    const std::string view = !choice.View.empty() ? choice.View : file.Views.empty() ? "" : file.Views.front();

    std::vector<ChannelName> parsed;
    std::vector<bool> inGroup;
    for (const std::string& name : file.Names) {
        parsed.push_back(Parse(name, file.Views));
        inGroup.push_back(parsed.back().View == view && parsed.back().Layer == choice.Layer);
    }
    if (!choice.Layer.empty() && std::find(inGroup.begin(), inGroup.end(), true) == inGroup.end()) {
        chosen.Error = "has no layer '" + choice.Layer + "'" + WhereOf("", view) +
                       " (its layers: " + ListOf(LayersOf(parsed, view)) + ")";
        return chosen;
    }

    const std::array<int, Other> first = FirstOfEachRole(file, parsed, inGroup);
    std::array<int, 4>& source = chosen.Source;
    if (first[Red] >= 0 && first[Green] >= 0) {
        source = {first[Red], first[Green], first[Blue] >= 0 ? first[Blue] : SourceZero, SourceOne};
    } else if (first[Grey] >= 0) {
        source = {first[Grey], first[Grey], first[Grey], SourceOne};
    } else {
        chosen.Error = "has no colour channels (R and G, with or without B, or Y)" + WhereOf(choice.Layer, view) +
                       "; its channels: " + ListOf(file.Names);
        return chosen;
    }
    if (first[Alpha] >= 0)
        source[3] = first[Alpha];
    else if (file.Alpha >= 0 && size_t(file.Alpha) < file.Names.size() && inGroup[size_t(file.Alpha)] &&
             std::find(source.begin(), source.begin() + 3, file.Alpha) == source.begin() + 3 &&
             parsed[size_t(file.Alpha)].Is == Other)
        source[3] = file.Alpha;

    chosen.Unread = UnreadOf(file, parsed, source, view, choice.Layer);
    return chosen;
}

}  // namespace tessellon
