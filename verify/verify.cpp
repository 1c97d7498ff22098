#include "verify/verify.h"

#include <map>
#include <string>
#include <vector>

#include "driver/install.h"
#include "driver/voice_names.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/speech.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/registration.h"
#include "verify/checks.h"

namespace {

void Say(const std::wstring& line) { plat::ConsoleWrite(plat::ConsoleStream::Output, line + L"\n"); }

// A report line on the console, and the same fact in the log.
void Report(const std::wstring& level, const std::wstring& line, const std::wstring& logged) {
    Say(line);
    WriteLogLine(level, logged);
}
void Report(const std::wstring& level, const std::wstring& line) { Report(level, line, line); }

// A problem whose long fact follows after "\n": on the console on a line of
// its own, indented under the problem, in the log on the same line.
void ReportProblem(const std::wstring& shown, const std::wstring& logged, const std::wstring& problem) {
    const std::size_t split = problem.find(L'\n');
    if (split == std::wstring::npos) return Report(L"ERROR", shown + problem, logged + problem);
    const std::wstring head = problem.substr(0, split), fact = problem.substr(split + 1);
    Say(shown + head + L":");
    Report(L"ERROR", L"    " + fact, logged + head + L": " + fact);
}

std::wstring Count(std::size_t n, const std::wstring& one, const std::wstring& many) {
    return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& n : names)
        if (EqualsIgnoringCase(n, name)) return true;
    return false;
}

// A problem and the places it was found in, in the order first found.
struct PlacedProblem {
    std::wstring problem;
    std::vector<std::wstring> places;
};

void Place(std::vector<PlacedProblem>& found, const std::wstring& problem, const std::wstring& place) {
    for (PlacedProblem& p : found) {
        if (p.problem == problem) {
            p.places.push_back(place);
            return;
        }
    }
    found.push_back({problem, {place}});
}

std::wstring Places(const std::vector<std::wstring>& places, std::size_t all) {
    if (places.size() == all) return L"all " + std::to_wstring(all) + L" places";
    std::wstring text;
    for (const std::wstring& p : places) text += (text.empty() ? L"" : L", ") + p;
    return text;
}

// One voice folder as the installation run reads it.
struct VoiceFolder {
    std::wstring folder;
    bool readable = false;
    VoiceMetadata metadata {};
};

}  // namespace

