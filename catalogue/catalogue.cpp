#include "catalogue/catalogue.h"

#include <cwchar>

#include "catalogue/http_post.h"
#include "platform/console.h"
#include "platform/errors.h"
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

// Why the catalogue may not take `outPath`'s place, or empty when it may: it
// replaces a file or takes a free name, and nothing else. A folder, a device,
// a pipe or a link is never replaced by a file, and the log never by a
// catalogue (its history would go; Windows refuses the rename anyway, since
// the run holds the log, but a host or Wine may not).
std::wstring RefusalOfDestination(const std::wstring& outPath) {
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

std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password) {
    return "{\"tipo\":\"1\",\"vozID\":\"\",\"username\":\"" + WToUtf8(JsonEscaped(username)) + "\",\"password\":\"" +
           WToUtf8(JsonEscaped(password)) + "\"}";
}

bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, plat::FileHandle file,
                           const std::wstring& fileName, std::wstring& failure) {
    const std::wstring url = kCatalogueUrl;
    const std::wstring body = Utf8ToWide(CatalogueRequestBody(username, password));
    WriteLogLine(L"INFO", L"[SearchVoices] POST " + url);
    WriteLogLine(L"INFO", L"[SearchVoices] username=" + (username.empty() ? std::wstring(L"<empty>") : username) +
                              L", password=" + (password.empty() ? L"<empty>" : L"<provided>"));
    HttpPostAnswer answer;
    if (!HttpPostJsonToFile(url, body, file, fileName, L"Lista de voces", answer)) {
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
    if (DestinationRefused(outPath)) return false;

    // The answer goes, as it arrives, into a file beside its final name, which
    // is then renamed over it: a reader never sees half a catalogue, and a
    // failure leaves the previous one intact. The file must be new: whatever
    // already has its name (a link planted there, or what a run cut short by a
    // power loss left) makes the search fail with the name, and is neither
    // written through nor deleted (Wine deletes a link's target, not the link).
    const std::wstring partial = outPath + L".part";
    plat::UniqueFile file(plat::CreateNewFileForWriting(partial, true));
    if (!file) {
        const std::uint32_t error = plat::GetLastError();
        WriteLogLine(L"ERROR", L"[SearchVoices] Could not create file: " + outPath + L" GLE=" + std::to_wstring(error));
        LogCause(L"file " + partial, plat::ErrorText(error));
        return SearchFailed(L"could not create " + partial + L" (" + plat::ErrorText(error) + L")");
    }
    std::wstring failure;
    if (!FetchRemoteVoicesJson(username, password, file.get(), partial, failure)) {
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
        const std::uint32_t error = plat::GetLastError();
        plat::DeleteFile(partial);
        WriteLogLine(L"ERROR", L"[SearchVoices] Error writing JSON to: " + outPath + L" GLE=" + std::to_wstring(error));
        LogCause(L"file " + outPath, plat::ErrorText(error));
        return SearchFailed(L"could not save " + outPath + L" (" + plat::ErrorText(error) + L")");
    }
    WriteLogLine(L"INFO", L"[SearchVoices] JSON saved to: " + outPath);
    return true;
}
