#include "verify/verify.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/speech.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "tokens/registration.h"
#include "verify/checks.h"
#include "voices/token_names.h"
#include "voices/voice_files.h"
#include "voices/voice_folders.h"

namespace {

// What the engine's own package installs and registers, and this program
// never does: the installation run only writes tokens that name them.
std::wstring EngineLibraryAndClass() {
    return GetEngineLibraryPath() + L", class " + EngineClassId() + L" (InprocServer32, ThreadingModel Both)";
}

std::wstring EnginePackageRemedy() {
    return L"install (or repair) the engine's own package, which installs the engine's library and registers its "
           L"class: " + EngineLibraryAndClass() + L"; the installation run (pendrel) does neither";
}

std::wstring Count(std::size_t n, const std::wstring& one, const std::wstring& many) {
    return std::to_wstring(n) + L" " + (n == 1 ? one : many);
}

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (const std::wstring& n : names)
        if (EqualsIgnoringCase(n, name)) return true;
    return false;
}

// A problem (or a note) and the places it was found in, in the order first found.
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

// What was found of one voice folder.
struct VoiceResult {
    enum class State { Ok, Wrong, NotChecked, NotRegistered, Pending };
    std::wstring folder;
    std::wstring name;  // TokenKeyName, empty when the folder gives none
    State state = State::Ok;
    std::wstring why;   // NotRegistered, Pending: the reason
    std::wstring firstFolder;  // NotRegistered: the folder that gave the same TokenKeyName first
    bool readable = true;      // NotRegistered, Pending: whether metaData.txt could be read
    std::vector<PlacedProblem> problems, notes;
    std::vector<std::wstring> causes;  // NotChecked: what could not be read
};

const wchar_t* StateName(VoiceResult::State state) {
    switch (state) {
        case VoiceResult::State::Ok: return L"ok";
        case VoiceResult::State::Wrong: return L"problems";
        case VoiceResult::State::NotChecked: return L"not checked";
        case VoiceResult::State::NotRegistered: return L"not registered";
        case VoiceResult::State::Pending: return L"pending restart";
    }
    return L"";
}

struct Warning {
    std::wstring key;  // the other vendor's token, or what could not be read
    std::wstring text;
};

// Everything the check found, before it is told in text or in JSON.
struct Findings {
    std::wstring voicesFolder;
    std::vector<VoiceResult> voices;
    bool classChecked = false;
    Problems classProblems;
    std::vector<std::wstring> classNotes;  // never decide the exit code
    std::vector<PlacedProblem> leftovers;  // a token name and where it is
    std::vector<std::wstring> pending;
    std::vector<Warning> warnings;
    std::vector<std::wstring> failures;
    int code = kVerifyInstalled;
};

bool Inside(const std::wstring& path, const std::wstring& folder) {
    return EqualsIgnoringCase(path, folder) ||
           (path.size() > folder.size() && EqualsIgnoringCase(path.substr(0, folder.size()), folder) &&
            path[folder.size()] == L'\\');
}

// A voice folder that waits for the restart: it, or something in it or above it, is to be deleted then.
bool PendingFolder(const std::wstring& folder, const std::vector<std::wstring>& pending) {
    for (const std::wstring& p : pending)
        if (Inside(folder, p) || Inside(p, folder)) return true;
    return false;
}

