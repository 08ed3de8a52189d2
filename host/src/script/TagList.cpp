// Tag lists. Every text is copied into storage the list owns, so items keep
// pointing at valid text however the list is copied or moved.
#include "HostScript.h"

#include <cstring>

namespace {

std::unique_ptr<char[]> CopyText(const char* text) {
    const size_t size = std::strlen(text) + 1;
    auto copy = std::make_unique<char[]>(size);
    std::memcpy(copy.get(), text, size);
    return copy;
}

}  // namespace

TagList::TagList(std::initializer_list<TagItem> items) : items_(items) { CopyTexts(); }

TagList::TagList(const TagList& other) : items_(other.items_) { CopyTexts(); }

TagList& TagList::operator=(const TagList& other) {
    if (this != &other) {
        items_ = other.items_;
        CopyTexts();
    }
    return *this;
}

// Moving the vectors moves the heap blocks the items point into, so the
// pointers stay right.
TagList::TagList(TagList&&) noexcept = default;
TagList& TagList::operator=(TagList&&) noexcept = default;
TagList::~TagList() = default;

void TagList::CopyTexts() {
    std::vector<std::unique_ptr<char[]>> texts;
    for (TagItem& item : items_) {
        if (item.Kind() == TagKind::Text && item.Text != nullptr) {
            texts.push_back(CopyText(item.Text));
            item.Text = texts.back().get();
        }
    }
    texts_ = std::move(texts);
}

void TagList::Add(const TagItem& item) {
    TagItem copy = item;
    if (copy.Kind() == TagKind::Text && copy.Text != nullptr) {
        texts_.push_back(CopyText(copy.Text));
        copy.Text = texts_.back().get();
    }
    items_.push_back(copy);
}

namespace {

const TagItem* First(const std::vector<TagItem>& items, uint32_t tag, TagKind kind) {
    if (KindOfTag(tag) != kind)
        return nullptr;
    for (const TagItem& item : items)
        if (item.Tag == tag)
            return &item;
    return nullptr;
}

}  // namespace

bool TagList::Has(uint32_t tag) const {
    for (const TagItem& item : items_)
        if (item.Tag == tag)
            return true;
    return false;
}

int32_t TagList::GetInt(uint32_t tag, int32_t fallback) const {
    const TagItem* item = First(items_, tag, TagKind::Int);
    return item ? item->Int : fallback;
}

double TagList::GetDouble(uint32_t tag, double fallback) const {
    const TagItem* item = First(items_, tag, TagKind::Double);
    return item ? item->Double : fallback;
}

const char* TagList::GetText(uint32_t tag, const char* fallback) const {
    const TagItem* item = First(items_, tag, TagKind::Text);
    return item ? item->Text : fallback;
}

const void* TagList::GetPointer(uint32_t tag, const void* fallback) const {
    const TagItem* item = First(items_, tag, TagKind::Pointer);
    return item ? item->Pointer : fallback;
}

HostID TagList::GetID(uint32_t tag, HostID fallback) const {
    const TagItem* item = First(items_, tag, TagKind::ID);
    return item ? HostID::FromValue(item->ID) : fallback;
}

std::vector<TagItem> TagList::All(uint32_t tag) const {
    std::vector<TagItem> values;
    for (const TagItem& item : items_)
        if (item.Tag == tag)
            values.push_back(item);
    return values;
}
