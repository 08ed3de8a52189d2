// HostScript: identifiers, script values, script information and tag lists.
//
// Everything here is shared by the host and the tools it loads. The library
// is small and has no dependencies beyond the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "HostExport.h"

// ---------------------------------------------------------------------------
// HostID: an interned identifier, one 32-bit word.
//
// HostID(text, true) returns the word for `text`, creating it on first use;
// HostID(text, false) only looks it up and yields the empty identifier (0)
// for a text never seen. Equal texts give equal words for the whole life of
// the process. Words are never reused, so a HostID needs no clean-up.
class HOSTSCRIPT_API HostID {
public:
    HostID() = default;
    HostID(const char* text, bool create);

    uint32_t Value() const { return value_; }
    bool IsEmpty() const { return value_ == 0; }
    // The text the identifier was built from ("" for the empty identifier).
    const char* Text() const;

    static HostID FromValue(uint32_t value);

    friend bool operator==(HostID a, HostID b) { return a.value_ == b.value_; }
    friend bool operator!=(HostID a, HostID b) { return a.value_ != b.value_; }

private:
    uint32_t value_ = 0;
};

// The identifiers that tools name when they declare inputs, built when the
// library loads, before any tool module is loaded.
HOSTSCRIPT_API extern const HostID ID_Number;
HOSTSCRIPT_API extern const HostID ID_Point;
HOSTSCRIPT_API extern const HostID ID_Image;
HOSTSCRIPT_API extern const HostID ID_ComboControl;
HOSTSCRIPT_API extern const HostID ID_SliderControl;
HOSTSCRIPT_API extern const HostID ID_OffsetControl;
HOSTSCRIPT_API extern const HostID ID_ScrewControl;
HOSTSCRIPT_API extern const HostID ID_ButtonControl;

// ---------------------------------------------------------------------------
// ScriptVal: a value of the host's scripting layer. The host passes one to
// every operator it creates; tools hand it on unchanged.
class HOSTSCRIPT_API ScriptVal {
public:
    ScriptVal() = default;
    explicit ScriptVal(double number) : isNumber_(true), number_(number) {}

    bool IsNil() const { return !isNumber_; }
    double Number() const { return number_; }

private:
    bool isNumber_ = false;
    double number_ = 0.0;
};

// ScriptInfo: how a class is seen from scripts. A tool derives one class
// from it and keeps one static instance that its registration record names.
class HOSTSCRIPT_API ScriptInfo {
public:
    ScriptInfo(unsigned long version, const char* className, const char* baseName,
               const char* help);
    virtual ~ScriptInfo();

    // Converts a native object to its script-side handle and back. The
    // defaults return the pointer unchanged.
    virtual void* NativeToScript(void* object);
    virtual void* ScriptToNative(void* object);

    unsigned long Version() const { return version_; }
    const std::string& ClassName() const { return className_; }

private:
    unsigned long version_;
    std::string className_, baseName_, help_;
};

// ---------------------------------------------------------------------------
// Tag lists: options passed as (tag, value) pairs. The top four bits of a tag
// give the kind of its value. A tag given more than once adds one value each
// time, kept in order.
enum class TagKind : uint8_t {
    Int = 0x1,      // 32-bit signed integer
    Double = 0x2,   // double
    Text = 0x3,     // 8-bit text (the list keeps its own copy)
    Pointer = 0x6,  // pointer to an object or a function
    ID = 0x8,       // HostID by value
};

constexpr TagKind KindOfTag(uint32_t tag) { return static_cast<TagKind>(tag >> 28); }

constexpr bool IsValidTag(uint32_t tag) {
    switch (tag >> 28) {
    case 0x1: case 0x2: case 0x3: case 0x6: case 0x8: return true;
    default: return false;
    }
}

struct TagItem {
    uint32_t Tag = 0;
    union {
        int32_t Int;
        double Double;
        const char* Text;
        const void* Pointer;
        uint32_t ID;
    };
    TagItem() : Double(0.0) {}
    TagKind Kind() const { return KindOfTag(Tag); }
};

// Tag<0x10020000>(640) builds one item and rejects, when the code is
// compiled, a value of the wrong kind for the tag: an integer for a double
// tag, a double for an integer tag, a text for a pointer tag, and so on.
template <uint32_t T>
struct TagKey {
    static_assert(T != 0, "tag 0 ends a list; it carries no value");
    static_assert(IsValidTag(T), "the top four bits of a tag must name a kind (1, 2, 3, 6 or 8)");
    static constexpr TagKind kind = KindOfTag(T);

    TagItem operator()(int32_t v) const requires(kind == TagKind::Int) {
        TagItem item; item.Tag = T; item.Int = v; return item;
    }
    TagItem operator()(double v) const requires(kind == TagKind::Double) {
        TagItem item; item.Tag = T; item.Double = v; return item;
    }
    TagItem operator()(const char* v) const requires(kind == TagKind::Text) {
        TagItem item; item.Tag = T; item.Text = v; return item;
    }
    TagItem operator()(HostID v) const requires(kind == TagKind::ID) {
        TagItem item; item.Tag = T; item.ID = v.Value(); return item;
    }
    // Text goes under a text tag, never as a bare pointer.
    template <class U>
    TagItem operator()(U* v) const requires(kind == TagKind::Pointer && !std::is_same_v<std::remove_cv_t<U>, char>) {
        TagItem item; item.Tag = T;
        if constexpr (std::is_function_v<U>)
            item.Pointer = reinterpret_cast<const void*>(v);
        else
            item.Pointer = static_cast<const void*>(v);
        return item;
    }
    TagItem operator()(std::nullptr_t) const requires(kind == TagKind::Pointer) {
        TagItem item; item.Tag = T; item.Pointer = nullptr; return item;
    }
    // Anything else is the wrong kind for this tag.
    template <class U>
    TagItem operator()(U) const = delete;
};

template <uint32_t T>
inline constexpr TagKey<T> Tag{};

// A list of tag items in the order given. The list ends where its items end
// (the 0 tag of the host's calling convention is implied). Texts are copied,
// so a list may outlive the strings it was built from.
class HOSTSCRIPT_API TagList {
public:
    TagList() = default;
    TagList(std::initializer_list<TagItem> items);
    TagList(const TagList& other);
    TagList& operator=(const TagList& other);
    TagList(TagList&&) noexcept;
    TagList& operator=(TagList&&) noexcept;
    ~TagList();

    void Add(const TagItem& item);

    size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    const TagItem& operator[](size_t i) const { return items_[i]; }
    const TagItem* begin() const { return items_.data(); }
    const TagItem* end() const { return items_.data() + items_.size(); }

    bool Has(uint32_t tag) const;
    // The first value of `tag`, or `fallback` when the tag is absent or of
    // another kind than asked for.
    int32_t GetInt(uint32_t tag, int32_t fallback = 0) const;
    double GetDouble(uint32_t tag, double fallback = 0.0) const;
    const char* GetText(uint32_t tag, const char* fallback = nullptr) const;
    const void* GetPointer(uint32_t tag, const void* fallback = nullptr) const;
    HostID GetID(uint32_t tag, HostID fallback = HostID()) const;
    // Every value of `tag`, in the order given.
    std::vector<TagItem> All(uint32_t tag) const;

private:
    void CopyTexts();

    std::vector<TagItem> items_;
    std::vector<std::unique_ptr<char[]>> texts_;
};
