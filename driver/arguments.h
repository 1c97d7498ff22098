// The command line's vocabulary.
#pragma once
#include <string>

// True for "/uninstall", "--uninstall" and "--unregister-all" in any letter case.
bool IsUninstallArgument(const std::wstring& argument);

// True for "/verify" and "--verify" in any letter case.
bool IsVerifyArgument(const std::wstring& argument);

// True when "/json" (or "--json", any letter case) follows the first
// argument: the check's report as one JSON document.
bool WantsJson(int argc, wchar_t* argv[]);

// True for "/searchvoices" in any letter case.
bool IsSearchVoicesArgument(const std::wstring& argument);

// True for "/?", "-?", "-h", "/help" and "--help" in any letter case.
bool IsHelpArgument(const std::wstring& argument);

// True for "--version" and "/version" in any letter case.
bool IsVersionArgument(const std::wstring& argument);

// The usage that help prints: the modes and their arguments, the exit codes
// and where the log is.
std::wstring UsageText(const std::wstring& version);

// The argument as it may be shown or logged: the value of a "/password="
// argument (prefix in any letter case) becomes "********", so that a password
// never reaches a console an installer captures, nor the log.
std::wstring ShowableArgument(const std::wstring& argument);

// The argument a caller most likely meant when `argument` is not one the
// program knows but starts with '/' or '-' and, without that '/', '-' or "--"
// and ignoring letter case, is within two edits (an inserted, deleted or
// replaced letter, or two neighbours swapped) of a mode's name or of "help"
// or "version": "/unistall" gives "/uninstall". Empty for every other
// argument, which the runs ignore, since installers may pass arguments of
// their own.
std::wstring NearMissOf(const std::wstring& argument);

// How an argument holds a mode's or an option's word out of its place.
enum class Misplacement {
    None,
    NotFirst,     // "/silent /verify": a word that counts only as the first argument comes later
    Glued,        // "/verify/json": the word glued to another one in one argument
    AfterBlank,   // "/verify /json" passed as one argument: a word after a blank
};

struct MisplacedWord {
    Misplacement how = Misplacement::None;
    std::wstring word;  // the word as the argument spells it
};

// Whether `argument`, at `position` (1 for the first argument), holds a
// mode's or an option's word where it cannot count: "/searchvoices",
// "/verify", help or version after the first argument, or any of the words
// (the modes, help, version, "/json" and the catalogue options' prefixes)
// glued to another word or after a blank inside one argument. Such a command
// line was meant to ask for something else than the installation run it would
// otherwise get. The value of "/username=", "/password=" and "/out=" is never
// read (it keeps its blanks), nor anything after the first '=' of any other
// argument, which is the installer's own value.
MisplacedWord FindMisplacedWord(const std::wstring& argument, int position);

// The refusal's reason in words: "/verify counts only as the first argument".
std::wstring MisplacementReason(const MisplacedWord& misplaced);

// The exit code of a refused command line: ERROR_INVALID_PARAMETER.
constexpr int kExitInvalidParameter = 87;

struct CatalogueOptions {
    std::wstring username;
    std::wstring password;
    std::wstring outPath = L"%TEMP%\\quelto_voices.json";
};

// Reads "/username=", "/password=" and "/out=" (prefixes in any letter case,
// as the mode names are) from the
// arguments after "/searchvoices"; the last occurrence wins. The output path
// is returned as written, not yet expanded.
CatalogueOptions ParseCatalogueOptions(int argc, const wchar_t* const argv[]);

// Expands environment references in the output path into 4096 characters; a
// failed or oversized expansion leaves the path as written.
std::wstring ExpandOutputPath(const std::wstring& outPath);
