// COM on the stand-in: the token objects live in this process and keep their
// data in the stand-in registry.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/speech.h"
#include "platform/speech_registry.h"

namespace plat {

HResult CoInitialize() { return kSOk; }
void CoUninitialize() {}

HResult CoCreateInstance(const Guid& clsid, std::uint32_t, const Guid& iid, void** object) {
    if (object == nullptr) return kEInvalidArg;
    *object = nullptr;
    if (clsid == CLSID_SpObjectTokenCategory) {
        if (!(iid == IID_ISpObjectTokenCategory)) return static_cast<HResult>(0x80004002u);  // E_NOINTERFACE
        *object = NewRegistryCategory();
        return kSOk;
    }
    if (clsid == CLSID_SpObjectToken) {
        if (!(iid == IID_ISpObjectToken)) return static_cast<HResult>(0x80004002u);
        *object = NewRegistryToken();
        return kSOk;
    }
    return kRegDbEClassNotReg;
}

HResult CoCreateGuid(Guid* guid) {
    if (guid == nullptr) return kEInvalidArg;
    static std::random_device device;
    std::uint8_t bytes[16];
    for (auto& b : bytes) b = static_cast<std::uint8_t>(device());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    guid->data1 = static_cast<std::uint32_t>(bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
    guid->data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    guid->data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) guid->data4[i] = bytes[8 + i];
    return kSOk;
}

HResult StringFromCLSID(const Guid& g, wchar_t** text) {
    if (text == nullptr) return kEInvalidArg;
    wchar_t buffer[40];
    std::swprintf(buffer, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1, g.data2, g.data3,
                  g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    *text = TaskString(buffer);
    return *text ? kSOk : kEOutOfMemory;
}

void* CoTaskMemAlloc(std::size_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }
void CoTaskMemFree(void* block) { std::free(block); }

}  // namespace plat
