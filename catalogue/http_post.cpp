#include "catalogue/http_post.h"

#include <algorithm>
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

// The first 64 bytes, each as two lowercase hexadecimal digits and a space.
std::wstring HexSample(const std::string& bytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
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

bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, plat::FileHandle file,
                        const std::wstring& fileName, const std::wstring& title, HttpPostAnswer& answer) {
    auto fail = [&answer](const std::wstring& why) {
        answer.failure = why;
        return false;
    };
    plat::UrlComponents parts;
    // A failure's line, then its cause (the host it concerns and the code's
    // text); the console's one line gets the same cause.
    const auto failed = [&](const std::wstring& line, const std::wstring& why) {
        const std::wstring cause = plat::ErrorText(plat::GetLastError());
        WriteLogLine(L"ERROR", line);
        LogCause(L"host " + (parts.host.empty() ? url : parts.host), cause);
        return fail(why + L" (" + cause + L")");
    };
    if (!plat::HttpCrackUrl(url, parts)) return failed(L"WinHttpCrackUrl failed", L"the address cannot be used: " + url);
    // Declared in opening order, so that they close request, connection, session.
    Handle session(plat::HttpOpen(L"Pendrel/1.0"));
    if (!session) return failed(L"WinHttpOpen failed", L"no HTTP session");
    // Followed by the client, but never from HTTPS to plain HTTP: the request carries a password.
    plat::HttpFollowRedirectsExceptToPlainHttp(session.get());
    Handle connection(plat::HttpConnect(session.get(), parts.host, parts.port));
    if (!connection) return failed(L"WinHttpConnect failed", L"no connection to " + parts.host);
    Handle request(plat::HttpOpenRequest(connection.get(), L"POST", parts.path, parts.https));
    if (!request) return failed(L"WinHttpOpenRequest failed", L"no request to " + parts.host);

    const std::string body = WideToUtf8(jsonBody);
    if (!plat::HttpSendRequest(request.get(), L"Content-Type: application/json; charset=utf-8\r\nAccept: application/zip, */*\r\n",
                               body.data(), static_cast<std::uint32_t>(body.size())))
        return failed(L"WinHttpSendRequest failed", L"the request to " + parts.host + L" could not be sent");
    if (!plat::HttpReceiveResponse(request.get()))
        return failed(L"WinHttpReceiveResponse failed", L"no answer from " + parts.host);

    // By name: some WinHTTP versions never find Content-Disposition by its level.
    answer.contentDisposition = queryHeader(request.get(), plat::kHttpQueryCustom, L"Content-Disposition");
    answer.contentType = queryHeader(request.get(), plat::kHttpQueryContentType);
    WriteLogLine(L"INFO", L"Content-Type=" + answer.contentType);
    WriteLogLine(L"INFO", L"Content-Disposition=" + answer.contentDisposition);
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
        return fail(L"the server answered with HTTP status " + std::to_wstring(status));
    }

    ProgressBar bar;
    bar.totalBytes = expected;
    bar.receivedBytes = 0;
    bar.startTime = plat::MonotonicNanoseconds();
    bar.title = title;
    bar.print(true, ProgressBar::End::Running);

    // One buffer for the whole transfer, as large as the client's own: a
    // chunk costs one read and one write, and nothing else but a look at the clock.
    constexpr std::uint32_t kBufferBytes = 512 * 1024;
    std::vector<unsigned char> buffer(kBufferBytes);
    std::uint64_t received = 0;
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
        std::uint32_t read = 0;
        if (!plat::HttpReadData(request.get(), buffer.data(), std::min(available, kBufferBytes), &read)) {
            readFailed = true;
            readError = plat::GetLastError();
            break;
        }
        if (read == 0) break;
        std::uint32_t written = 0;
        if (!writeFailed && (!plat::WriteToFile(file, buffer.data(), read, &written) || written != read)) {
            writeFailed = true;
            writeError = plat::GetLastError();
        }
        received += read;
        bar.receivedBytes = received;
        bar.print(false, ProgressBar::End::Running);
        if (answer.firstBytes.size() < HttpPostAnswer::kFirstBytes) {
            const std::size_t take = std::min<std::size_t>(read, HttpPostAnswer::kFirstBytes - answer.firstBytes.size());
            answer.firstBytes.append(reinterpret_cast<const char*>(buffer.data()), take);
        }
    }
    if (!writeFailed && !plat::FlushFile(file)) {
        writeFailed = true;
        writeError = plat::GetLastError();
    }
    const bool cutShort = lengthGiven && received < expected;
    bar.print(false, readFailed || cutShort || writeFailed ? ProgressBar::End::Failed : ProgressBar::End::Ok);
    plat::ConsoleWrite(plat::ConsoleStream::Output, L"\n");

    WriteLogLine(L"INFO", L"Bytes recibidos=" + std::to_wstring(received));
    if (!answer.firstBytes.empty()) WriteLogLine(L"INFO", L"Primeros bytes (hex): " + HexSample(answer.firstBytes));

    if (readFailed) {
        WriteLogLine(L"ERROR", L"The answer was cut off after " + std::to_wstring(received) + L" bytes");
        LogCause(L"host " + parts.host, plat::ErrorText(readError));
        return fail(L"the answer was cut off after " + std::to_wstring(received) + L" bytes");
    }
    if (cutShort) {
        WriteLogLine(L"ERROR", L"The answer ended after " + std::to_wstring(received) + L" of " +
                                   std::to_wstring(expected) + L" bytes");
        return fail(L"the answer ended after " + std::to_wstring(received) + L" of " + std::to_wstring(expected) +
                    L" bytes");
    }
    if (writeFailed) {
        WriteLogLine(L"ERROR", L"Could not write the answer to: " + fileName);
        LogCause(L"file " + fileName, plat::ErrorText(writeError));
        return fail(L"could not write " + fileName + L" (" + plat::ErrorText(writeError) + L")");
    }
    return true;
}
