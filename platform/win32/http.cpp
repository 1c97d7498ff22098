#include "platform/http.h"
#include "platform/win32/win32.h"

#include <winhttp.h>

#include <atomic>

namespace plat {

// A WinHTTP handle with what the program learns about it besides the calls'
// results. `closed` makes the close happen once, whichever of HttpAbort (on
// the console's control thread) and HttpCloseHandle comes first; closing a
// handle is how WinHTTP cancels the call that is blocked on it.
struct HttpObject {
    HINTERNET handle = nullptr;
    bool secure = false;
    std::atomic<bool> closed {false};
    std::atomic<DWORD> secureFailure {0};
    // Where the request stands and how often it moved on, from the status
    // callbacks and the calls themselves; read by a watching thread.
    std::atomic<std::uint32_t> stage {static_cast<std::uint32_t>(HttpStage::NotSent)};
    std::atomic<std::uint64_t> steps {0};
    void MoveTo(HttpStage next) {
        stage = static_cast<std::uint32_t>(next);
        ++steps;
    }
};

namespace {

// Null for an object already closed by HttpAbort, with the error WinHTTP gives
// a call on a cancelled request.
HINTERNET H(HInternet h) {
    if (h == nullptr) return nullptr;
    if (h->closed.load()) {
        ::SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
        return nullptr;
    }
    return h->handle;
}

HInternet P(HINTERNET h) {
    if (h == nullptr) return nullptr;
    auto* object = new HttpObject;
    object->handle = h;
    return object;
}

// Called on the thread of the blocking call (synchronous WinHTTP), with the
// request's object as its context: when the server's certificate is refused,
// and at each step of the request (the TLS handshake has no notification of
// its own: it lies between the connection and the sending).
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
    if (context == 0) return;
    auto* request = reinterpret_cast<HttpObject*>(context);
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            if (information != nullptr && length >= sizeof(DWORD))
                request->secureFailure = *static_cast<const DWORD*>(information);
            break;
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME: request->MoveTo(HttpStage::Resolving); break;
        case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
        case WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER: request->MoveTo(HttpStage::Connecting); break;
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
            request->MoveTo(request->secure ? HttpStage::Securing : HttpStage::Sending);
            break;
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST: request->MoveTo(HttpStage::Sending); break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT: request->MoveTo(HttpStage::AwaitingHeaders); break;
        case WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE:
        case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED: ++request->steps; break;
        default: break;
    }
}

}  // namespace

bool HttpCrackUrl(const std::wstring& url, UrlComponents& parts) {
    wchar_t host[256] = {}, path[2048] = {}, extra[2048] = {};
    URL_COMPONENTS c {};
    c.dwStructSize = sizeof c;
    c.lpszHostName = host;
    c.dwHostNameLength = 256;
    c.lpszUrlPath = path;
    c.dwUrlPathLength = 2048;
    // The query ("?..."), which the request sends after the path.
    c.lpszExtraInfo = extra;
    c.dwExtraInfoLength = 2048;
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &c)) return false;
    parts.https = c.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host.assign(host, c.dwHostNameLength);
    parts.port = c.nPort;
    parts.path.assign(path, c.dwUrlPathLength);
    parts.path.append(extra, c.dwExtraInfoLength);
    return true;
}

HInternet HttpOpen(const wchar_t* userAgent) {
    HINTERNET session = ::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0);
    // Windows before 8.1 refuses the automatic type as an invalid parameter.
    if (session == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER)
        session = ::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    return P(session);
}

bool HttpNeverFollowRedirects(HInternet session) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    return ::WinHttpSetOption(H(session), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy) != 0;
}

HInternet HttpConnect(HInternet session, const std::wstring& host, std::uint16_t port) {
    return P(::WinHttpConnect(H(session), host.c_str(), port, 0));
}

