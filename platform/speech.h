// The SAPI 5 object-token store and the COM basics it needs. The token and
// category objects follow ISpDataKey, ISpObjectToken and
// ISpObjectTokenCategory: reference counted, HRESULT results, strings
// returned in COM task memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace plat {

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
    bool operator==(const Guid&) const = default;
};

inline constexpr Guid CLSID_SpObjectTokenCategory = {0xA910187F, 0x0C7A, 0x45AC, {0x92, 0xCC, 0x59, 0xED, 0xAF, 0xB7, 0x7B, 0x53}};
inline constexpr Guid IID_ISpObjectTokenCategory = {0x2D3D3845, 0x39AF, 0x4850, {0xBB, 0xF9, 0x40, 0xB4, 0x97, 0x80, 0x01, 0x1D}};
inline constexpr Guid CLSID_SpObjectToken = {0xEF411752, 0x3736, 0x4CB4, {0x9C, 0x8C, 0x8E, 0xF4, 0xCC, 0xB5, 0x8E, 0xFE}};
inline constexpr Guid IID_ISpObjectToken = {0x14056589, 0xE16C, 0x11D2, {0xBB, 0x90, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0xC0}};

constexpr std::uint32_t kClsctxAll = 0x17;
constexpr HResult kSpErrNotFound = static_cast<HResult>(0x8004503Au);
constexpr HResult kRegDbEClassNotReg = static_cast<HResult>(0x80040154u);

// Owns one reference to a COM object and releases it when it goes. put()
// gives the slot an out parameter fills, letting go of what was held.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* object) : object_(object) {}
    // Move-only: a declared move constructor leaves no copy.
    ComPtr(ComPtr&& other) noexcept : object_(other.release()) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    T** put() {
        reset();
        return &object_;
    }
    [[nodiscard]] T* release() { return std::exchange(object_, nullptr); }
    void reset() {
        if (object_ != nullptr) std::exchange(object_, nullptr)->Release();
    }

private:
    T* object_ = nullptr;
};

class SpDataKey {
public:
    virtual unsigned long AddRef() = 0;
    virtual unsigned long Release() = 0;
    // A null name is the key's default value.
    virtual HResult SetStringValue(const wchar_t* name, const wchar_t* value) = 0;
    virtual HResult GetStringValue(const wchar_t* name, wchar_t** value) = 0;
    virtual HResult CreateKey(const wchar_t* subKeyName, SpDataKey** subKey) = 0;
    virtual HResult OpenKey(const wchar_t* subKeyName, SpDataKey** subKey) = 0;

protected:
    virtual ~SpDataKey() = default;
};

class SpObjectToken : public SpDataKey {
public:
    virtual HResult SetId(const wchar_t* categoryId, const wchar_t* tokenId, bool createIfNotExist) = 0;
    virtual HResult GetId(wchar_t** id) = 0;
};

class SpObjectTokenCategory : public SpDataKey {
public:
    virtual HResult SetId(const wchar_t* id, bool createIfNotExist) = 0;
    // Appends the category's tokens, each owned by its entry.
    virtual HResult EnumTokens(std::vector<ComPtr<SpObjectToken>>& tokens) = 0;
};

HResult CoInitialize();
void CoUninitialize();
// Creates a token category (CLSID_SpObjectTokenCategory) or an object token
// (CLSID_SpObjectToken) for its interface id.
HResult CoCreateInstance(const Guid& clsid, std::uint32_t context, const Guid& iid, void** object);
HResult CoCreateGuid(Guid* guid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in task memory.
HResult StringFromCLSID(const Guid& clsid, wchar_t** text);
void* CoTaskMemAlloc(std::size_t bytes);
void CoTaskMemFree(void* block);

}  // namespace plat
