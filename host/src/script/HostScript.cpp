// Identifiers and script information.
#include "HostScript.h"

#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

// Texts are kept in a deque so that the pointers Text() hands out stay valid
// while the table grows; the map's keys view those same texts.
struct IdTable {
    std::mutex mutex;
    std::deque<std::string> texts;   // word w is texts[w - 1]
    std::unordered_map<std::string_view, uint32_t> words;
};

IdTable& Table() {
    static IdTable table;
    return table;
}

}  // namespace

HostID::HostID(const char* text, bool create) {
    if (text == nullptr || *text == '\0')
        return;
    IdTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto found = table.words.find(std::string_view(text));
    if (found != table.words.end()) {
        value_ = found->second;
        return;
    }
    if (!create)
        return;
    table.texts.emplace_back(text);
    value_ = static_cast<uint32_t>(table.texts.size());
    table.words.emplace(std::string_view(table.texts.back()), value_);
}

const char* HostID::Text() const {
    if (value_ == 0)
        return "";
    IdTable& table = Table();
    std::lock_guard lock(table.mutex);
    return value_ <= table.texts.size() ? table.texts[value_ - 1].c_str() : "";
}

HostID HostID::FromValue(uint32_t value) {
    HostID id;
    IdTable& table = Table();
    std::lock_guard lock(table.mutex);
    if (value <= table.texts.size())
        id.value_ = value;
    return id;
}

const HostID ID_Number("Number", true);
const HostID ID_Point("Point", true);
const HostID ID_Image("Image", true);
const HostID ID_ComboControl("ComboControl", true);
const HostID ID_SliderControl("SliderControl", true);
const HostID ID_OffsetControl("OffsetControl", true);
const HostID ID_ScrewControl("ScrewControl", true);
const HostID ID_ButtonControl("ButtonControl", true);

ScriptInfo::ScriptInfo(unsigned long version, const char* className, const char* baseName,
                       const char* help)
    : version_(version),
      className_(className ? className : ""),
      baseName_(baseName ? baseName : ""),
      help_(help ? help : "") {}

ScriptInfo::~ScriptInfo() = default;

void* ScriptInfo::NativeToScript(void* object) { return object; }
void* ScriptInfo::ScriptToNative(void* object) { return object; }
