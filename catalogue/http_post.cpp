#include "catalogue/http_post.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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

// The checks a refused certificate failed, in words.
std::wstring CertificateFailure(std::uint32_t flags) {
    static const struct {
        std::uint32_t flag;
        const wchar_t* words;
    } checks[] = {
        {plat::kCertUntrustedRoot, L"its authority is not trusted"},
        {plat::kCertExpired, L"it has expired or is not yet valid"},
        {plat::kCertWrongName, L"it names another host"},
        {plat::kCertRevoked, L"it has been revoked"},
        {plat::kCertRevocationCheckFailed,
         L"its revocation could not be checked (the revocation server may be unreachable), and the account is "
         L"sent only after that check"},
        {plat::kCertInvalid, L"it is invalid"},
        {plat::kSecureChannelError, L"the secure channel failed"},
    };
    std::wstring words;
    for (const auto& check : checks)
        if (flags & check.flag) words += (words.empty() ? L"" : L"; ") + std::wstring(check.words);
    return words;
}

bool IsDecimal(const std::wstring& text) {
    if (text.empty()) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

std::wstring Trimmed(const std::wstring& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) ++begin;
    while (end > begin && IsWhiteSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// Calls the request's stop function, on whatever thread an interrupt arrives.
void StopRequest(void* request) { plat::HttpAbort(static_cast<plat::HInternet>(request)); }

// Lets the interrupts stop a request for as long as it lives: declared after
// the request's handle, so that it lets go first.
class StopOnInterrupt {
public:
    StopOnInterrupt(plat::InterruptWatch* watch, plat::HInternet request) : watch_(watch) {
        if (watch_) watch_->SetStop(StopRequest, request);
    }
    ~StopOnInterrupt() {
        if (watch_) watch_->SetStop(nullptr, nullptr);
    }
    StopOnInterrupt(const StopOnInterrupt&) = delete;
    StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;

private:
    plat::InterruptWatch* watch_;
};

// Gives a request up when it makes no progress for the stall limit, in
// whatever stage it is: the client's own time-outs are not enough (WinHTTP
// has none for a name by default, and Wine's keeps no receive time-out of its
// own). Closing the request from this thread ends the call blocked on it, as
// Ctrl+C does. Progress is what the client reports (a stage reached, a piece
// of the answer) and what the caller tells it (bytes read).
class Watchdog {
public:
    explicit Watchdog(std::uint32_t seconds)
        : limit_(static_cast<std::int64_t>(seconds) * 1000000000), thread_([this] { Run(); }) {}
    // How late the watchdog may notice a step: it looks every 100 ms.
    static constexpr std::int64_t kTolerance = 250000000;
    ~Watchdog() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Watches `request` from now on; null: none.
    void Watch(plat::HInternet request) {
        const std::lock_guard<std::mutex> lock(mutex_);
        request_ = request;
        plat::HttpCurrentStage(request, &steps_);
        last_ = plat::MonotonicNanoseconds();
    }
    void Progress() {
        const std::lock_guard<std::mutex> lock(mutex_);
        last_ = plat::MonotonicNanoseconds();
    }
    // Whether it gave a request up, and in which stage.
    bool Expired() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return expired_;
    }
    plat::HttpStage Stage() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return stage_;
    }
    // Whether the request has gone the whole limit without progress: a call
    // that ends so ended for the limit's sake, whatever the client's code for
    // it (Wine gives 10060 for a receive, 12157 for a TLS handshake).
    bool OverTheLimit() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (expired_) return true;
        std::uint64_t steps = 0;
        plat::HttpCurrentStage(request_, &steps);
        return request_ != nullptr && steps == steps_ && plat::MonotonicNanoseconds() - last_ >= limit_ - kTolerance;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, std::chrono::milliseconds(100));
            if (quit_ || request_ == nullptr) continue;
            std::uint64_t steps = 0;
            const plat::HttpStage stage = plat::HttpCurrentStage(request_, &steps);
            const std::int64_t now = plat::MonotonicNanoseconds();
            if (steps != steps_) {
                steps_ = steps;
                last_ = now;
            } else if (now - last_ >= limit_) {
                expired_ = true;
                stage_ = stage;
                plat::HttpAbort(request_);
                request_ = nullptr;
            }
        }
    }

    const std::int64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    plat::HInternet request_ = nullptr;
    std::uint64_t steps_ = 0;
    std::int64_t last_ = 0;
    bool expired_ = false, quit_ = false;
    plat::HttpStage stage_ = plat::HttpStage::NotSent;
    std::thread thread_;  // last: it starts once everything above is set
};

