#include "driver/arguments.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "platform/environment.h"
#include "support/text.h"

namespace {
const std::wstring kPasswordPrefix = L"/password=";

// The catalogue options: a prefix, then the value.
bool HasPrefixIgnoringCase(const std::wstring& argument, const std::wstring& prefix) {
    return argument.size() >= prefix.size() && EqualsIgnoringCase(argument.substr(0, prefix.size()), prefix);
}

bool IsCatalogueOption(const std::wstring& argument) {
    return HasPrefixIgnoringCase(argument, L"/username=") || HasPrefixIgnoringCase(argument, L"/password=") ||
           HasPrefixIgnoringCase(argument, L"/out=");
}

std::wstring Lowered(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// Edits between a and b (insertions, deletions, replacements and swaps of
// neighbours), counted no further than `limit` + 1.
std::size_t EditDistance(const std::wstring& a, const std::wstring& b, std::size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}
}  // namespace

bool IsUninstallArgument(const std::wstring& argument) {
    return EqualsIgnoringCase(argument, L"/uninstall") || EqualsIgnoringCase(argument, L"--uninstall") ||
           EqualsIgnoringCase(argument, L"--unregister-all");
}

bool IsVerifyArgument(const std::wstring& argument) {
    return EqualsIgnoringCase(argument, L"/verify") || EqualsIgnoringCase(argument, L"--verify");
}

bool WantsJson(int argc, wchar_t* argv[]) {
    for (int i = 2; i < argc; ++i)
        if (EqualsIgnoringCase(argv[i], L"/json") || EqualsIgnoringCase(argv[i], L"--json")) return true;
    return false;
}

bool IsSearchVoicesArgument(const std::wstring& argument) { return EqualsIgnoringCase(argument, L"/searchvoices"); }

bool IsHelpArgument(const std::wstring& argument) {
    return argument == L"/?" || argument == L"-?" || EqualsIgnoringCase(argument, L"-h") ||
           EqualsIgnoringCase(argument, L"/help") || EqualsIgnoringCase(argument, L"--help");
}

bool IsVersionArgument(const std::wstring& argument) {
    return EqualsIgnoringCase(argument, L"--version") || EqualsIgnoringCase(argument, L"/version");
}

std::wstring NearMissOf(const std::wstring& argument) {
    if (argument.empty() || (argument[0] != L'/' && argument[0] != L'-')) return L"";
    if (IsUninstallArgument(argument) || IsVerifyArgument(argument) || IsSearchVoicesArgument(argument) ||
        IsHelpArgument(argument) || IsVersionArgument(argument) || IsCatalogueOption(argument))
        return L"";
    const std::size_t dashes = argument.compare(0, 2, L"--") == 0 ? 2 : 1;
    const std::wstring name = Lowered(argument.substr(dashes));
    // "install" asks for what a command line without a mode does, the
    // installation run: an installer that passes it gets that run, as before,
    // never a refusal for being two letters from "uninstall".
    if (name == L"install") return L"";
    // The names whose near misses would run something else than was meant:
    // the elevated installation instead of the uninstallation, the check or
    // the catalogue search, or instead of help and the version.
    static const struct {
        const wchar_t* name;
        const wchar_t* spelling;
    } kNames[] = {{L"uninstall", L"/uninstall"},     {L"unregister-all", L"--unregister-all"},
                  {L"searchvoices", L"/searchvoices"}, {L"verify", L"/verify"},
                  {L"help", L"/help"},               {L"version", L"/version"}};
    for (const auto& known : kNames)
        if (EditDistance(name, known.name, 2) <= 2) return known.spelling;
    return L"";
}

namespace {
// The words a caller types to choose what runs: the modes, help, version, the
// check's "/json" and the catalogue options' prefixes.
bool IsCommandWord(const std::wstring& word) {
    return IsUninstallArgument(word) || IsVerifyArgument(word) || IsSearchVoicesArgument(word) ||
           IsHelpArgument(word) || IsVersionArgument(word) || EqualsIgnoringCase(word, L"/json") ||
           EqualsIgnoringCase(word, L"--json") || EqualsIgnoringCase(word, L"/username=") ||
           EqualsIgnoringCase(word, L"/password=") || EqualsIgnoringCase(word, L"/out=");
}

// The words that count only as the first argument.
bool MustComeFirst(const std::wstring& word) {
    return IsVerifyArgument(word) || IsSearchVoicesArgument(word) || IsHelpArgument(word) || IsVersionArgument(word);
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }
}  // namespace

MisplacedWord FindMisplacedWord(const std::wstring& argument, int position) {
    if (IsCatalogueOption(argument)) return {};
    if (IsCommandWord(argument)) {
        if (position > 1 && MustComeFirst(argument)) return {Misplacement::NotFirst, argument};
        return {};
    }
    // What follows the first '=' is a value of the installer's own (a folder
    // with blanks, a path with slashes): it is never read for words.
    const std::size_t equals = argument.find(L'=');
    const std::wstring head = equals == std::wstring::npos ? argument : argument.substr(0, equals + 1);
    bool blank = false;
    std::wstring found;
    std::size_t i = 0;
    while (i < head.size()) {
        if (IsBlank(head[i])) {
            blank = true;
            ++i;
            continue;
        }
        // One blank-free piece, cut before every '/' and every "--" that
        // starts a new word ("/verify/json", "/verify--json").
        std::size_t end = i;
        while (end < head.size() && !IsBlank(head[end])) ++end;
        std::size_t start = i;
        for (std::size_t k = i + 1; k <= end; ++k) {
            const bool cut = k == end || head[k] == L'/' ||
                             (head[k] == L'-' && k + 1 < end && head[k + 1] == L'-' && head[k - 1] != L'-');
            if (!cut) continue;
            const std::wstring segment = head.substr(start, k - start);
            if (found.empty() && IsCommandWord(segment)) found = segment;
            start = k;
        }
        i = end;
    }
    if (found.empty()) return {};
    return {blank ? Misplacement::AfterBlank : Misplacement::Glued, found};
}

std::wstring MisplacementReason(const MisplacedWord& misplaced) {
    switch (misplaced.how) {
        case Misplacement::NotFirst: return misplaced.word + L" counts only as the first argument";
        case Misplacement::Glued:
            return L"it holds " + misplaced.word + L" glued to another word; each word must be an argument of its own";
        case Misplacement::AfterBlank:
            return L"it holds " + misplaced.word + L" beside a blank; each word must be an argument of its own";
        case Misplacement::None: break;
    }
    return L"";
}

std::wstring UsageText(const std::wstring& version) {
    return L"Pendrel " + version + L": registers the Quelto engine's voices as SAPI 5 voice tokens.\n"
           L"\n"
           L"Usage:\n"
           L"  pendrel.exe\n"
           L"      Installation run: registers every voice folder found under\n"
           L"      %ProgramFiles%\\Mirelka\\ZunSapi64\\data_quelto\\voices.\n"
           L"  pendrel.exe /uninstall      (or --uninstall, --unregister-all; in any position)\n"
           L"      Uninstallation run: removes the engine's voice tokens and its folder.\n"
           L"  pendrel.exe /searchvoices [/username=NAME] [/password=SECRET] [/out=PATH]\n"
           L"      Downloads the voice catalogue to PATH (default %TEMP%\\quelto_voices.json).\n"
           L"      /searchvoices counts only as the first argument. PATH must name a file\n"
           L"      or nothing yet: never a folder, a device or the log.\n"
           L"  pendrel.exe /verify [/json]    (or --verify, as the first argument)\n"
           L"      Checks, read-only, that every voice is fully registered; /json (or\n"
           L"      --json) writes the report as one JSON document.\n"
           L"  pendrel.exe /? | -? | -h | /help | --help      this text\n"
           L"  pendrel.exe /version | --version               the program's name and version\n"
           L"\n"
           L"Arguments ignore letter case, the /username=, /password= and /out= prefixes\n"
           L"included. An argument that starts with / or - and is within two letters of a\n"
           L"mode, help or version (/unistall, -uninstall, /verfy) is refused: the usage\n"
           L"goes to standard error, nothing runs, the exit code is 87. /install is no\n"
           L"near miss: it gets the installation run.\n"
           L"A word out of place is refused the same way: /searchvoices, /verify, help or\n"
           L"version after the first argument (/silent /verify), and a mode's or an\n"
           L"option's word glued to another word (/verify/json) or beside a blank inside\n"
           L"one argument (\"/verify /json\"). The values of /username=, /password= and\n"
           L"/out=, and whatever follows the first = of any argument, are not read for\n"
           L"words and keep their blanks.\n"
           L"Any other argument the program does not know is ignored: a command line\n"
           L"without a mode is an installation run.\n"
           L"\n"
           L"Exit codes: the installation and uninstallation runs always exit 0; the\n"
           L"catalogue search exits 0 when the catalogue was saved and 1 when it was not;\n"
           L"/verify exits 0 when all is well, 1 when something is wrong, 2 when it could\n"
           L"not check, 3 when nothing of the engine is installed, 3010 when entries of\n"
           L"an uninstallation wait for the restart; a refused command line exits 87.\n"
           L"\n"
           L"Log: %LOCALAPPDATA%\\Mirelka\\ZunSapi64\\log_zunsapi.txt; every run appends to it.\n";
}

std::wstring ShowableArgument(const std::wstring& argument) {
    // Anywhere in the argument: "/searchvoices /password=x" passed as one
    // argument is refused, and its refusal shows it.
    const std::size_t at = Lowered(argument).find(kPasswordPrefix);
    if (at == std::wstring::npos || argument.size() <= at + kPasswordPrefix.size()) return argument;
    return argument.substr(0, at + kPasswordPrefix.size()) + L"********";
}

CatalogueOptions ParseCatalogueOptions(int argc, const wchar_t* const argv[]) {
    CatalogueOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (HasPrefixIgnoringCase(a, L"/username=")) options.username = a.substr(10);
        else if (HasPrefixIgnoringCase(a, L"/password=")) options.password = a.substr(10);
        else if (HasPrefixIgnoringCase(a, L"/out=")) options.outPath = a.substr(5);
    }
    return options;
}

std::wstring ExpandOutputPath(const std::wstring& outPath) {
    constexpr std::uint32_t kSize = 4096;
    std::vector<wchar_t> buffer(kSize, L'\0');
    const std::uint32_t n = plat::ExpandEnvironmentStrings(outPath.c_str(), buffer.data(), kSize);
    if (n == 0 || n >= kSize) return outPath;
    return buffer.data();
}
