// The registry service's Windows semantics, checked on both builds.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry.h"
#include "platform/testing.h"
#include "tokens/rights.h"
#include "unit/registry_support.h"

namespace {

const wchar_t* const kBase = L"SOFTWARE\\PendrelRegistryTest";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        plat::RegDeleteTree(plat::kHkeyCurrentUser, kBase);
        ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyCurrentUser, kBase, plat::kKeyAllAccess, &key_), 0);
    }
    void TearDown() override {
        plat::RegCloseKey(key_);
        plat::RegDeleteTree(plat::kHkeyCurrentUser, kBase);
    }
    void SetString(const wchar_t* name, const std::wstring& value) {
        ASSERT_EQ(plat::RegSetValueEx(key_, name, plat::kRegSz, value.c_str(),
                                      static_cast<std::uint32_t>((value.size() + 1) * sizeof(wchar_t))),
                  0);
    }
    std::vector<std::wstring> SubKeys() {
        std::vector<std::wstring> names;
        wchar_t name[256];
        for (std::uint32_t i = 0;; ++i) {
            std::uint32_t chars = 256;
            const std::int32_t code = plat::RegEnumKeyEx(key_, i, name, &chars);
            if (code == 259) break;
            EXPECT_EQ(code, 0);
            names.push_back(name);
        }
        return names;
    }
    plat::HKey key_ = nullptr;
};

}  // namespace

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirOwn) {
    SetString(L"Name", L"one");
    SetString(L"NAME", L"two");
    EXPECT_EQ(ValueNames(plat::kHkeyCurrentUser, kBase), std::vector<std::wstring>{L"Name"});
    EXPECT_EQ(ReadString(plat::kHkeyCurrentUser, kBase, L"name"), L"two");
    plat::HKey child = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(key_, L"Attributes", plat::kKeyAllAccess, &child), 0);
    plat::RegCloseKey(child);
    EXPECT_TRUE(KeyExists(plat::kHkeyCurrentUser, std::wstring(kBase) + L"\\ATTRIBUTES"));
    EXPECT_EQ(SubKeys(), std::vector<std::wstring>{L"Attributes"});
}

TEST_F(Registry, SubkeysInAlphabeticalOrderValuesInCreationOrder) {
    for (const wchar_t* name : {L"beta", L"Alpha", L"gamma", L"Delta"}) {
        plat::HKey child = nullptr;
        ASSERT_EQ(plat::RegCreateKeyEx(key_, name, plat::kKeyAllAccess, &child), 0);
        plat::RegCloseKey(child);
    }
    EXPECT_EQ(SubKeys(), (std::vector<std::wstring>{L"Alpha", L"beta", L"Delta", L"gamma"}));
    SetString(L"z", L"1");
    SetString(L"a", L"2");
    SetString(nullptr, L"default");
    if (plat::testing::RunningUnderWine()) {
        // Wine keeps a key's values sorted by name; Windows, and the stand-in, in creation order.
        EXPECT_EQ(ValueNames(plat::kHkeyCurrentUser, kBase), (std::vector<std::wstring>{L"", L"a", L"z"}));
    } else {
        EXPECT_EQ(ValueNames(plat::kHkeyCurrentUser, kBase), (std::vector<std::wstring>{L"z", L"a", L""}));
    }
}

TEST_F(Registry, ShortBuffersGetMoreDataAndTheSizeNeeded) {
    SetString(L"LongValueName", L"0123456789");
    wchar_t name[4];
    std::uint32_t chars = 4, type = 0, bytes = 0;
    EXPECT_EQ(plat::RegEnumValue(key_, 0, name, &chars, &type, nullptr, nullptr), 234);
    wchar_t longName[64];
    unsigned char data[4];
    chars = 64;
    bytes = sizeof data;
    EXPECT_EQ(plat::RegEnumValue(key_, 0, longName, &chars, &type, data, &bytes), 234);
    EXPECT_EQ(bytes, 11 * sizeof(wchar_t));
    chars = 64;
    EXPECT_EQ(plat::RegEnumValue(key_, 1, longName, &chars, &type, nullptr, nullptr), 259);
}

TEST_F(Registry, RawBytesAndTypesAreKeptAsWritten) {
    const unsigned char odd[] = {1, 2, 3};
    ASSERT_EQ(plat::RegSetValueEx(key_, L"bin", plat::kRegBinary, odd, 3), 0);
    const std::wstring noNul = L"abc";
    ASSERT_EQ(plat::RegSetValueEx(key_, L"sz", plat::kRegSz, noNul.data(), 3 * sizeof(wchar_t)), 0);
    std::uint32_t type = 0, bytes = 64;
    unsigned char back[64];
    ASSERT_EQ(plat::RegQueryValueEx(key_, L"bin", &type, back, &bytes), 0);
    EXPECT_EQ(type, plat::kRegBinary);
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(std::memcmp(back, odd, 3), 0);
    bytes = 64;
    ASSERT_EQ(plat::RegQueryValueEx(key_, L"sz", &type, back, &bytes), 0);
    // Wine adds the missing terminator to what it returns; Windows gives the bytes as stored.
    EXPECT_EQ(bytes, (3 + (plat::testing::RunningUnderWine() ? 1 : 0)) * sizeof(wchar_t));
    EXPECT_EQ(std::memcmp(back, noNul.data(), 3 * sizeof(wchar_t)), 0);
}