// A request under the watchdog for as long as it lives: declared after the
// request's handle, so that the watchdog lets go before the handle closes.
class Watching {
public:
    Watching(Watchdog& watchdog, plat::HInternet request) : watchdog_(watchdog) { watchdog_.Watch(request); }
    ~Watching() { watchdog_.Watch(nullptr); }
    Watching(const Watching&) = delete;
    Watching& operator=(const Watching&) = delete;

private:
    Watchdog& watchdog_;
};

// What a request was doing, for "no progress for N s while ...".
std::wstring StageWords(plat::HttpStage stage) {
    switch (stage) {
        case plat::HttpStage::NotSent: return L"preparing the request";
        case plat::HttpStage::Resolving: return L"resolving the server's name";
        case plat::HttpStage::Connecting: return L"connecting to the server";
        case plat::HttpStage::Securing: return L"setting up TLS with the server";
        case plat::HttpStage::Sending: return L"sending the request";
        case plat::HttpStage::AwaitingHeaders: return L"waiting for the answer's headers";
        case plat::HttpStage::ReceivingBody: return L"receiving the answer";
    }
    return L"sending the request";
}

constexpr int kMostRedirects = 10;
constexpr std::uint32_t kClientMarginMs = 2000;

bool IsRedirect(std::uint64_t status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct HandleCloser {
    void operator()(plat::HttpObject* h) const { plat::HttpCloseHandle(h); }
};
using Handle = std::unique_ptr<plat::HttpObject, HandleCloser>;

}  // namespace

std::wstring MalformedHeaders(const std::wstring& rawHeaders, bool& lengthGiven, std::uint64_t& length) {
    lengthGiven = false;
    length = 0;
    std::wstring first;
    bool statusLine = true;
    for (std::size_t start = 0; start < rawHeaders.size();) {
        std::size_t end = rawHeaders.find(L"\r\n", start);
        if (end == std::wstring::npos) end = rawHeaders.size();
        const std::wstring line = rawHeaders.substr(start, end - start);
        start = end + 2;
        if (statusLine) {
            statusLine = false;
            // HTTP/1.0 or later; an HTTP/0.9 answer has no status line at all.
            if (line.size() < 6 || line.compare(0, 5, L"HTTP/") != 0 || line[5] < L'1' || line[5] > L'9')
                return L"no HTTP/1.0 or later status line";
            continue;
        }
        const std::size_t colon = line.find(L':');
        if (colon == std::wstring::npos || !EqualsIgnoringCase(Trimmed(line.substr(0, colon)), L"Content-Length"))
            continue;
        // Several values may also share one header, separated by commas.
        const std::wstring values = line.substr(colon + 1);
        for (std::size_t from = 0; from <= values.size();) {
            std::size_t comma = values.find(L',', from);
            if (comma == std::wstring::npos) comma = values.size();
            const std::wstring value = Trimmed(values.substr(from, comma - from));
            from = comma + 1;
            if (!IsDecimal(value)) return L"Content-Length \"" + value + L"\" is not a length";
            if (lengthGiven && value != first) return L"two different Content-Length values, " + first + L" and " + value;
            first = value;
            lengthGiven = true;
        }
    }
    if (statusLine) return L"no HTTP/1.0 or later status line";
    length = ParseDecimal(first);
    return L"";
}

