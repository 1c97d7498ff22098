#include "catalogue/catalogue.h"

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <random>
#include <vector>

#include "catalogue/http_post.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/text.h"

namespace {

// A JSON string's contents: quote, backslash and control characters escaped,
// everything else as it is.
std::wstring JsonEscaped(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'"': out += L"\\\""; break;
            case L'\\': out += L"\\\\"; break;
            case L'\b': out += L"\\b"; break;
            case L'\f': out += L"\\f"; break;
            case L'\n': out += L"\\n"; break;
            case L'\r': out += L"\\r"; break;
            case L'\t': out += L"\\t"; break;
            default:
                if (static_cast<std::uint32_t>(c) < 0x20) {
                    wchar_t escape[8];
                    std::swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string WToUtf8(const std::wstring& s) { return WideToUtf8(s); }

// The one console line of a failed search, beside the progress line: what
// failed, why, and where the log tells the rest.
bool SearchFailed(const std::wstring& why) {
    plat::ConsoleWrite(plat::ConsoleStream::Error,
                       L"The catalogue download failed: " + why + L". See the log: " + GetLogFilePath() + L"\n");
    return false;
}

// A path as Windows' path functions take it apart: separators as
// backslashes, each name without the dots and blanks it ends with (Win32
// drops them), "." and ".." resolved by the text, in upper case (NTFS compares
// names ignoring case). Two paths alike by it name one file to Windows.
std::wstring WindowsPathKey(const std::wstring& path) {
    std::vector<std::wstring> names;
    std::wstring name;
    std::wstring drive;
    // "\\?\" and "\\.\" only ask Windows not to do this itself: taken off, so
    // that such a path is refused as the other does. A drive stays the root.
    std::size_t start = 0;
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) start = 4;
    if (path.size() >= start + 2 && path[start + 1] == L':') {
        drive = path.substr(start, 2);
        start += 2;
    }
    const auto flush = [&] {
        if (name == L"..") {
            if (!names.empty()) names.pop_back();
        } else if (name != L".") {
            while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
            if (!name.empty()) names.push_back(name);
        }
        name.clear();
    };
    for (std::size_t i = start; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L'/') flush();
        else name += path[i];
    }
    flush();
    std::wstring key = drive;
    for (const std::wstring& n : names) key += L"\\" + n;
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
    return key;
}

// Whether a file name is one Windows takes for a device wherever it stands,
// with any extension after it ("NUL", "con.json", "COM1 .txt").
bool IsDeviceName(const std::wstring& fileName) {
    std::wstring base = fileName.substr(0, fileName.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
}

// Why the catalogue may not take `outPath`'s place, or empty when it may: it
// replaces a file or takes a free name, and nothing else. A folder, a device,
// a pipe or a link is never replaced by a file, and the log never by a
// catalogue (its history would go; Windows refuses the rename anyway, since
// the run holds the log, but a host or Wine may not). The names are judged
// first, as Windows reads them, so that a file system that reads them
// otherwise (the stand-in's host, where names keep their case, their
// trailing dots and their colons) is refused the same ones.
std::wstring RefusalOfDestination(const std::wstring& outPath) {
    // A colon after the drive names a stream of a file ("x.json:stream"), which Windows
    // would write beside the file's data; "\\?\C:" and "\\.\C:" keep their own.
    std::size_t root = 0;
    if (outPath.compare(0, 4, L"\\\\?\\") == 0 || outPath.compare(0, 4, L"\\\\.\\") == 0) root = 4;
    if (outPath.size() >= root + 2 && outPath[root + 1] == L':') root += 2;
    if (outPath.find(L':', root) != std::wstring::npos) return L"it names a stream of a file, not a file";
    if (outPath.compare(0, 4, L"\\\\.\\") == 0) return L"it is not a plain file (a device, a pipe or a link)";
    const std::size_t slash = outPath.find_last_of(L"\\/");
    if (IsDeviceName(outPath.substr(slash == std::wstring::npos ? 0 : slash + 1)))
        return L"it is not a plain file (a device, a pipe or a link)";
    // A relative path that climbs ("..\\x.json") depends on a current folder nobody chose; the
    // installer's is seldom known (system32 for a deferred action).
    const bool rooted = !outPath.empty() && (outPath[0] == L'\\' || outPath[0] == L'/');
    if (!rooted && !(outPath.size() >= 2 && outPath[1] == L':')) {
        for (std::size_t from = 0; from <= outPath.size();) {
            std::size_t end = outPath.find_first_of(L"\\/", from);
            if (end == std::wstring::npos) end = outPath.size();
            std::wstring name = outPath.substr(from, end - from);
            while (name.size() > 2 && (name.back() == L' ' || name.back() == L'.')) name.pop_back();
            if (name == L"..") return L"it is a relative path that climbs out of the current folder (\"..\")";
            from = end + 1;
        }
    }
    const std::wstring logName = GetLogFilePath();
    if (!logName.empty() && WindowsPathKey(outPath) == WindowsPathKey(logName)) return L"it is the program's log";
    plat::PathFacts destination;
    if (!plat::InspectPath(outPath, destination))
        return L"what it names cannot be told (" + plat::ErrorText(plat::GetLastError()) + L")";
    switch (destination.kind) {
        case plat::PathKind::Absent: return L"";
        case plat::PathKind::Folder: return L"it is a folder, not a file";
        case plat::PathKind::Other: return L"it is not a plain file (a device, a pipe or a link)";
        case plat::PathKind::File: break;
    }
    plat::PathFacts log;
    const std::wstring logPath = GetLogFilePath();
    if (!logPath.empty() && plat::InspectPath(logPath, log) && log.kind == plat::PathKind::File &&
        log.volume == destination.volume && log.index == destination.index)
        return L"it is the program's log";
    return L"";
}

// Refuses a destination with its reason, in the log and on the console.
bool DestinationRefused(const std::wstring& outPath) {
    const std::wstring why = RefusalOfDestination(outPath);
    if (why.empty()) return false;
    WriteLogLine(L"ERROR", L"[SearchVoices] Refused destination: " + outPath);
    LogCause(L"file " + outPath, why);
    SearchFailed(L"refused to replace " + outPath + L": " + why);
    return true;
}

constexpr wchar_t kPartialMark[] = L".pendrel-";
constexpr wchar_t kPartialEnd[] = L".part";
constexpr std::size_t kPartialDigits = 16;

// A name for the download's temporary file beside `outPath`: unique, so that
// what a run that was killed left behind never stands in the next one's way.
std::wstring PartialName(const std::wstring& outPath) {
    static std::random_device device;
    const std::uint64_t random = (static_cast<std::uint64_t>(device()) << 32 | device()) ^
                                 static_cast<std::uint64_t>(plat::MonotonicNanoseconds());
    wchar_t digits[kPartialDigits + 1];
    std::swprintf(digits, kPartialDigits + 1, L"%016llx", static_cast<unsigned long long>(random));
    return outPath + kPartialMark + digits + kPartialEnd;
}

}  // namespace

bool IsPlaceholderEndpoint(const std::wstring& url) {
    const std::size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos) return false;
    const std::size_t start = scheme + 3;
    const std::size_t end = url.find_first_of(L":/?#", start);
    const std::wstring host = url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    const std::wstring tld = L"example";
    if (host.size() < tld.size() || !EqualsIgnoringCase(host.substr(host.size() - tld.size()), tld)) return false;
    return host.size() == tld.size() || host[host.size() - tld.size() - 1] == L'.';
}

