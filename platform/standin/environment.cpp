#include "platform/environment.h"

#include <unistd.h>

#include <cwchar>

#include "platform/standin/sandbox.h"

namespace plat {

std::uint32_t ExpandEnvironmentStrings(const wchar_t* source, wchar_t* buffer, std::uint32_t size) {
    if (source == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    std::wstring out;
    const wchar_t* p = source;
    while (*p) {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        const wchar_t* close = std::wcschr(p + 1, L'%');
        if (close == nullptr) {  // unterminated: the rest stays as written
            out += p;
            break;
        }
        const std::wstring name(p + 1, close);
        const std::wstring* value = name.empty() ? nullptr : sandbox::FindVariable(name);
        if (value != nullptr) {
            out += *value;
            p = close + 1;
        } else {
            // Not defined: the reference stays as written, both '%' included.
            out.append(p, close + 1);
            p = close + 1;
        }
    }
    const auto needed = static_cast<std::uint32_t>(out.size() + 1);
    if (buffer != nullptr && size >= needed) std::wmemcpy(buffer, out.c_str(), needed);
    return needed;
}

HResult GetLocalAppDataFolder(wchar_t (&buffer)[kMaxPath]) {
    // The profile's folder; a machine without LOCALAPPDATA stands for a
    // profile whose folder cannot be determined.
    const std::wstring* value = sandbox::FindVariable(L"LOCALAPPDATA");
    if (value == nullptr || value->empty() || value->size() >= kMaxPath) return kEFail;
    std::wmemcpy(buffer, value->c_str(), value->size() + 1);
    return kSOk;
}

std::uint32_t GetTempPath(std::uint32_t size, wchar_t* buffer) {
    std::wstring path;
    for (const wchar_t* name : {L"TMP", L"TEMP", L"USERPROFILE"}) {
        if (const std::wstring* v = sandbox::FindVariable(name); v && !v->empty()) {
            path = *v;
            break;
        }
    }
    if (path.empty()) path = L"C:\\Windows";
    if (path.back() != L'\\') path += L'\\';
    const auto length = static_cast<std::uint32_t>(path.size());
    if (buffer == nullptr || size < length + 1) return length + 1;
    std::wmemcpy(buffer, path.c_str(), length + 1);
    return length;
}

bool SetEnvironmentVariable(const std::wstring& name, const wchar_t* value) {
    auto& vars = sandbox::Environment();
    for (auto it = vars.begin(); it != vars.end(); ++it) {
        if (sandbox::FindVariable(name) == &it->second) {
            if (value == nullptr) vars.erase(it);
            else it->second = value;
            return true;
        }
    }
    if (value != nullptr) vars.emplace_back(name, value);
    return true;
}

std::uint32_t GetCurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

namespace {
std::uint16_t overriddenMachine = 0;
}  // namespace

void OverrideNativeMachineForTesting(std::uint16_t machine) { overriddenMachine = machine; }

std::uint16_t NativeMachine() { return overriddenMachine != 0 ? overriddenMachine : kImageFileMachineAmd64; }

}  // namespace plat