std::wstring RedirectTarget(const std::wstring& from, const std::wstring& location) {
    std::wstring target = location.substr(0, location.find(L'#'));
    const std::size_t scheme = from.find(L"://");
    if (target.empty() || scheme == std::wstring::npos) return L"";
    // A scheme of its own: "://" before any path, query or fragment.
    const std::size_t targetScheme = target.find(L"://");
    if (targetScheme != std::wstring::npos && targetScheme < target.find_first_of(L"/?")) return target;
    if (target.compare(0, 2, L"//") == 0) return from.substr(0, scheme + 1) + target;
    const std::size_t authorityEnd = std::min(from.find_first_of(L"/?#", scheme + 3), from.size());
    const std::wstring origin = from.substr(0, authorityEnd);
    std::wstring path = from.substr(authorityEnd);
    path = path.substr(0, path.find_first_of(L"?#"));
    if (path.empty()) path = L"/";
    if (target[0] == L'/') return origin + target;
    if (target[0] == L'?') return origin + path + target;
    return origin + path.substr(0, path.rfind(L'/') + 1) + target;
}

bool SameOrigin(const plat::UrlComponents& a, const plat::UrlComponents& b) {
    return a.https == b.https && a.port == b.port && EqualsIgnoringCase(a.host, b.host);
}

std::wstring UrlWithoutCredentials(const std::wstring& url) {
    const std::size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos) return url;
    const std::size_t hostStart = scheme + 3;
    const std::size_t authorityEnd = url.find_first_of(L"/?#", hostStart);
    const std::size_t at = url.rfind(L'@', authorityEnd == std::wstring::npos ? url.size() : authorityEnd);
    if (at == std::wstring::npos || at < hostStart) return url;
    return url.substr(0, hostStart) + url.substr(at + 1);
}

bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, plat::FileHandle file,
                        const std::wstring& fileName, const std::wstring& title, const HttpPostLimits& limits,
                        HttpPostAnswer& answer) {
    auto fail = [&answer](const std::wstring& why) {
        answer.failure = why;
        return false;
    };
    plat::UrlComponents parts;
    std::wstring host;  // the host the failures concern (a redirect never leads to another)
    const auto interrupted = [&limits] { return limits.interrupts != nullptr && limits.interrupts->Interrupted(); };
    const auto stopped = [&](std::uint64_t received) {
        WriteLogLine(L"ERROR", L"The transfer was interrupted (Ctrl+C or Ctrl+Break) after " +
                                   std::to_wstring(received) + L" bytes");
        return fail(L"interrupted after " + std::to_wstring(received) + L" bytes");
    };
    // A failure's line, then its cause (the host it concerns and the code's
    // text); the console's one line gets the same cause.
    const auto failed = [&](const std::wstring& line, const std::wstring& why) {
        const std::wstring cause = plat::ErrorText(plat::GetLastError());
        if (interrupted()) return stopped(0);
        WriteLogLine(L"ERROR", line);
        LogCause(L"host " + (host.empty() ? url : host), cause);
        return fail(why + L" (" + cause + L")");
    };
    if (!plat::HttpCrackUrl(url, parts)) return failed(L"WinHttpCrackUrl failed", L"the address cannot be used: " + url);
    host = parts.host;
    // Declared in opening order, so that they close request, connection, session.
    Handle session(plat::HttpOpen(L"Pendrel/1.0"));
    if (!session) return failed(L"WinHttpOpen failed", L"no HTTP session");
    // The request carries the account: the client follows no redirect, and this
    // function follows only those that stay on the endpoint's scheme, host and port.
    plat::HttpNeverFollowRedirects(session.get());
    Handle connection(plat::HttpConnect(session.get(), parts.host, parts.port));
    if (!connection) return failed(L"WinHttpConnect failed", L"no connection to " + parts.host);
    Watchdog watchdog(limits.stallSeconds);
    const std::wstring seconds = std::to_wstring(limits.stallSeconds);
    const std::uint32_t limitMs = limits.stallSeconds * 1000;
    const std::int64_t limitNs = static_cast<std::int64_t>(limits.stallSeconds) * 1000000000;

    // One request per address, the endpoint's and then each redirect's; each
    // watched by the interrupts and the watchdog for as long as it lives.
    Handle request;
    std::optional<StopOnInterrupt> stopOnInterrupt;
    std::optional<Watching> watching;
    // A refused certificate: the checks it failed, on a line of their own.
    const auto failedSecurely = [&](const std::wstring& line, const std::wstring& why) {
        const std::uint32_t error = plat::GetLastError();
        const std::wstring certificate = CertificateFailure(plat::HttpSecureFailure(request.get()));
        plat::SetLastError(error);
        if (certificate.empty()) return failed(line, why);
        failed(line, why);
        LogCause(L"certificate of " + host, certificate);
        return fail(answer.failure + L": the server's certificate was refused, " + certificate);
    };
    // A call that ended for want of progress, the client's time-out or the
    // watchdog's: the stage it was in, on a line of its own.
    const auto sendFailed = [&](const std::wstring& line, const std::wstring& why) {
        const std::uint32_t error = plat::GetLastError();
        if (interrupted()) return stopped(0);
        if (!watchdog.OverTheLimit() && error != plat::kErrorHttpTimeout && error != plat::kErrorSocketTimeout) {
            plat::SetLastError(error);
            return failedSecurely(line, why);
        }
        const plat::HttpStage stage = watchdog.Expired() ? watchdog.Stage() : plat::HttpCurrentStage(request.get(), nullptr);
        const std::wstring words = L"no progress for " + seconds + L" s while " + StageWords(stage);
        WriteLogLine(L"ERROR", line);
        LogCause(L"host " + host, plat::ErrorText(plat::kErrorHttpTimeout));
        LogCause(L"time limit", words);
        return fail(why + L": " + words);
    };
    const std::string body = WideToUtf8(jsonBody);
    std::wstring address = url;  // where the request goes
    std::wstring path = parts.path;
    for (int redirects = 0;; ++redirects) {
        watching.reset();
        stopOnInterrupt.reset();
        request.reset(plat::HttpOpenRequest(connection.get(), L"POST", path, parts.https));
        if (!request) return failed(L"WinHttpOpenRequest failed", L"no request to " + parts.host);
        stopOnInterrupt.emplace(limits.interrupts, request.get());
        // The client's own time-outs, two seconds past the limit: the watchdog ends a call at the limit,
        // and they end it where the watchdog could not. Not at the limit itself: Wine's WinHTTP, its
        // receive time-out run out after an answer's status line, reports the answer received and then
        // crashes when its headers are asked for (measured).
        plat::HttpSetTimeouts(request.get(), limitMs + kClientMarginMs, limitMs + kClientMarginMs,
                              limitMs + kClientMarginMs, limitMs + kClientMarginMs);
        // Where the client can give up on a crawling answer itself, it does (and a
        // wait for data inside one of its calls ends too); the loop below measures
        // on every platform.
        plat::HttpSetLowSpeedLimit(request.get(), 1, limits.stallSeconds);
        watching.emplace(watchdog, request.get());
        if (interrupted()) return stopped(0);
        if (!plat::HttpSendRequest(request.get(),
                                   L"Content-Type: application/json; charset=utf-8\r\nAccept: application/zip, */*\r\n",
                                   body.data(), static_cast<std::uint32_t>(body.size())))
            return sendFailed(L"WinHttpSendRequest failed", L"the request to " + parts.host + L" could not be sent");
        // The header section as a whole within the limit (WinHTTP shows no progress inside it): an answer
        // that took the whole limit is a time-out, and is not looked at (see above).
        const std::int64_t asked = plat::MonotonicNanoseconds();
        bool received = plat::HttpReceiveResponse(request.get());
        if (received && plat::MonotonicNanoseconds() - asked >= limitNs - Watchdog::kTolerance) {
            received = false;
            plat::SetLastError(plat::kErrorHttpTimeout);
        }
        if (!received)
            return sendFailed(L"WinHttpReceiveResponse failed", L"no answer from " + parts.host);
        const std::uint64_t status = ParseDecimal(queryHeader(request.get(), plat::kHttpQueryStatusCode));
        const std::wstring location = queryHeader(request.get(), plat::kHttpQueryCustom, L"Location");
        // A redirect with nowhere to go is an error status like any other.
        if (!IsRedirect(status) || location.empty()) break;
        // Every redirect is followed with the body, 301, 302 and 303 too (as
        // curl's --post301, --post302 and --post303 do): a request without the
        // account would answer for nobody, and its answer is never a catalogue.
        const std::wstring target = RedirectTarget(address, location);
        const std::wstring shown = UrlWithoutCredentials(target.empty() ? location : target);
        plat::UrlComponents targetParts;
        if (target.empty() || !plat::HttpCrackUrl(target, targetParts) || !SameOrigin(parts, targetParts)) {
            WriteLogLine(L"ERROR", L"Redirect refused: " + shown);
            LogCause(L"host " + host, L"HTTP status " + std::to_wstring(status) +
                                          L" leads to another scheme, host or port; the account goes to " +
                                          parts.host + L" alone");
            return fail(L"the server redirected the request to " + shown +
                        L", away from its own host: the account is not sent there");
        }
        if (redirects == kMostRedirects) {
            WriteLogLine(L"ERROR", L"Redirect refused: " + shown);
            LogCause(L"host " + host, L"more than " + std::to_wstring(kMostRedirects) + L" redirects");
            return fail(L"the server redirected the request more than " + std::to_wstring(kMostRedirects) + L" times");
        }
        WriteLogLine(L"INFO", L"Redirected to: " + shown);
        address = target;
        path = targetParts.path;
    }

    // By name: some WinHTTP versions never find Content-Disposition by its level.
    answer.contentDisposition = queryHeader(request.get(), plat::kHttpQueryCustom, L"Content-Disposition");
    answer.contentType = queryHeader(request.get(), plat::kHttpQueryContentType);
    WriteLogLine(L"INFO", L"Content-Type=" + answer.contentType);
    WriteLogLine(L"INFO", L"Content-Disposition=" + answer.contentDisposition);
    std::uint64_t expected = 0;
    const std::wstring length = queryHeader(request.get(), plat::kHttpQueryContentLength);
    if (!length.empty()) WriteLogLine(L"INFO", L"Content-Length=" + std::to_wstring(ParseDecimal(length)));

    // An answer whose length cannot be told is not taken for a catalogue.
    bool lengthGiven = false;
    const std::wstring malformed =
        MalformedHeaders(queryHeader(request.get(), plat::kHttpQueryRawHeadersCrlf), lengthGiven, expected);
    if (!malformed.empty()) {
        WriteLogLine(L"ERROR", L"Malformed answer from " + host + L": " + malformed);
        return fail(L"the answer from " + host + L" is malformed: " + malformed);
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
    bool readFailed = false, writeFailed = false, stalled = false;
    std::uint32_t readError = 0, writeError = 0;
    // The stall check: fewer than 1 byte a second over a window of
    // stallSeconds, measured whenever a read returns.
    const std::int64_t window = static_cast<std::int64_t>(limits.stallSeconds) * 1000000000;
    std::int64_t windowStart = bar.startTime;
    std::uint64_t windowBytes = 0;
    for (;;) {
        if (interrupted()) break;
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
        if (!plat::WriteToFile(file, buffer.data(), read, &written) || written != read) {
            writeFailed = true;
            // A write that stops short without an error is a disk that is full.
            writeError = written != read && plat::GetLastError() == plat::kErrorSuccess ? plat::kErrorDiskFull
                                                                                          : plat::GetLastError();
        }
        received += read;
        watchdog.Progress();
        bar.receivedBytes = received;
        if (answer.firstBytes.size() < HttpPostAnswer::kFirstBytes) {
            const std::size_t take = std::min<std::size_t>(read, HttpPostAnswer::kFirstBytes - answer.firstBytes.size());
            answer.firstBytes.append(reinterpret_cast<const char*>(buffer.data()), take);
        }
        if (writeFailed) break;
        bar.print(false, ProgressBar::End::Running);
        const std::int64_t now = plat::MonotonicNanoseconds();
        windowBytes += read;
        if (now - windowStart >= window) {
            if (static_cast<double>(windowBytes) < static_cast<double>(now - windowStart) / 1e9) {
                stalled = true;
                break;
            }
            windowStart = now;
            windowBytes = 0;
        }
    }
    // A read that the client, or the watchdog, gave up on for want of data is a stall too.
    if (readFailed && (watchdog.OverTheLimit() || readError == plat::kErrorSocketTimeout))
        readError = plat::kErrorHttpTimeout;
    if (readFailed && readError == plat::kErrorHttpTimeout) stalled = true;
    if (!writeFailed && !plat::FlushFile(file)) {
        writeFailed = true;
        writeError = plat::GetLastError();
    }
    const bool stop = interrupted();
    const bool cutShort = lengthGiven && received < expected;
    // More than announced: WinHTTP hands the rest over, libcurl fails the read.
    const bool longer = lengthGiven && (received > expected ||
                                        (readFailed && readError == plat::kErrorHttpInvalidServerResponse &&
                                         received == expected));
    const bool empty = received == 0;
    bar.print(false, stop || readFailed || stalled || cutShort || longer || writeFailed || empty
                         ? ProgressBar::End::Failed
                         : ProgressBar::End::Ok);
    plat::ConsoleWrite(plat::ConsoleStream::Output, L"\n");

    WriteLogLine(L"INFO", L"Bytes recibidos=" + std::to_wstring(received));
    if (!answer.firstBytes.empty()) WriteLogLine(L"INFO", L"Primeros bytes (hex): " + HexSample(answer.firstBytes));

    const std::wstring count = std::to_wstring(received);
    if (stop) return stopped(received);
    if (writeFailed) {
        WriteLogLine(L"ERROR", L"Could not write the answer to: " + fileName);
        LogCause(L"file " + fileName, plat::ErrorText(writeError));
        return fail(L"could not write " + fileName + L" (" + plat::ErrorText(writeError) + L")");
    }
    if (stalled) {
        WriteLogLine(L"ERROR", L"The transfer stalled: fewer than 1 byte a second for " + seconds + L" s, after " +
                                   count + L" bytes");
        if (readFailed) LogCause(L"host " + host, plat::ErrorText(readError));
        return fail(L"the transfer stalled after " + count + L" bytes (fewer than 1 byte a second for " + seconds +
                    L" s)");
    }
    if (longer) {
        WriteLogLine(L"ERROR", L"Malformed answer from " + host + L": more than its Content-Length of " +
                                   std::to_wstring(expected) + L" bytes");
        return fail(L"the answer from " + host + L" is malformed: more than its Content-Length of " +
                    std::to_wstring(expected) + L" bytes");
    }
    if (readFailed) {
        WriteLogLine(L"ERROR", L"The answer was cut off after " + count + L" bytes");
        LogCause(L"host " + host, plat::ErrorText(readError));
        return fail(L"the answer was cut off after " + count + L" bytes");
    }
    if (cutShort) {
        WriteLogLine(L"ERROR", L"The answer ended after " + count + L" of " + std::to_wstring(expected) + L" bytes");
        return fail(L"the answer ended after " + count + L" of " + std::to_wstring(expected) + L" bytes");
    }
    if (empty) {
        WriteLogLine(L"ERROR", L"The answer is empty: nothing is saved");
        return fail(L"the answer from " + host + L" is empty");
    }
    return true;
}
