// SAPI's own token objects through COM. Where SAPI cannot write (Wine's
// answers E_NOTIMPL to every write), the same values and keys are written
// through the registry, so that the tokens end up as SAPI would have made them.
#include "platform/speech.h"
#include "platform/speech_registry.h"
#include "platform/win32/win32.h"

#include <sapi.h>

namespace plat {
namespace {

GUID ToGuid(const Guid& g) {
    GUID out;
    out.Data1 = g.data1;
    out.Data2 = g.data2;
    out.Data3 = g.data3;
    for (int i = 0; i < 8; ++i) out.Data4[i] = g.data4[i];
    return out;
}

constexpr HResult kENotImplemented = static_cast<HResult>(E_NOTIMPL);

// The common part of a COM-backed key: `id_` is the registry id of the key,
// used only when SAPI refuses a write.
template <class Interface, class Com>
class ComKey : public Interface {
public:
    ComKey(Com* com, std::wstring id) : com_(com), id_(std::move(id)) {}
    unsigned long AddRef() override { return ++references_; }
    unsigned long Release() override {
        const unsigned long left = --references_;
        if (left == 0) {
            com_->Release();
            delete this;
        }
        return left;
    }
    HResult SetStringValue(const wchar_t* name, const wchar_t* value) override {
        const HResult hr = com_->SetStringValue(name, value);
        if (hr == kENotImplemented && !id_.empty()) return writer_.set(id_, name, value);
        return hr;
    }
    HResult GetStringValue(const wchar_t* name, wchar_t** value) override { return com_->GetStringValue(name, value); }
    HResult CreateKey(const wchar_t* subKeyName, SpDataKey** subKey) override;
    HResult OpenKey(const wchar_t* subKeyName, SpDataKey** subKey) override;

protected:
    Com* com_;
    std::wstring id_;
    unsigned long references_ = 1;
    RegistryValueWriter writer_;
};

class ComDataKey final : public ComKey<SpDataKey, ISpDataKey> {
public:
    using ComKey::ComKey;
};

template <class Interface, class Com>
HResult ComKey<Interface, Com>::CreateKey(const wchar_t* subKeyName, SpDataKey** subKey) {
    if (subKeyName == nullptr || subKey == nullptr) return E_INVALIDARG;
    const std::wstring child = id_.empty() ? L"" : id_ + L"\\" + subKeyName;
    ISpDataKey* raw = nullptr;
    const HResult hr = com_->CreateKey(subKeyName, &raw);
    if (hr == kENotImplemented && !child.empty()) {
        if (const HResult created = RegistryCreateKey(child); Failed(created)) return created;
        *subKey = NewRegistryDataKey(child);
        return kSOk;
    }
    if (Failed(hr)) return hr;
    *subKey = new ComDataKey(raw, child);
    return hr;
}

template <class Interface, class Com>
HResult ComKey<Interface, Com>::OpenKey(const wchar_t* subKeyName, SpDataKey** subKey) {
    if (subKeyName == nullptr || subKey == nullptr) return E_INVALIDARG;
    ISpDataKey* raw = nullptr;
    const HResult hr = com_->OpenKey(subKeyName, &raw);
    if (Failed(hr)) return hr;
    *subKey = new ComDataKey(raw, id_.empty() ? L"" : id_ + L"\\" + subKeyName);
    return hr;
}

class ComToken final : public ComKey<SpObjectToken, ISpObjectToken> {
public:
    using ComKey::ComKey;
    HResult SetId(const wchar_t* categoryId, const wchar_t* tokenId, bool createIfNotExist) override {
        const HResult hr = com_->SetId(categoryId, tokenId, createIfNotExist ? TRUE : FALSE);
        if (Succeeded(hr) && tokenId != nullptr)
            id_ = categoryId ? std::wstring(categoryId) + L"\\Tokens\\" + tokenId : std::wstring(tokenId);
        return hr;
    }
    HResult GetId(wchar_t** id) override { return com_->GetId(id); }
};

class ComCategory final : public ComKey<SpObjectTokenCategory, ISpObjectTokenCategory> {
public:
    using ComKey::ComKey;
    HResult SetId(const wchar_t* id, bool createIfNotExist) override {
        const HResult hr = com_->SetId(id, createIfNotExist ? TRUE : FALSE);
        if (Succeeded(hr) && id != nullptr) id_ = id;
        return hr;
    }
    HResult EnumTokens(std::vector<ComPtr<SpObjectToken>>& tokens) override {
        IEnumSpObjectTokens* list = nullptr;
        const HResult hr = com_->EnumTokens(nullptr, nullptr, &list);
        if (Failed(hr)) return hr;
        ISpObjectToken* raw = nullptr;
        ULONG fetched = 0;
        while (list->Next(1, &raw, &fetched) == S_OK && fetched == 1) {
            std::wstring id;
            wchar_t* text = nullptr;
            if (SUCCEEDED(raw->GetId(&text)) && text != nullptr) {
                id = text;
                ::CoTaskMemFree(text);
            }
            tokens.emplace_back(new ComToken(raw, id));
        }
        list->Release();
        return kSOk;
    }
};

}  // namespace

namespace {

// The class objects of the token and category classes, asked for once per
// COM session: every CoCreateInstance would look the class up in the
// registry again (four key opens and two value reads each), and a run makes
// two objects per speech stack per voice.
class ClassObjects {
public:
    // slot: 0 for tokens, 1 for categories, -1 for any other class (not kept).
    HResult create(int slot, const GUID& clsid, std::uint32_t context, const GUID& iid, void** object) {
        if (slot < 0) return ::CoCreateInstance(clsid, nullptr, context, iid, object);
        if (factories_[slot] == nullptr || contexts_[slot] != context) {
            if (factories_[slot] != nullptr) factories_[slot]->Release();
            factories_[slot] = nullptr;
            void* factory = nullptr;
            const HRESULT hr = ::CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, &factory);
            if (FAILED(hr)) return hr;
            factories_[slot] = static_cast<IClassFactory*>(factory);
            contexts_[slot] = context;
        }
        return factories_[slot]->CreateInstance(nullptr, iid, object);
    }
    // Before COM ends, while the class objects' module is still loaded.
    void release() {
        for (IClassFactory*& factory : factories_) {
            if (factory != nullptr) factory->Release();
            factory = nullptr;
        }
    }

private:
    IClassFactory* factories_[2] = {nullptr, nullptr};
    std::uint32_t contexts_[2] = {0, 0};
};

// Released by CoUninitialize. Never destroyed: at the process's exit COM may
// have ended and the class objects' module be gone, so a Release then could crash.
ClassObjects& Classes() {
    static ClassObjects* classes = new ClassObjects;
    return *classes;
}

}  // namespace