int RunVerifyMode() {
    plat::CoInitialize();
    std::vector<std::wstring> failures;
    const std::vector<TokenPlace> places = TokenPlaces();
    const std::wstring voicesFolder = GetVoicesRootPath_Post();
    Report(L"INFO", L"Checking the engine's voices (read only): " + voicesFolder);

    std::vector<VoiceFolder> folders;
    if (!plat::IsAbsolutePath(voicesFolder)) {
        failures.push_back(L"the Program Files folder is unknown: " + voicesFolder);
    } else if (!ForEachVoiceFolder(voicesFolder, [&](const std::wstring& name) {
                   VoiceFolder v;
                   v.folder = name;
                   v.readable = ReadVoiceMetadata(voicesFolder + L"\\" + name + L"\\metaData.txt", v.metadata);
                   folders.push_back(v);
               }) &&
               plat::GetFileAttributes(voicesFolder) != plat::kInvalidFileAttributes) {
        failures.push_back(L"cannot list " + voicesFolder);
    }

    std::vector<std::vector<std::wstring>> sapiNames;
    for (const TokenPlace& place : places) sapiNames.push_back(TokenNamesSapiLists(place, failures));

    std::vector<std::wstring> voiceNames;
    TokenNameClaims claims;
    std::size_t voicesOk = 0;
    bool wrong = false;
    for (const VoiceFolder& v : folders) {
        const std::wstring metadataPath = voicesFolder + L"\\" + v.folder + L"\\metaData.txt";
        if (!v.readable) {
            Report(L"ERROR", L"Voice folder " + v.folder + L": metaData.txt cannot be read, so it is not registered",
                   L"Voice folder not registered, cannot open input file: " + metadataPath);
            wrong = true;
            continue;
        }
        const std::wstring name = v.metadata.TokenKeyName;
        if (!IsValidTokenKeyName(name)) {
            Report(L"ERROR", L"Voice folder " + v.folder + L": invalid TokenKeyName '" + name + L"', not registered",
                   L"Voice folder not registered, invalid TokenKeyName '" + name + L"': " + metadataPath);
            wrong = true;
            continue;
        }
        if (const std::wstring first = claims.Claim(name, v.folder); !first.empty()) {
            Report(L"ERROR", L"Voice folder " + v.folder + L": " + NameConflictText(name, first, v.folder),
                   L"Voice folder not registered: " +
                       NameConflictText(name, voicesFolder + L"\\" + first, voicesFolder + L"\\" + v.folder));
            wrong = true;
            continue;
        }
        voiceNames.push_back(name);
        std::vector<PlacedProblem> problems;
        for (std::size_t i = 0; i < places.size(); ++i)
            for (const std::wstring& p : CheckVoiceToken(places[i], v.metadata, sapiNames[i], failures))
                Place(problems, p, places[i].label);
        if (problems.empty()) {
            Report(L"INFO", L"Voice " + name + L": ok");
            ++voicesOk;
            continue;
        }
        wrong = true;
        Report(L"ERROR", L"Voice " + name + L": " + Count(problems.size(), L"problem", L"problems"));
        for (const PlacedProblem& p : problems) {
            const std::wstring where = Places(p.places, places.size()) + L": ";
            ReportProblem(L"  " + where, L"Voice " + name + L": " + where, p.problem);
        }
        // The installation run deletes the engine's tokens and writes them afresh.
        Report(L"INFO", L"  Repair: run the installation (pendrel without arguments) as an administrator",
               L"Voice " + name + L": repaired by the installation run (pendrel without arguments)");
    }

    // The engine's class matters while there is a voice for it to speak.
    if (!folders.empty()) {
        const std::wstring label = L"Engine class " + EngineClassId();
        const Problems problems = CheckEngineClass(failures);
        if (problems.empty()) Report(L"INFO", label + L": ok");
        for (const std::wstring& p : problems) ReportProblem(label + L": ", label + L": ", p);
        wrong = wrong || !problems.empty();
    }

    std::vector<PlacedProblem> leftovers;  // a token name and where it is
    std::size_t warnings = 0;
    std::map<std::wstring, std::wstring> classes;
    for (const TokenPlace& place : places) {
        for (const std::wstring& name : TokenNamesInPlace(place, failures)) {
            if (Contains(voiceNames, name)) continue;  // checked with its voice
            if (IsEngineToken(place, name, failures)) {
                Place(leftovers, name, place.label);
                continue;
            }
            const Problems problems = CheckOtherVendorToken(place, name, classes, failures);
            if (problems.empty()) continue;
            std::wstring text;
            for (const std::wstring& p : problems) text += (text.empty() ? L"" : L"; ") + p;
            Report(L"WARNING", L"Warning: " + place.FullKey(name) + L": " + text,
                   L"Another vendor's token: " + place.FullKey(name) + L": " + text);
            ++warnings;
        }
    }
    for (const PlacedProblem& l : leftovers)
        Report(L"ERROR", L"Leftover token " + l.problem + L" (no voice folder): " + Places(l.places, places.size()));
    wrong = wrong || !leftovers.empty();

    for (const std::wstring& f : failures) Report(L"ERROR", L"Cannot check: " + f);
    const int code = !failures.empty() ? 2 : wrong ? 1 : 0;

    std::wstring summary = L"Summary: ";
    summary += folders.empty() ? L"no voices" : Count(folders.size(), L"voice", L"voices") + L" (" +
                                                    std::to_wstring(voicesOk) + L" ok)";
    summary += L", " + (leftovers.empty() ? L"no leftovers" : Count(leftovers.size(), L"leftover", L"leftovers"));
    summary += L", " + Count(warnings, L"warning", L"warnings");
    summary += code == 2 ? L": incomplete, exit code 2" : L": exit code " + std::to_wstring(code);
    Report(code == 0 ? L"INFO" : L"ERROR", summary);
    plat::CoUninitialize();
    return code;
}
