#include "tokens/user_copies.h"

#include <vector>

#include "platform/errors.h"
#include "platform/security.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/paths.h"
#include "tokens/registration.h"
#include "tokens/rights.h"

plat::HKey g_hRegKey = nullptr;

std::int32_t CopyVoiceTokenToCurrentUserForAllEngines(plat::HKey hRootKeySrc, plat::HKey hRootKeyDst,
                                                      const std::wstring& tokenKeyName) {
    WriteLogLine(L"INFO", L"Copying the voice registries:");
    const std::wstring destination = HiveName(hRootKeyDst);
    for (const wchar_t* root : engines) {
        const std::wstring path = std::wstring(root) + L"\\Tokens\\" + tokenKeyName;
        WriteLogLine(L"INFO", L"  * Token Key: " + destination + L"\\" + path);
        if (!IsValidTokenKeyName(tokenKeyName)) continue;
        const std::uint32_t access = app64 ? plat::kKeyRead : (plat::kKeyRead | plat::kKeyWow64_64Key);
        CopyRegistryKeyRecursively(hRootKeySrc, path, hRootKeyDst, path, access);
    }
    return 1;
}

std::int32_t CopyRegistryKeyRecursively(plat::HKey hSrcRoot, const std::wstring& srcPath, plat::HKey hDstRoot,
                                        const std::wstring& dstPath, std::uint32_t accessFlag) {
    const std::wstring sourceName = HiveName(hSrcRoot) + L"\\" + srcPath;
    const std::wstring destinationName = HiveName(hDstRoot) + L"\\" + dstPath;
    // Each failure is logged where it happens, with the key and the cause.
    const auto failed = [](const std::wstring& what, const std::wstring& key, std::int32_t code) {
        WriteLogLine(L"ERROR", what + L": " + key);
        LogCause(L"key " + key, plat::ErrorText(static_cast<std::uint32_t>(code)));
    };
    plat::HKey source = nullptr, destination = nullptr;
    if (const std::int32_t code = plat::RegOpenKeyEx(hSrcRoot, srcPath.c_str(), 0, accessFlag | plat::kKeyRead, &source);
        code != 0) {
        failed(L"Could not open the key to copy", sourceName, code);
        return 0;
    }
    if (const std::int32_t code = plat::RegCreateKeyEx(hDstRoot, dstPath.c_str(), plat::kKeyWrite, &destination);
        code != 0) {
        failed(L"Could not create the copy of the key", destinationName, code);
        plat::RegCloseKey(source);
        return 0;
    }
    // The buffers are sized from the key, so that no value is too long to copy.
    std::uint32_t longestSubKey = 0, longestName = 0, longestData = 0;
    plat::RegQueryInfoKey(source, nullptr, &longestSubKey, nullptr, &longestName, &longestData);
    std::vector<wchar_t> name(longestName + 1);
    std::vector<unsigned char> data(longestData + 1);
    for (std::uint32_t index = 0;; ++index) {
        auto nameChars = static_cast<std::uint32_t>(name.size());
        auto dataBytes = static_cast<std::uint32_t>(data.size());
        std::uint32_t type = 0;
        const std::int32_t code =
            plat::RegEnumValue(source, index, name.data(), &nameChars, &type, data.data(), &dataBytes);
        if (code == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (code == static_cast<std::int32_t>(plat::kErrorMoreData)) {
            // Grown since the query: make room and read this index again.
            name.resize(name.size() * 2 + nameChars + 1);
            data.resize(data.size() * 2 + dataBytes);
            --index;
            continue;
        }
        if (code != 0) continue;
        if (const std::int32_t set = plat::RegSetValueEx(destination, name.data(), type, data.data(), dataBytes); set != 0)
            failed(L"Could not copy the value '" + std::wstring(name.data()) + L"' to the key", destinationName, set);
    }
    std::vector<wchar_t> subKey(longestSubKey + 1);
    for (std::uint32_t index = 0;; ++index) {
        auto chars = static_cast<std::uint32_t>(subKey.size());
        const std::int32_t code = plat::RegEnumKeyEx(source, index, subKey.data(), &chars);
        if (code == static_cast<std::int32_t>(plat::kErrorNoMoreItems)) break;
        if (code == static_cast<std::int32_t>(plat::kErrorMoreData)) {
            subKey.resize(subKey.size() * 2 + 1);
            --index;
            continue;
        }
        if (code != 0) continue;
        CopyRegistryKeyRecursively(hSrcRoot, srcPath + L"\\" + subKey.data(), hDstRoot, dstPath + L"\\" + subKey.data(),
                                   accessFlag);
    }
    plat::RegCloseKey(destination);
    plat::RegCloseKey(source);
    return 1;
}

void OpenAndSetRegKey(plat::HKey hRootKey, const std::wstring& tokenKeyName) {
    const std::wstring hive = HiveName(hRootKey);
    for (const wchar_t* root : engines) {
        const std::wstring path = std::wstring(root) + L"\\Tokens\\" + tokenKeyName;
        const std::wstring display = hive + L"\\" + path;
        const std::int32_t code = IsValidTokenKeyName(tokenKeyName)
                                      ? plat::RegOpenKeyEx(hRootKey, path.c_str(), 0, plat::kKeyAllAccess, &g_hRegKey)
                                      : -1;
        if (code == 0) {
            WriteLogLine(L"INFO", L"  * Key found: " + display);
            DoSetHiveRights(display);
            plat::RegCloseKey(g_hRegKey);
            g_hRegKey = nullptr;
        } else {
            WriteLogLine(L"ERROR", L"Error opening key: " + display);
            LogCause(L"key " + display, code < 0 ? L"the token key name is empty or holds a backslash"
                                                 : plat::ErrorText(static_cast<std::uint32_t>(code)));
        }
    }
}