bool IsCatalogueLeftover(const std::wstring& name) {
    // The one fixed name that earlier versions used.
    if (name.size() == 23 && EqualsIgnoringCase(name, L"quelto_voices.json.part")) return true;
    const std::size_t markSize = sizeof kPartialMark / sizeof(wchar_t) - 1, endSize = sizeof kPartialEnd / sizeof(wchar_t) - 1;
    if (name.size() <= markSize + kPartialDigits + endSize) return false;
    const std::size_t digits = name.size() - endSize - kPartialDigits;
    if (name.compare(name.size() - endSize, endSize, kPartialEnd) != 0) return false;
    if (name.compare(digits - markSize, markSize, kPartialMark) != 0) return false;
    for (std::size_t i = digits; i < digits + kPartialDigits; ++i)
        if (!std::iswxdigit(name[i])) return false;
    return true;
}

std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password) {
    return "{\"tipo\":\"1\",\"vozID\":\"\",\"username\":\"" + WToUtf8(JsonEscaped(username)) + "\",\"password\":\"" +
           WToUtf8(JsonEscaped(password)) + "\"}";
}

bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, plat::FileHandle file,
                           const std::wstring& fileName, plat::InterruptWatch& interrupts, std::wstring& failure) {
    const std::wstring url = kCatalogueUrl;
    const std::wstring body = Utf8ToWide(CatalogueRequestBody(username, password));
    WriteLogLine(L"INFO", L"[SearchVoices] POST " + url);
    WriteLogLine(L"INFO", L"[SearchVoices] username=" + (username.empty() ? std::wstring(L"<empty>") : username) +
                              L", password=" + (password.empty() ? L"<empty>" : L"<provided>"));
    HttpPostAnswer answer;
    HttpPostLimits limits;
    limits.stallSeconds = kCatalogueStallSeconds;
    limits.interrupts = &interrupts;
    if (!HttpPostJsonToFile(url, body, file, fileName, L"Lista de voces", limits, answer)) {
        WriteLogLine(L"ERROR", L"[SearchVoices] HttpPostJsonToFile failed");
        WriteLogLine(L"ERROR", L"[SearchVoices] POST failed");
        failure = answer.failure;
        return false;
    }
    WriteLogLine(L"INFO", L"[SearchVoices] Response (preview): " + Utf8ToWide(answer.firstBytes));
    return true;
}

bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath) {
    WriteLogLine(L"INFO", L"Starting exploration of available voices on Mirelka server");
    if (outPath.empty()) {
        WriteLogLine(L"ERROR", L"[SearchVoices] No file to save to: /out= is empty");
        return SearchFailed(L"/out= names no file to save the catalogue to");
    }
    if (DestinationRefused(outPath)) return false;

    // From here on Ctrl+C and Ctrl+Break end the search in its own way: the
    // temporary file removed, the previous catalogue kept, exit code 1.
    plat::InterruptWatch interrupts;
    // The answer goes, as it arrives, into a file beside its final name, which
    // is then renamed over it: a reader never sees half a catalogue, and a
    // failure leaves the previous one intact. The file is new, under a name of
    // its own for each run: whatever already has a name (a link planted there,
    // or what a run that was killed left) is neither written through nor
    // deleted (Wine deletes a link's target, not the link); another name is
    // tried instead, and the uninstallation removes what killed runs left.
    std::wstring partial;
    plat::UniqueFile file;
    std::uint32_t error = 0;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        partial = PartialName(outPath);
        file.reset(plat::CreateNewFileForWriting(partial, true));
        error = file ? 0 : plat::GetLastError();
        if (error != plat::kErrorFileExists && error != plat::kErrorAlreadyExists) break;
    }
    if (!file) {
        WriteLogLine(L"ERROR", L"[SearchVoices] Could not create file: " + outPath + L" GLE=" + std::to_wstring(error));
        LogCause(L"file " + partial, plat::ErrorText(error));
        return SearchFailed(L"could not create " + partial + L" (" + plat::ErrorText(error) + L")");
    }
    std::wstring failure;
    const bool fetched = FetchRemoteVoicesJson(username, password, file.get(), partial, interrupts, failure);
    // An interrupt after the transfer still leaves the previous catalogue as it was.
    if (fetched && interrupts.Interrupted()) {
        WriteLogLine(L"ERROR", L"[SearchVoices] Interrupted (Ctrl+C or Ctrl+Break): the answer is not saved");
        failure = L"interrupted before the catalogue was saved";
    }
    if (!fetched || interrupts.Interrupted()) {
        file.reset();
        plat::DeleteFile(partial);
        return SearchFailed(failure);
    }
    // Flushed by the transfer; the rename is written through, so that a power
    // cut leaves either the old catalogue or the whole new one.
    const bool closed = plat::CloseFile(file.release());
    // Asked again: the name may have changed hands while the answer arrived.
    if (DestinationRefused(outPath)) {
        plat::DeleteFile(partial);
        return false;
    }
    if (!closed || !plat::MoveFileReplacing(partial, outPath)) {
        error = plat::GetLastError();
        plat::DeleteFile(partial);
        WriteLogLine(L"ERROR", L"[SearchVoices] Error writing JSON to: " + outPath + L" GLE=" + std::to_wstring(error));
        LogCause(L"file " + outPath, plat::ErrorText(error));
        return SearchFailed(L"could not save " + outPath + L" (" + plat::ErrorText(error) + L")");
    }
    WriteLogLine(L"INFO", L"[SearchVoices] JSON saved to: " + outPath);
    return true;
}

void RemoveTemporalFiles() {
    wchar_t buffer[plat::kMaxPath] = {};
    const std::uint32_t length = plat::GetTempPath(plat::kMaxPath, buffer);
    const std::wstring temp = length > 0 && length < plat::kMaxPath ? buffer : L"";
    WriteLogLine(L"INFO", L"Removing temporal files: ");
    if (!plat::IsAbsolutePath(temp)) {
        WriteLogLine(L"ERROR", L"   - Temporary folder not found: nothing removed");
        return;
    }
    WriteLogLine(L"INFO", L"   - Available voices file: " + temp + L"quelto_voices.json");
    plat::DeleteFile(temp + L"quelto_voices.json");
    WriteLogLine(L"INFO", L"   - Selected voices file: " + temp + L"quelto_selected.txt");
    plat::DeleteFile(temp + L"quelto_selected.txt");
}