Findings Check() {
    Findings f;
    const std::vector<TokenPlace> places = TokenPlaces();
    f.voicesFolder = GetVoicesRootPath_Post();
    if (plat::IsAbsolutePath(GetRootPath())) f.pending = PendingDeletionsUnder(GetRootPath(), f.failures);

    struct Folder {
        std::wstring name;
        bool readable = false;
        VoiceMetadata metadata {};
    };
    std::vector<Folder> folders;
    if (!plat::IsAbsolutePath(f.voicesFolder)) {
        f.failures.push_back(L"the Program Files folder is unknown: " + f.voicesFolder);
    } else if (!ForEachVoiceFolder(f.voicesFolder, [&](const std::wstring& name) {
                   Folder v;
                   v.name = name;
                   v.readable = ReadVoiceMetadata(f.voicesFolder + L"\\" + name + L"\\metaData.txt", v.metadata);
                   folders.push_back(v);
               }) &&
               plat::GetFileAttributes(f.voicesFolder) != plat::kInvalidFileAttributes) {
        f.failures.push_back(L"cannot list " + f.voicesFolder);
    }

    // SAPI's listings: one that stops short (Wine's stops at a token it cannot
    // read, any user can make one in HKCU) is another vendor's doing, a warning.
    std::vector<std::vector<std::wstring>> sapiNames;
    // Why a place's listing may have stopped short (empty: it did not), found
    // when a voice is missing from it.
    std::vector<std::optional<std::wstring>> sapiStopped;
    for (const TokenPlace& place : places) {
        std::vector<std::wstring> listing;
        bool complete = false;
        sapiNames.push_back(TokenNamesSapiLists(place, listing, complete));
        for (const std::wstring& l : listing) f.warnings.push_back({place.CategoryId(), l});
        sapiStopped.push_back(complete ? std::nullopt : std::optional<std::wstring>(L"SAPI's listing failed"));
    }
    const auto stopped = [&](std::size_t i) {
        if (!sapiStopped[i]) {
            const std::wstring unreadable = FirstUnreadableToken(places[i]);
            sapiStopped[i] = unreadable.empty() ? L"" : L"the token " + unreadable + L" cannot be read";
        }
        return *sapiStopped[i];
    };

    std::vector<std::wstring> voiceNames;
    TokenNameClaims claims;
    for (const Folder& folder : folders) {
        VoiceResult v;
        v.folder = folder.name;
        const std::wstring path = f.voicesFolder + L"\\" + folder.name;
        if (!folder.readable || !IsValidTokenKeyName(folder.metadata.TokenKeyName)) {
            v.name = folder.readable ? folder.metadata.TokenKeyName : L"";
            v.readable = folder.readable;
            v.state = PendingFolder(path, f.pending) ? VoiceResult::State::Pending : VoiceResult::State::NotRegistered;
            v.why = folder.readable ? L"invalid TokenKeyName '" + v.name + L"'" : L"metaData.txt cannot be read";
            f.voices.push_back(v);
            continue;
        }
        v.name = folder.metadata.TokenKeyName;
        if (v.firstFolder = claims.Claim(v.name, folder.name); !v.firstFolder.empty()) {
            v.state = VoiceResult::State::NotRegistered;
            v.why = NameConflictText(v.name, v.firstFolder, folder.name);
            f.voices.push_back(v);
            continue;
        }
        voiceNames.push_back(v.name);
        for (std::size_t i = 0; i < places.size(); ++i) {
            std::vector<std::wstring> unread;
            Problems problems = CheckVoiceToken(places[i], folder.metadata, sapiNames[i], unread);
            for (const std::wstring& cause : unread) v.causes.push_back(cause);
            for (const std::wstring& p : problems) {
                // The machine's tokens decide; the user's hive holds a copy
                // only for the account that ran the installation.
                if (places[i].hive == plat::kHkeyCurrentUser && p == L"token key missing")
                    Place(v.notes, L"not copied for this user", places[i].label);
                else if (p == L"SAPI does not list the token" && !stopped(i).empty())
                    Place(v.notes, L"SAPI's listing may stop before it (" + stopped(i) +
                                       L"), so whether SAPI lists it is not known", places[i].label);
                else
                    Place(v.problems, p, places[i].label);
            }
        }
        v.state = !v.causes.empty()     ? VoiceResult::State::NotChecked
                  : !v.problems.empty() ? VoiceResult::State::Wrong
                                        : VoiceResult::State::Ok;
        f.voices.push_back(v);
    }

    // The engine's class matters while there is a voice for it to speak; a
    // folder only waiting for its deletion at the restart is none.
    const bool speaking = std::any_of(f.voices.begin(), f.voices.end(), [](const VoiceResult& v) {
        return v.state != VoiceResult::State::Pending;
    });
    if (speaking) {
        f.classChecked = true;
        f.classProblems = CheckEngineClass(f.failures, &f.classNotes);
    }

    std::map<std::wstring, std::wstring> classes;
    bool engineTokens = false;
    for (const TokenPlace& place : places) {
        for (const std::wstring& name : TokenNamesInPlace(place, f.failures)) {
            if (Contains(voiceNames, name)) {
                engineTokens = true;
                continue;  // checked with its voice
            }
            // Another vendor's token decides nothing: what cannot be read of it is a warning.
            std::vector<std::wstring> unread;
            if (IsEngineToken(place, name, unread)) {
                engineTokens = true;
                Place(f.leftovers, name, place.label);
                continue;
            }
            const Problems problems = CheckOtherVendorToken(place, name, classes, unread);
            std::wstring text;
            for (const std::wstring& p : problems) text += (text.empty() ? L"" : L"; ") + p;
            for (const std::wstring& u : unread) text += (text.empty() ? L"" : L"; ") + u;
            if (!text.empty()) f.warnings.push_back({place.FullKey(name), text});
        }
    }

    bool wrong = !f.leftovers.empty() || !f.classProblems.empty();
    bool notChecked = false;
    for (const VoiceResult& v : f.voices) {
        wrong = wrong || v.state == VoiceResult::State::Wrong || v.state == VoiceResult::State::NotRegistered;
        notChecked = notChecked || v.state == VoiceResult::State::NotChecked;
    }
    bool installed = engineTokens;
    for (const VoiceResult& v : f.voices) installed = installed || v.state != VoiceResult::State::Pending;
    if (!f.failures.empty() || notChecked) f.code = kVerifyIncomplete;
    else if (wrong) f.code = kVerifyWrong;
    else if (!installed) f.code = f.pending.empty() ? kVerifyNotInstalled : kVerifyRestartPending;
    return f;
}