HResult CoInitialize() { return ::CoInitialize(nullptr); }
void CoUninitialize() {
    Classes().release();
    ::CoUninitialize();
}

HResult CoCreateInstance(const Guid& clsid, std::uint32_t context, const Guid& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    const GUID c = ToGuid(clsid), i = ToGuid(iid);
    void* raw = nullptr;
    const int slot = clsid == CLSID_SpObjectToken ? 0 : clsid == CLSID_SpObjectTokenCategory ? 1 : -1;
    const HResult hr = Classes().create(slot, c, context, i, &raw);
    if (Failed(hr)) return hr;
    if (clsid == CLSID_SpObjectTokenCategory && iid == IID_ISpObjectTokenCategory) {
        *object = static_cast<SpObjectTokenCategory*>(new ComCategory(static_cast<ISpObjectTokenCategory*>(raw), L""));
    } else if (clsid == CLSID_SpObjectToken && iid == IID_ISpObjectToken) {
        *object = static_cast<SpObjectToken*>(new ComToken(static_cast<ISpObjectToken*>(raw), L""));
    } else {
        static_cast<IUnknown*>(raw)->Release();
        return E_NOINTERFACE;
    }
    return hr;
}

HResult CoCreateGuid(Guid* guid) {
    GUID raw;
    const HResult hr = ::CoCreateGuid(&raw);
    if (Succeeded(hr)) {
        guid->data1 = raw.Data1;
        guid->data2 = raw.Data2;
        guid->data3 = raw.Data3;
        for (int i = 0; i < 8; ++i) guid->data4[i] = raw.Data4[i];
    }
    return hr;
}

HResult StringFromCLSID(const Guid& clsid, wchar_t** text) { return ::StringFromCLSID(ToGuid(clsid), text); }
void* CoTaskMemAlloc(std::size_t bytes) { return ::CoTaskMemAlloc(bytes); }
void CoTaskMemFree(void* block) { ::CoTaskMemFree(block); }

}  // namespace plat