TEST_F(Registry, DeleteTreeRemovesEverythingBelowThenReportsAbsence) {
    plat::HKey child = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(key_, L"a\\b\\c", plat::kKeyAllAccess, &child), 0);
    plat::RegCloseKey(child);
    const std::wstring path = std::wstring(kBase) + L"\\a";
    EXPECT_EQ(plat::RegDeleteTree(plat::kHkeyCurrentUser, path.c_str()), 0);
    EXPECT_FALSE(KeyExists(plat::kHkeyCurrentUser, path));
    EXPECT_EQ(plat::RegDeleteTree(plat::kHkeyCurrentUser, path.c_str()), 2);
    EXPECT_EQ(plat::RegOpenKeyEx(plat::kHkeyCurrentUser, path.c_str(), 0, plat::kKeyRead, &child), 2);
}

TEST_F(Registry, AnOpenKeyIsDeletedThroughItsHandleOnceItHasNoSubkeys) {
    plat::HKey a = nullptr, b = nullptr, reader = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(key_, L"a\\b", plat::kKeyAllAccess, &b), 0);
    ASSERT_EQ(plat::RegOpenKeyEx(key_, L"a", 0, plat::kKeyRead, &reader), 0);
    ASSERT_EQ(plat::RegOpenKeyEx(key_, L"a", 0, plat::kDelete | plat::kKeyEnumerateSubKeys, &a), 0);
    EXPECT_EQ(plat::RegDeleteOpenKey(reader), 5) << "a handle without delete access";
    EXPECT_EQ(plat::RegDeleteOpenKey(a), 5) << "a key with a subkey";
    EXPECT_EQ(plat::RegDeleteOpenKey(b), 0);
    EXPECT_EQ(plat::RegDeleteOpenKey(a), 0);
    EXPECT_EQ(SubKeys(), std::vector<std::wstring>{});
    for (plat::HKey open : {a, b, reader}) EXPECT_EQ(plat::RegCloseKey(open), 0);
}

TEST_F(Registry, ReadOnlyHandleCannotWrite) {
    plat::HKey reader = nullptr;
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyCurrentUser, kBase, 0, plat::kKeyRead, &reader), 0);
    const wchar_t text[] = L"x";
    EXPECT_EQ(plat::RegSetValueEx(reader, L"v", plat::kRegSz, text, sizeof text), 5);
    plat::RegCloseKey(reader);
}

TEST_F(Registry, NewKeyHasADefaultListAndTheSizeProtocol) {
    std::uint32_t size = 0;
    EXPECT_EQ(plat::RegGetKeySecurity(key_, plat::kDaclSecurityInformation, nullptr, &size), 122);
    EXPECT_GT(size, 20u);
    EXPECT_FALSE(KeyAccessEntries(plat::kHkeyCurrentUser, kBase).empty());
}

// Keys this process may not open, as an access list denies it.
using DeniedKeys = Registry;

TEST_F(DeniedKeys, DeniedEntryBarsTheOpen) {
    DenyEveryone(plat::kHkeyCurrentUser, kBase, plat::kKeySetValue);
    plat::HKey key = nullptr;
    EXPECT_EQ(plat::RegOpenKeyEx(plat::kHkeyCurrentUser, kBase, 0, plat::kKeyAllAccess, &key), 5);
    ASSERT_EQ(plat::RegOpenKeyEx(plat::kHkeyCurrentUser, kBase, 0, plat::kKeyRead, &key), 0);
    plat::RegCloseKey(key);
}

TEST_F(DeniedKeys, SubkeyThatCannotBeOpenedIsSkippedAndTheWalkGoesOn) {
    for (const wchar_t* name : {L"a", L"b", L"c"}) {
        plat::HKey child = nullptr;
        ASSERT_EQ(plat::RegCreateKeyEx(key_, name, plat::kKeyAllAccess, &child), 0);
        plat::RegCloseKey(child);
    }
    DenyEveryone(plat::kHkeyCurrentUser, std::wstring(kBase) + L"\\b", plat::kWriteDac);
    plat::SidPtr everyone = nullptr;
    plat::AllocateAndInitializeSid(plat::kSecurityWorldSidAuthority, 1, 0, &everyone);
    unsigned char descriptor[plat::kSecurityDescriptorMinLength] = {};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(RegSetHiveSecurity(key_, everyone, 1, descriptor), 259);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR opening 'b', reason == 5\n");
    plat::FreeSid(everyone);
    for (const wchar_t* name : {L"a", L"c"})
        EXPECT_TRUE(IsEveryoneFullAccess(KeyAccessEntries(plat::kHkeyCurrentUser, std::wstring(kBase) + L"\\" + name).back()));
}