// ---- The text report ------------------------------------------------------------------

class TextReport {
public:
    explicit TextReport(bool console) : console_(console) {}

    // A report line on the console, and the same fact in the log. Names and
    // found text come from keys and files anyone may write: the console shows
    // them escaped as the log does, so that a name's escape sequences never
    // reach the administrator's terminal.
    void Report(const std::wstring& level, const std::wstring& line, const std::wstring& logged) const {
        if (console_) plat::ConsoleWrite(plat::ConsoleStream::Output, ShownText(line) + L"\n");
        WriteLogLine(level, logged);
    }
    void Report(const std::wstring& level, const std::wstring& line) const { Report(level, line, line); }

    // A problem whose long fact follows after "\n": on the console on a line
    // of its own, indented under the problem, in the log on the same line.
    void Problem(const std::wstring& level, const std::wstring& shown, const std::wstring& logged,
                 const std::wstring& problem) const {
        const std::size_t split = problem.find(L'\n');
        if (split == std::wstring::npos) return Report(level, shown + problem, logged + problem);
        const std::wstring head = problem.substr(0, split), fact = problem.substr(split + 1);
        if (console_) plat::ConsoleWrite(plat::ConsoleStream::Output, ShownText(shown + head) + L":\n");
        Report(level, L"    " + fact, logged + head + L": " + fact);
    }

private:
    bool console_;
};