HInternet HttpOpenRequest(HInternet connection, const wchar_t* verb, const std::wstring& path, bool secure) {
    HInternet request = P(::WinHttpOpenRequest(H(connection), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (request != nullptr) {
        request->secure = secure;
        // WinHTTP checks a server certificate's revocation only when asked. Once asked, a check that
        // cannot be made (the revocation server unreachable) fails the request as well, with
        // WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED: the account is sent only after the check.
        DWORD revocation = WINHTTP_ENABLE_SSL_REVOCATION;
        if (secure &&
            !::WinHttpSetOption(request->handle, WINHTTP_OPTION_ENABLE_FEATURE, &revocation, sizeof revocation)) {
            const DWORD error = ::GetLastError();
            ::WinHttpCloseHandle(request->handle);
            delete request;
            ::SetLastError(error);
            return nullptr;
        }
        ::WinHttpSetStatusCallback(request->handle, OnStatus,
                                   WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_RESOLVE_NAME |
                                       WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                       WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE,
                                   0);
    }
    return request;
}

bool HttpSendRequest(HInternet request, const std::wstring& headers, const void* body, std::uint32_t bodyBytes) {
    HINTERNET h = H(request);
    if (h != nullptr) request->MoveTo(HttpStage::Resolving);
    return h != nullptr && ::WinHttpSendRequest(h, headers.c_str(), static_cast<DWORD>(-1), const_cast<void*>(body),
                                                bodyBytes, bodyBytes, reinterpret_cast<DWORD_PTR>(request)) != 0;
}

bool HttpReceiveResponse(HInternet request) {
    HINTERNET h = H(request);
    if (h != nullptr) request->MoveTo(HttpStage::AwaitingHeaders);
    return h != nullptr && ::WinHttpReceiveResponse(h, nullptr) != 0;
}

bool HttpQueryHeaders(HInternet request, std::uint32_t level, const wchar_t* name, wchar_t* buffer,
                      std::uint32_t* bytes) {
    HINTERNET h = H(request);
    if (h == nullptr) return false;
    DWORD size = *bytes;
    const BOOL ok = ::WinHttpQueryHeaders(h, level, name ? name : WINHTTP_HEADER_NAME_BY_INDEX,
                                          buffer ? buffer : WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    *bytes = size;
    return ok != 0;
}

bool HttpQueryDataAvailable(HInternet request, std::uint32_t* available) {
    DWORD n = 0;
    HINTERNET h = H(request);
    if (h != nullptr && request->stage.load() != static_cast<std::uint32_t>(HttpStage::ReceivingBody))
        request->MoveTo(HttpStage::ReceivingBody);
    const BOOL ok = h != nullptr && ::WinHttpQueryDataAvailable(h, &n);
    *available = n;
    return ok != 0;
}

bool HttpReadData(HInternet request, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    DWORD n = 0;
    HINTERNET h = H(request);
    const BOOL ok = h != nullptr && ::WinHttpReadData(h, buffer, toRead, &n);
    *read = n;
    return ok != 0;
}

void HttpCloseHandle(HInternet handle) {
    if (handle == nullptr) return;
    if (!handle->closed.exchange(true)) ::WinHttpCloseHandle(handle->handle);
    delete handle;
}

std::uint32_t HttpSecureFailure(HInternet request) { return request ? request->secureFailure.load() : 0; }

void HttpAbort(HInternet request) {
    if (request != nullptr && !request->closed.exchange(true)) ::WinHttpCloseHandle(request->handle);
}

bool HttpSetLowSpeedLimit(HInternet, std::uint32_t, std::uint32_t) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool HttpSetTimeouts(HInternet request, std::uint32_t resolveMs, std::uint32_t connectMs, std::uint32_t sendMs,
                     std::uint32_t receiveMs) {
    HINTERNET h = H(request);
    if (h == nullptr) return false;
    if (!::WinHttpSetTimeouts(h, static_cast<int>(resolveMs), static_cast<int>(connectMs), static_cast<int>(sendMs),
                              static_cast<int>(receiveMs)))
        return false;
    // The whole header section, which otherwise may take 90 s.
    DWORD headers = receiveMs;
    return ::WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers, sizeof headers) != 0;
}

HttpStage HttpCurrentStage(HInternet request, std::uint64_t* steps) {
    if (request == nullptr) {
        if (steps) *steps = 0;
        return HttpStage::NotSent;
    }
    if (steps) *steps = request->steps.load();
    return static_cast<HttpStage>(request->stage.load());
}

}  // namespace plat
