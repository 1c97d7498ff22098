// Object tokens kept directly in the registry, as SAPI keeps them: the
// stand-in's whole token store, and the Windows build's way around a SAPI
// that cannot write (Wine's answers E_NOTIMPL to every write).
#pragma once
#include <string>

#include "platform/registry.h"
#include "platform/speech.h"

namespace plat {

// Splits "HKEY_LOCAL_MACHINE\path" into its hive and path; false for any
// other first component.
bool SplitTokenId(const std::wstring& id, HKey* hive, std::wstring* path);

SpDataKey* NewRegistryDataKey(const std::wstring& id);
SpObjectToken* NewRegistryToken();
SpObjectTokenCategory* NewRegistryCategory();

// The writes of a data key, straight to its key in the registry.
HResult RegistrySetString(const std::wstring& id, const wchar_t* name, const wchar_t* value);
HResult RegistryCreateKey(const std::wstring& id);

// Sets string values of one key, kept open from the first value to the
// object's end: one open for all the values of a token, not one per value.
class RegistryValueWriter {
public:
    RegistryValueWriter() = default;
    RegistryValueWriter(const RegistryValueWriter&) = delete;
    RegistryValueWriter& operator=(const RegistryValueWriter&) = delete;
    ~RegistryValueWriter() { close(); }
    // The same answer RegistrySetString(id, name, value) gives.
    HResult set(const std::wstring& id, const wchar_t* name, const wchar_t* value);
    void close();

private:
    HKey key_ = nullptr;
    std::wstring id_;  // the key `key_` was opened for
};

wchar_t* TaskString(const std::wstring& text);

}  // namespace plat