void Tell(const Findings& f, const TextReport& out) {
    const std::size_t all = TokenPlaces().size();
    std::size_t ok = 0;
    for (const VoiceResult& v : f.voices) {
        using State = VoiceResult::State;
        const std::wstring path = f.voicesFolder + L"\\" + v.folder + L"\\metaData.txt";
        if (v.state == State::Pending) {
            out.Report(L"INFO", L"Voice folder " + v.folder + L": waits for deletion at the next restart",
                       L"Voice folder waits for deletion at the next restart (" + v.why + L"): " + path);
            continue;
        }
        if (v.state == State::NotRegistered) {
            if (!v.firstFolder.empty())
                out.Report(L"ERROR", L"Voice folder " + v.folder + L": " + v.why,
                           L"Voice folder not registered: " +
                               NameConflictText(v.name, f.voicesFolder + L"\\" + v.firstFolder,
                                                f.voicesFolder + L"\\" + v.folder));
            else if (!v.readable)
                out.Report(L"ERROR", L"Voice folder " + v.folder + L": metaData.txt cannot be read, so it is not registered",
                           L"Voice folder not registered, cannot open input file: " + path);
            else
                out.Report(L"ERROR", L"Voice folder " + v.folder + L": invalid TokenKeyName '" + v.name + L"', not registered",
                           L"Voice folder not registered, invalid TokenKeyName '" + v.name + L"': " + path);
            continue;
        }
        if (v.state == State::Ok) {
            out.Report(L"INFO", L"Voice " + v.name + L": ok");
            ++ok;
        } else if (v.state == State::NotChecked) {
            out.Report(L"ERROR", L"Voice " + v.name + L": not checked");
            for (const std::wstring& cause : v.causes)
                out.Report(L"ERROR", L"  Cannot check: " + cause, L"Voice " + v.name + L": cannot check: " + cause);
        } else {
            out.Report(L"ERROR", L"Voice " + v.name + L": " + Count(v.problems.size(), L"problem", L"problems"));
        }
        for (const PlacedProblem& p : v.problems) {
            const std::wstring where = Places(p.places, all) + L": ";
            out.Problem(L"ERROR", L"  " + where, L"Voice " + v.name + L": " + where, p.problem);
        }
        for (const PlacedProblem& n : v.notes) {
            const std::wstring where = Places(n.places, all) + L": ";
            out.Report(L"INFO", L"  note: " + where + n.problem, L"Voice " + v.name + L": note: " + where + n.problem);
        }
        // The installation run deletes the engine's tokens and writes them
        // afresh; the engine's library is its own package's, which no run of
        // this program installs.
        bool tokenRepair = false, libraryRepair = false;
        for (const PlacedProblem& p : v.problems) {
            if (p.problem.rfind(kMissingLibraryProblem, 0) == 0) libraryRepair = true;
            else tokenRepair = true;
        }
        if (v.state == State::Wrong && tokenRepair)
            out.Report(L"INFO", L"  Repair: run the installation (pendrel without arguments) as an administrator",
                       L"Voice " + v.name + L": repaired by the installation run (pendrel without arguments)");
        if (v.state == State::Wrong && libraryRepair)
            out.Report(L"INFO", L"  Repair: " + EnginePackageRemedy(),
                       L"Voice " + v.name + L": repaired by the engine's package, not by the installation run: " +
                           EngineLibraryAndClass());
    }
    if (!f.voices.empty())
        out.Report(L"INFO", L"Note: Speech_OneCore is checked in the registry, which is in order where no problem is "
                            L"named; what OneCore applications, which read their own copies of it, list is not checked");
    if (f.classChecked) {
        const std::wstring label = L"Engine class " + EngineClassId();
        if (f.classProblems.empty()) out.Report(L"INFO", label + L": ok");
        for (const std::wstring& p : f.classProblems) out.Problem(L"ERROR", label + L": ", label + L": ", p);
        for (const std::wstring& n : f.classNotes) out.Report(L"INFO", L"  note: " + n, label + L": note: " + n);
        if (!f.classProblems.empty())
            out.Report(L"INFO", L"  Repair: " + EnginePackageRemedy(),
                       label + L": repaired by the engine's package, not by the installation run: " +
                           EngineLibraryAndClass());
    }
    for (const Warning& w : f.warnings)
        out.Report(L"WARNING", L"Warning: " + w.key + L": " + w.text, L"Another vendor's token: " + w.key + L": " + w.text);
    for (const PlacedProblem& l : f.leftovers)
        out.Report(L"ERROR", L"Leftover token " + l.problem + L" (no voice folder): " + Places(l.places, all));
    // The installation run removes the engine's tokens that no voice folder
    // claims any more.
    if (!f.leftovers.empty())
        out.Report(L"INFO", L"  Repair: run the installation (pendrel without arguments) as an administrator",
                   L"Leftover tokens: repaired by the installation run (pendrel without arguments)");
    for (const std::wstring& p : f.pending)
        out.Report(L"WARNING", L"Waiting for deletion at the next restart: " + p);
    for (const std::wstring& failure : f.failures) out.Report(L"ERROR", L"Cannot check: " + failure);

    std::wstring summary = L"Summary: ";
    summary += f.voices.empty() ? L"no voices"
                                : Count(f.voices.size(), L"voice", L"voices") + L" (" + std::to_wstring(ok) + L" ok)";
    summary += L", " + (f.leftovers.empty() ? L"no leftovers" : Count(f.leftovers.size(), L"leftover", L"leftovers"));
    summary += L", " + Count(f.warnings.size(), L"warning", L"warnings");
    if (!f.pending.empty()) summary += L", " + Count(f.pending.size(), L"entry", L"entries") + L" pending a restart";
    switch (f.code) {
        case kVerifyIncomplete: summary += L": incomplete, exit code 2"; break;
        case kVerifyNotInstalled: summary += L": nothing of the engine on this machine, exit code 3"; break;
        case kVerifyRestartPending: summary += L": uninstalled, waiting for the restart, exit code 3010"; break;
        default: summary += L": exit code " + std::to_wstring(f.code); break;
    }
    const bool bad = f.code == kVerifyWrong || f.code == kVerifyIncomplete;
    out.Report(bad ? L"ERROR" : L"INFO", summary);
}

