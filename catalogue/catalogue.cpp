#include "catalogue/catalogue.h"

#include <cwchar>

#include "catalogue/http_post.h"
#include "platform/environment.h"
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

bool HttpPostJsonToString(const std::wstring& url, const std::wstring& jsonBody, std::string& outUtf8) {
    wchar_t folder[plat::kMaxPath] = {};
    const std::uint32_t length = plat::GetTempPath(plat::kMaxPath, folder);
    std::wstring temporary;
    if (length == 0 || length >= plat::kMaxPath || !plat::GetTempFileName(folder, L"zuv", temporary)) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"[SearchVoices] HttpPostJsonToFile failed");
        LogCause(L"temporary file in " + std::wstring(folder), plat::ErrorText(cause));
        return false;
    }
    std::wstring disposition, type;
    if (!HttpPostJsonToFile(url, jsonBody, temporary, &disposition, &type, L"Lista de voces")) {
        WriteLogLine(L"ERROR", L"[SearchVoices] HttpPostJsonToFile failed");
        plat::DeleteFile(temporary);
        return false;
    }
    std::string bytes;
    const bool read = plat::ReadWholeFile(temporary, bytes);
    plat::DeleteFile(temporary);
    if (!read) return false;
    outUtf8.swap(bytes);
    return true;
}

}  // namespace

std::string CatalogueRequestBody(const std::wstring& username, const std::wstring& password) {
    return "{\"tipo\":\"1\",\"vozID\":\"\",\"username\":\"" + WToUtf8(JsonEscaped(username)) + "\",\"password\":\"" +
           WToUtf8(JsonEscaped(password)) + "\"}";
}

bool FetchRemoteVoicesJson(const std::wstring& username, const std::wstring& password, std::string& outJsonUtf8) {
    const std::wstring url = kCatalogueUrl;
    const std::wstring body = Utf8ToWide(CatalogueRequestBody(username, password));
    WriteLogLine(L"INFO", L"[SearchVoices] POST " + url);
    WriteLogLine(L"INFO", L"[SearchVoices] username=" + (username.empty() ? std::wstring(L"<empty>") : username) +
                              L", password=" + (password.empty() ? L"<empty>" : L"<provided>"));
    std::string answer;
    if (!HttpPostJsonToString(url, body, answer)) {
        WriteLogLine(L"ERROR", L"[SearchVoices] POST failed");
        return false;
    }
    WriteLogLine(L"INFO", L"[SearchVoices] Response (preview): " + Utf8ToWide(answer.substr(0, 256)));
    outJsonUtf8.swap(answer);
    return true;
}

bool SaveRemoteVoicesJson(const std::wstring& username, const std::wstring& password, const std::wstring& outPath) {
    WriteLogLine(L"INFO", L"Starting exploration of available voices on Mirelka server");
    std::string answer;
    if (!FetchRemoteVoicesJson(username, password, answer)) return false;

    // Written beside its final name and then renamed over it: a reader never
    // sees half a catalogue, and a failure leaves the previous one intact.
    const std::wstring partial = outPath + L".part";
    plat::FileHandle file = plat::CreateFileForWriting(partial, true);
    if (file == nullptr) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"[SearchVoices] Could not create file: " + outPath + L" GLE=" + std::to_wstring(cause));
        LogCause(L"file " + partial, plat::ErrorText(cause));
        return false;
    }
    std::uint32_t written = 0;
    bool ok = plat::WriteToFile(file, answer.data(), static_cast<std::uint32_t>(answer.size()), &written) &&
              written == answer.size();
    ok = plat::CloseFile(file) && ok;
    ok = ok && plat::MoveFileReplacing(partial, outPath);
    if (!ok) {
        const std::uint32_t error = plat::GetLastError();
        plat::DeleteFile(partial);
        WriteLogLine(L"ERROR", L"[SearchVoices] Error writing JSON to: " + outPath + L" GLE=" + std::to_wstring(error));
        LogCause(L"file " + outPath, plat::ErrorText(error));
        return false;
    }
    WriteLogLine(L"INFO", L"[SearchVoices] JSON saved to: " + outPath);
    return true;
}
