#include "platform/speech_registry.h"

#include <atomic>
#include <cwchar>
#include <vector>

namespace plat {

bool SplitTokenId(const std::wstring& id, HKey* hive, std::wstring* path) {
    const std::size_t slash = id.find(L'\\');
    const std::wstring first = id.substr(0, slash);
    if (first == L"HKEY_LOCAL_MACHINE") *hive = kHkeyLocalMachine;
    else if (first == L"HKEY_CURRENT_USER") *hive = kHkeyCurrentUser;
    else return false;
    *path = slash == std::wstring::npos ? L"" : id.substr(slash + 1);
    return true;
}

wchar_t* TaskString(const std::wstring& text) {
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

HResult RegistrySetString(const std::wstring& id, const wchar_t* name, const wchar_t* value) {
    RegistryValueWriter writer;
    return writer.set(id, name, value);
}

HResult RegistryValueWriter::set(const std::wstring& id, const wchar_t* name, const wchar_t* value) {
    if (key_ != nullptr && id != id_) close();
    if (key_ == nullptr) {
        HKey hive = nullptr;
        std::wstring path;
        if (!SplitTokenId(id, &hive, &path)) return kEInvalidArg;
        // The last name as itself: values go into the key of that name, never where a link leads.
        if (const std::int32_t code = RegOpenKeyEx(hive, path.c_str(), kRegOptionOpenLink, kKeySetValue, &key_)) {
            key_ = nullptr;
            return HResultFromWin32(static_cast<std::uint32_t>(code));
        }
        id_ = id;
    }
    const std::wstring text = value ? value : L"";
    const auto code = RegSetValueEx(key_, name, kRegSz, text.c_str(),
                                    static_cast<std::uint32_t>((text.size() + 1) * sizeof(wchar_t)));
    // A key deleted meanwhile is opened again for the next value.
    if (code != 0) close();
    return HResultFromWin32(static_cast<std::uint32_t>(code));
}

void RegistryValueWriter::close() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
    id_.clear();
}

HResult RegistryCreateKey(const std::wstring& id) {
    HKey hive = nullptr, parent = nullptr, key = nullptr;
    std::wstring path;
    if (!SplitTokenId(id, &hive, &path)) return kEInvalidArg;
    // The keys on the way (the categories) the ordinary way; the last one, a
    // token or a key inside one, made or opened as itself, never through a link.
    const std::size_t split = path.rfind(L'\\');
    if (split == std::wstring::npos) return kEInvalidArg;
    std::int32_t code = RegCreateKeyEx(hive, path.substr(0, split).c_str(), kKeyRead | kKeyWrite, &parent);
    if (code == 0) {
        const OwnedKey owned(parent);
        code = RegCreateChildItself(parent, std::wstring_view(path).substr(split + 1), kKeyRead | kKeyWrite, &key);
    }
    if (code == 0) RegCloseKey(key);
    return HResultFromWin32(static_cast<std::uint32_t>(code));
}

namespace {

bool KeyExists(const std::wstring& id) {
    HKey hive = nullptr, key = nullptr;
    std::wstring path;
    if (!SplitTokenId(id, &hive, &path)) return false;
    if (RegOpenKeyEx(hive, path.c_str(), kRegOptionOpenLink, kKeyRead, &key) != 0) return false;
    RegCloseKey(key);
    return true;
}

template <class Interface>
class RegistryKey : public Interface {
public:
    unsigned long AddRef() override { return ++references_; }
    unsigned long Release() override {
        const unsigned long left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HResult SetStringValue(const wchar_t* name, const wchar_t* value) override {
        if (id_.empty()) return kEFail;
        return writer_.set(id_, name, value);
    }

    HResult GetStringValue(const wchar_t* name, wchar_t** value) override {
        HKey hive = nullptr, key = nullptr;
        std::wstring path;
        if (value == nullptr || !SplitTokenId(id_, &hive, &path)) return kEInvalidArg;
        if (RegOpenKeyEx(hive, path.c_str(), kRegOptionOpenLink, kKeyRead, &key) != 0) return kSpErrNotFound;
        std::uint32_t type = 0, bytes = 0;
        std::int32_t code = RegQueryValueEx(key, name, &type, nullptr, &bytes);
        std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
        if (code == 0) code = RegQueryValueEx(key, name, &type, text.data(), &bytes);
        RegCloseKey(key);
        if (code != 0 || (type != kRegSz && type != kRegExpandSz)) return kSpErrNotFound;
        *value = TaskString(text.data());
        return *value ? kSOk : kEOutOfMemory;
    }

    HResult CreateKey(const wchar_t* subKeyName, SpDataKey** subKey) override {
        if (subKeyName == nullptr || subKey == nullptr || id_.empty()) return kEInvalidArg;
        const std::wstring child = id_ + L"\\" + subKeyName;
        if (const HResult hr = RegistryCreateKey(child); Failed(hr)) return hr;
        *subKey = NewRegistryDataKey(child);
        return kSOk;
    }

    HResult OpenKey(const wchar_t* subKeyName, SpDataKey** subKey) override {
        if (subKeyName == nullptr || subKey == nullptr || id_.empty()) return kEInvalidArg;
        const std::wstring child = id_ + L"\\" + subKeyName;
        if (!KeyExists(child)) return kSpErrNotFound;
        *subKey = NewRegistryDataKey(child);
        return kSOk;
    }

    std::wstring id_;

protected:
    // SetId of tokens and categories: the key is opened, or created when asked.
    HResult Bind(const std::wstring& id, bool createIfNotExist, HResult notFound) {
        HKey hive = nullptr;
        std::wstring path;
        if (!SplitTokenId(id, &hive, &path)) return kSpErrNotFound;
        if (createIfNotExist) {
            if (const HResult hr = RegistryCreateKey(id); Failed(hr)) return hr;
        } else if (!KeyExists(id)) {
            return notFound;
        }
        id_ = id;
        return kSOk;
    }

    std::atomic<unsigned long> references_ {1};
    RegistryValueWriter writer_;
};

class DataKey final : public RegistryKey<SpDataKey> {};

class Token final : public RegistryKey<SpObjectToken> {
public:
    HResult SetId(const wchar_t* categoryId, const wchar_t* tokenId, bool createIfNotExist) override {
        if (tokenId == nullptr) return kEInvalidArg;
        const std::wstring id = categoryId ? std::wstring(categoryId) + L"\\Tokens\\" + tokenId : std::wstring(tokenId);
        return Bind(id, createIfNotExist, kSpErrNotFound);
    }
    HResult GetId(wchar_t** id) override {
        if (id == nullptr) return kEInvalidArg;
        *id = TaskString(id_);
        return *id ? kSOk : kEOutOfMemory;
    }
};

class Category final : public RegistryKey<SpObjectTokenCategory> {
public:
    HResult SetId(const wchar_t* id, bool createIfNotExist) override {
        if (id == nullptr) return kEInvalidArg;
        return Bind(id, createIfNotExist, static_cast<HResult>(0x80045040u));  // no such category
    }
    HResult EnumTokens(std::vector<ComPtr<SpObjectToken>>& tokens) override {
        HKey hive = nullptr, key = nullptr;
        std::wstring path;
        if (!SplitTokenId(id_, &hive, &path)) return kEFail;
        if (RegOpenKeyEx(hive, (path + L"\\Tokens").c_str(), 0, kKeyRead, &key) != 0) return kSOk;
        std::uint32_t longest = 0;
        RegQueryInfoKey(key, nullptr, &longest, nullptr, nullptr, nullptr);
        std::vector<wchar_t> name(longest + 1);
        for (std::uint32_t i = 0;; ++i) {
            auto size = static_cast<std::uint32_t>(name.size());
            if (RegEnumKeyEx(key, i, name.data(), &size) != 0) break;
            auto* token = new Token;
            tokens.emplace_back(token);
            token->id_ = id_ + L"\\Tokens\\" + name.data();
        }
        RegCloseKey(key);
        return kSOk;
    }
};

}  // namespace

SpDataKey* NewRegistryDataKey(const std::wstring& id) {
    auto* key = new DataKey;
    key->id_ = id;
    return key;
}
SpObjectToken* NewRegistryToken() { return new Token; }
SpObjectTokenCategory* NewRegistryCategory() { return new Category; }

}  // namespace plat
