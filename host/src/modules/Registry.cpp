// The class registry: records link themselves in when made and out when
// destroyed.
#include <cstring>
#include <mutex>

#include "HostInternal.h"

namespace {

std::mutex& ListMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

RegistryList ClassRegistry;

Registry::Registry(RegistryList* list, HostID classID, const TagList& tags)
    : list_(list), classID_(classID), tags_(tags) {
    if (list_ == nullptr)
        return;
    list_->Link(this);
    using InitFunc = bool (*)(Registry*);
    if (auto init = reinterpret_cast<InitFunc>(const_cast<void*>(tags_.GetPointer(REG_Init)))) {
        // A class whose initialisation fails cannot be made: take it out.
        if (!init(this)) {
            list_->Unlink(this);
            list_ = nullptr;
        }
    }
}

Registry::~Registry() {
    if (list_ == nullptr)
        return;
    using CleanupFunc = void (*)(Registry*);
    if (auto cleanup = reinterpret_cast<CleanupFunc>(const_cast<void*>(tags_.GetPointer(REG_Cleanup))))
        cleanup(this);
    list_->Unlink(this);
}

const char* Registry::Name() const { return tags_.GetText(REG_Name, ""); }
const char* Registry::Description() const { return tags_.GetText(REG_Description, ""); }
const char* Registry::BuildText() const { return tags_.GetText(REG_BuildText, ""); }
int32_t Registry::BitmapID() const { return tags_.GetInt(REG_BitmapID, 0); }

HostID Registry::Parent() const {
    const auto* parent = static_cast<const HostID*>(tags_.GetPointer(REG_Parent));
    return parent ? *parent : HostID();
}

Operator* Registry::Create(const ScriptVal& table, const TagList& tags) const {
    auto create = reinterpret_cast<CreateFunc>(const_cast<void*>(tags_.GetPointer(REG_Create)));
    return create ? create(this, table, tags) : nullptr;
}

Registry* RegistryList::Find(HostID classID) const {
    if (classID.IsEmpty())
        return nullptr;
    std::lock_guard lock(ListMutex());
    for (Registry* record = head_; record != nullptr; record = record->next_)
        if (record->classID_ == classID)
            return record;
    return nullptr;
}

Registry* RegistryList::Find(const char* classID) const {
    const HostID id(classID, false);   // a text never interned names no class
    return Find(id);
}

std::vector<Registry*> RegistryList::Records() const {
    std::vector<Registry*> records;
    std::lock_guard lock(ListMutex());
    for (Registry* record = head_; record != nullptr; record = record->next_)
        records.push_back(record);
    return records;
}

void RegistryList::SetObserver(Observer observer) {
    std::lock_guard lock(ListMutex());
    observer_ = std::move(observer);
}

// Observers run outside the lock so that they may look at the list.
void RegistryList::Link(Registry* record) {
    Observer observer;
    {
        std::lock_guard lock(ListMutex());
        record->next_ = nullptr;
        Registry** tail = &head_;
        while (*tail != nullptr)
            tail = &(*tail)->next_;
        *tail = record;
        observer = observer_;
    }
    if (observer)
        observer(record, true);
}

void RegistryList::Unlink(Registry* record) {
    Observer observer;
    bool found = false;
    {
        std::lock_guard lock(ListMutex());
        for (Registry** at = &head_; *at != nullptr; at = &(*at)->next_) {
            if (*at == record) {
                *at = record->next_;
                record->next_ = nullptr;
                found = true;
                break;
            }
        }
        observer = observer_;
    }
    if (found && observer)
        observer(record, false);
}
