#include "catalogue/http_post.h"

#include <cwchar>
#include <memory>
#include <vector>

#include "catalogue/progress_bar.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/http.h"
#include "support/causes.h"
#include "support/log.h"
#include "support/text.h"

namespace {

// A response header by the two-call protocol: empty when missing.
std::wstring queryHeader(plat::HInternet request, std::uint32_t what, const wchar_t* name = nullptr) {
    std::uint32_t bytes = 0;
    plat::HttpQueryHeaders(request, what, name, nullptr, &bytes);
    if (plat::GetLastError() != plat::kErrorInsufficientBuffer || bytes == 0) return L"";
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!plat::HttpQueryHeaders(request, what, name, value.data(), &bytes)) return L"";
    value.resize(std::wcslen(value.c_str()));
    return value;
}

// _wcstoui64(text, nullptr, 10): leading white space, then decimal digits.
std::uint64_t ParseDecimal(const std::wstring& text) {
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        const std::uint64_t next = value * 10 + static_cast<std::uint64_t>(text[i] - L'0');
        if (next / 10 != value) return UINT64_MAX;
        value = next;
    }
    return value;
}

std::wstring HexSample(const std::vector<unsigned char>& sample) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (unsigned char b : sample) {
        text += digits[b >> 4];
        text += digits[b & 15];
        text += L' ';
    }
    return text;
}

struct HandleCloser {
    void operator()(plat::HttpObject* h) const { plat::HttpCloseHandle(h); }
};
using Handle = std::unique_ptr<plat::HttpObject, HandleCloser>;

}  // namespace

bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, const std::wstring& outFile,
                        std::wstring* pContentDisposition, std::wstring* pContentType, const std::wstring& title) {
    plat::UrlComponents parts;
    // A failure's line, then its cause: the host it concerns and the code's text.
    const auto failed = [&](const std::wstring& line) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", line);
        LogCause(L"host " + (parts.host.empty() ? url : parts.host), plat::ErrorText(cause));
        return false;
    };
    if (!plat::HttpCrackUrl(url, parts)) return failed(L"WinHttpCrackUrl failed");
    // Declared in opening order, so that they close request, connection, session.
    Handle session(plat::HttpOpen(L"Pendrel/1.0"));
    if (!session) return failed(L"WinHttpOpen failed");
    // Followed by the client, but never from HTTPS to plain HTTP: the request carries a password.
    plat::HttpFollowRedirectsExceptToPlainHttp(session.get());
    Handle connection(plat::HttpConnect(session.get(), parts.host, parts.port));
    if (!connection) return failed(L"WinHttpConnect failed");
    Handle request(plat::HttpOpenRequest(connection.get(), L"POST", parts.path, parts.https));
    if (!request) return failed(L"WinHttpOpenRequest failed");

    const std::string body = WideToUtf8(jsonBody);
    if (!plat::HttpSendRequest(request.get(), L"Content-Type: application/json; charset=utf-8\r\nAccept: application/zip, */*\r\n",
                               body.data(), static_cast<std::uint32_t>(body.size())))
        return failed(L"WinHttpSendRequest failed");
    if (!plat::HttpReceiveResponse(request.get())) return failed(L"WinHttpReceiveResponse failed");

    // By name: some WinHTTP versions never find Content-Disposition by its level.
    const std::wstring disposition = queryHeader(request.get(), plat::kHttpQueryCustom, L"Content-Disposition");
    const std::wstring type = queryHeader(request.get(), plat::kHttpQueryContentType);
    if (pContentDisposition) *pContentDisposition = disposition;
    if (pContentType) *pContentType = type;
    WriteLogLine(L"INFO", L"Content-Type=" + type);
    WriteLogLine(L"INFO", L"Content-Disposition=" + disposition);
    std::uint64_t expected = 0;
    const std::wstring length = queryHeader(request.get(), plat::kHttpQueryContentLength);
    const bool lengthGiven = !length.empty();
    if (lengthGiven) {
        expected = ParseDecimal(length);
        WriteLogLine(L"INFO", L"Content-Length=" + std::to_wstring(expected));
    }

    // An error status is a failure, never a file to hand on.
    const std::uint64_t status = ParseDecimal(queryHeader(request.get(), plat::kHttpQueryStatusCode));
    if (status < 200 || status > 299) {
        WriteLogLine(L"ERROR", L"HTTP status " + std::to_wstring(status) + L": the answer is not saved");
        return false;
    }

    plat::FileHandle file = plat::CreateFileForWriting(outFile, false);
    if (file == nullptr) {
        const std::uint32_t cause = plat::GetLastError();
        WriteLogLine(L"ERROR", L"No se pudo crear archivo de salida: " + outFile);
        LogCause(L"file " + outFile, plat::ErrorText(cause));
        return false;
    }

    ProgressBar bar;
    bar.totalBytes = expected;
    bar.receivedBytes = 0;
    bar.startTime = plat::MonotonicNanoseconds();
    bar.title = title;
    bar.print(true, false);

    std::uint64_t received = 0;
    std::vector<unsigned char> sample;
    bool readFailed = false, writeFailed = false;
    std::uint32_t readError = 0, writeError = 0;
    for (;;) {
        std::uint32_t available = 0;
        if (!plat::HttpQueryDataAvailable(request.get(), &available)) {
            readFailed = true;
            readError = plat::GetLastError();
            break;
        }
        if (available == 0) break;
        std::vector<unsigned char> chunk(available, 0);  // this chunk only
        std::uint32_t read = 0;
        if (!plat::HttpReadData(request.get(), chunk.data(), available, &read)) {
            readFailed = true;
            readError = plat::GetLastError();
            break;
        }
        if (read == 0) break;
        std::uint32_t written = 0;
        if (!writeFailed && (!plat::WriteToFile(file, chunk.data(), read, &written) || written != read)) {
            writeFailed = true;
            writeError = plat::GetLastError();
        }
        received += read;
        bar.receivedBytes += read;
        bar.print(false, false);
        const std::size_t take = std::min<std::size_t>(read, 64 - sample.size());
        sample.insert(sample.end(), chunk.begin(), chunk.begin() + static_cast<long>(take));
    }
    bar.print(false, true);
    plat::ConsoleWrite(plat::ConsoleStream::Output, L"\n");
    if (!plat::CloseFile(file) && !writeFailed) {
        writeFailed = true;
        writeError = plat::GetLastError();
    }

    WriteLogLine(L"INFO", L"Bytes recibidos=" + std::to_wstring(received));
    if (!sample.empty()) WriteLogLine(L"INFO", L"Primeros bytes (hex): " + HexSample(sample));

    if (readFailed) {
        WriteLogLine(L"ERROR", L"The answer was cut off after " + std::to_wstring(received) + L" bytes");
        LogCause(L"host " + parts.host, plat::ErrorText(readError));
        return false;
    }
    if (lengthGiven && received < expected) {
        WriteLogLine(L"ERROR", L"The answer ended after " + std::to_wstring(received) + L" of " +
                                   std::to_wstring(expected) + L" bytes");
        return false;
    }
    if (writeFailed) {
        WriteLogLine(L"ERROR", L"Could not write the answer to: " + outFile);
        LogCause(L"file " + outFile, plat::ErrorText(writeError));
        return false;
    }
    return true;
}
