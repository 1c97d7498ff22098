// The command line's vocabulary.
#pragma once
#include <string>

// True for "/uninstall" and "--unregister-all" in any letter case.
bool IsUninstallArgument(const std::wstring& argument);

// True for "/verify" and "--verify" in any letter case.
bool IsVerifyArgument(const std::wstring& argument);

// True when "/json" (or "--json", any letter case) follows the first
// argument: the check's report as one JSON document.
bool WantsJson(int argc, wchar_t* argv[]);

// True for "/searchvoices" in any letter case.
bool IsSearchVoicesArgument(const std::wstring& argument);

// True for "/?", "-h" and "--help" in any letter case.
bool IsHelpArgument(const std::wstring& argument);

// True for "--version" in any letter case.
bool IsVersionArgument(const std::wstring& argument);

// The usage that help prints: the modes and their arguments, the exit codes
// and where the log is.
std::wstring UsageText(const std::wstring& version);

// The argument as it may be shown or logged: the value of a "/password="
// argument (prefix in any letter case) becomes "********", so that a password
// never reaches a console an installer captures, nor the log.
std::wstring ShowableArgument(const std::wstring& argument);

struct CatalogueOptions {
    std::wstring username;
    std::wstring password;
    std::wstring outPath = L"%TEMP%\\quelto_voices.json";
};

// Reads "/username=", "/password=" and "/out=" (exact case) from the
// arguments after "/searchvoices"; the last occurrence wins. The output path
// is returned as written, not yet expanded.
CatalogueOptions ParseCatalogueOptions(int argc, const wchar_t* const argv[]);

// Expands environment references in the output path into 4096 characters; a
// failed or oversized expansion leaves the path as written.
std::wstring ExpandOutputPath(const std::wstring& outPath);