// ---- The JSON document -------------------------------------------------------------

using Json = nlohmann::ordered_json;

// Any text, whatever it held (an unpaired surrogate becomes U+FFFD), as valid
// UTF-8, escaped as the log and the text report show it: a reader of the JSON
// gets the same "\x1B" the log holds, never the character itself, which a
// tool printing the field would pass to a terminal.
std::string Utf8(const std::wstring& text) { return WideToUtf8(ShownText(text)); }

Json Strings(const std::vector<std::wstring>& texts) {
    Json list = Json::array();
    for (const std::wstring& t : texts) list.push_back(Utf8(t));
    return list;
}

Json Problem(const std::wstring& problem, const std::vector<std::wstring>& places) {
    const std::size_t split = problem.find(L'\n');
    Json entry = {{"text", Utf8(problem.substr(0, split))},
                  {"detail", split == std::wstring::npos ? "" : Utf8(problem.substr(split + 1))}};
    entry["places"] = Strings(places);
    return entry;
}

Json Placed(const std::vector<PlacedProblem>& found) {
    Json list = Json::array();
    for (const PlacedProblem& p : found) list.push_back(Problem(p.problem, p.places));
    return list;
}

std::string Document(const Findings& f, const std::wstring& version) {
    Json doc;
    doc["tool"] = "Pendrel";
    doc["version"] = Utf8(version);
    doc["exitCode"] = f.code;
    doc["state"] = f.code == kVerifyInstalled       ? "installed"
                   : f.code == kVerifyWrong         ? "damaged"
                   : f.code == kVerifyIncomplete    ? "incomplete"
                   : f.code == kVerifyNotInstalled  ? "not-installed"
                                                    : "restart-pending";
    doc["voicesFolder"] = Utf8(f.voicesFolder);
    doc["voices"] = Json::array();
    for (const VoiceResult& v : f.voices) {
        Json voice = {{"name", Utf8(v.name)}, {"folder", Utf8(v.folder)}, {"status", Utf8(StateName(v.state))},
                      {"reason", Utf8(v.why)}};
        voice["problems"] = Placed(v.problems);
        voice["notes"] = Placed(v.notes);
        voice["notChecked"] = Strings(v.causes);
        doc["voices"].push_back(voice);
    }
    Json engine = {{"clsid", Utf8(EngineClassId())}, {"checked", f.classChecked}};
    engine["problems"] = Json::array();
    for (const std::wstring& p : f.classProblems) engine["problems"].push_back(Problem(p, {}));
    engine["notes"] = Json::array();
    for (const std::wstring& n : f.classNotes) engine["notes"].push_back(Problem(n, {}));
    doc["engineClass"] = engine;
    doc["leftovers"] = Json::array();
    for (const PlacedProblem& l : f.leftovers)
        doc["leftovers"].push_back(Json{{"token", Utf8(l.problem)}, {"places", Strings(l.places)}});
    doc["pending"] = Strings(f.pending);
    doc["warnings"] = Json::array();
    for (const Warning& w : f.warnings) doc["warnings"].push_back(Json{{"key", Utf8(w.key)}, {"text", Utf8(w.text)}});
    doc["failures"] = Strings(f.failures);
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

int RunVerifyMode(bool json, const std::wstring& version) {
    plat::CoInitialize();
    const TextReport out(!json);
    out.Report(L"INFO", L"Checking the engine's voices (read only): " + GetVoicesRootPath_Post());
    const Findings findings = Check();
    Tell(findings, out);
    if (json) plat::ConsoleWrite(plat::ConsoleStream::Output, Utf8ToWide(Document(findings, version)));
    plat::CoUninitialize();
    return findings.code;
}
