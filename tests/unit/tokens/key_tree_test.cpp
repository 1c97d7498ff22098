#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "tokens/key_tree.h"
#include "tokens/token_keys.h"

namespace {

const std::wstring kTop = L"SOFTWARE\\PendrelTest\\Tree";

// Counts what the walk reaches; with `reopenParent`, every child's open hands
// back its parent instead, as a name cut at its NUL would.
class Recorder final : public KeyTreeVisitor {
public:
    explicit Recorder(bool reopenParent = false) : reopenParent_(reopenParent) {}
    [[nodiscard]] std::uint32_t Access() const override { return plat::kKeyRead; }
    std::int32_t OpenChild(plat::HKey parent, const std::wstring& name, const std::wstring& where,
                           plat::OwnedKey& child) override {
        if (!reopenParent_) return KeyTreeVisitor::OpenChild(parent, name, where, child);
        plat::HKey raw = nullptr;
        const std::int32_t code = plat::RegOpenChild(parent, L"", 0, Access(), &raw);
        if (code == 0) child.reset(raw);
        return code;
    }
    bool Enter(const KeyAt& at) override {
        entered.push_back(at.relative);
        return true;
    }
    void Skipped(const std::wstring& where, std::int32_t code, const std::wstring&) override {
        skipped.push_back(where.substr(where.rfind(L'\\') + 1));
        codes.push_back(code);
    }
    std::vector<std::wstring> entered, skipped;
    std::vector<std::int32_t> codes;

private:
    bool reopenParent_;
};

class KeyTree : public ::testing::Test {
protected:
    void SetUp() override { plat::RegDeleteTree(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest"); }
    void TearDown() override { plat::RegDeleteTree(plat::kHkeyLocalMachine, L"SOFTWARE\\PendrelTest"); }
    static void Make(const std::wstring& path, int values = 0) {
        plat::HKey key = nullptr;
        ASSERT_EQ(plat::RegCreateKeyEx(plat::kHkeyLocalMachine, path.c_str(), plat::kKeyAllAccess, &key), 0);
        for (int i = 0; i < values; ++i) {
            const std::wstring name = L"v" + std::to_wstring(i);
            plat::RegSetValueEx(key, name.c_str(), plat::kRegSz, L"", sizeof(wchar_t));
        }
        plat::RegCloseKey(key);
    }
    static KeyTreeEnd Walk(KeyTreeVisitor& visitor, const KeyTreeLimits& limits = {}) {
        plat::OwnedKey top;
        EXPECT_EQ(OpenKeyItself(plat::kHkeyLocalMachine, kTop, plat::kKeyRead, top), 0);
        return WalkKeyTree(top.get(), L"HKEY_LOCAL_MACHINE\\" + kTop, visitor, limits);
    }
};

TEST_F(KeyTree, AChildThatOpensItsParentAgainIsRefusedNeverEntered) {
    Make(kTop + L"\\A");
    Make(kTop + L"\\B");
    Recorder recorder(true);
    EXPECT_EQ(Walk(recorder).code, 0);
    EXPECT_EQ(recorder.entered, std::vector<std::wstring>{L""});
    EXPECT_EQ(recorder.skipped, (std::vector<std::wstring>{L"A", L"B"}));
    EXPECT_EQ(recorder.codes, (std::vector<std::int32_t>{1010, 1010}));
}

TEST_F(KeyTree, EachBoundHoldsAtItsValueAndStopsOnePast) {
    // Top, A, A\B: 3 keys, 2 levels below the top, 4 values.
    Make(kTop, 1);
    Make(kTop + L"\\A\\B", 3);
    const struct {
        KeyTreeLimits limits;
        bool whole;
    } cases[] = {
        {{2, 3, 4}, true},  {{1, 3, 4}, false}, {{2, 2, 4}, false}, {{2, 3, 3}, false},
    };
    for (const auto& c : cases) {
        Recorder recorder;
        const KeyTreeEnd end = Walk(recorder, c.limits);
        SCOPED_TRACE(testing::Message() << "depth " << c.limits.depth << ", keys " << c.limits.keys << ", values "
                                        << c.limits.values);
        EXPECT_EQ(end.code, c.whole ? 0 : 1010);
        EXPECT_EQ(recorder.entered.size() == 3, c.whole);
    }
}

TEST_F(KeyTree, NamesAreCountedFromListingToOpen) {
    Make(kTop);
    plat::OwnedKey top;
    ASSERT_EQ(OpenKeyItself(plat::kHkeyLocalMachine, kTop, plat::kKeyAllAccess, top), 0);
    const std::wstring nul(1, L'\0'), nulX = std::wstring(1, L'\0') + L"x";
    for (const std::wstring& name : {nul, nulX}) {
        plat::HKey made = nullptr;
        ASSERT_EQ(plat::RegCreateChild(top.get(), name, plat::kKeyAllAccess, &made, nullptr), 0);
        plat::RegCloseKey(made);
    }
    Recorder recorder;
    EXPECT_EQ(Walk(recorder).code, 0);
    EXPECT_EQ(recorder.entered, (std::vector<std::wstring>{L"", nul, nulX}));
    EXPECT_TRUE(recorder.skipped.empty());
    EXPECT_EQ(DeleteOpenKeyTree(top.get(), L"HKEY_LOCAL_MACHINE\\" + kTop), 0);
    plat::OwnedKey gone;
    EXPECT_EQ(OpenKeyItself(plat::kHkeyLocalMachine, kTop, plat::kKeyRead, gone), 2);
}

}  // namespace
