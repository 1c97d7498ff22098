#include "platform/http.h"
#include "platform/win32.h"

#include <winhttp.h>

namespace plat {
namespace {
HINTERNET H(HInternet h) { return reinterpret_cast<HINTERNET>(h); }
HInternet P(HINTERNET h) { return reinterpret_cast<HInternet>(h); }
}  // namespace

bool HttpCrackUrl(const std::wstring& url, UrlComponents& parts) {
    wchar_t host[256] = {}, path[2048] = {};
    URL_COMPONENTS c {};
    c.dwStructSize = sizeof c;
    c.lpszHostName = host;
    c.dwHostNameLength = 256;
    c.lpszUrlPath = path;
    c.dwUrlPathLength = 2048;
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &c)) return false;
    parts.https = c.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host.assign(host, c.dwHostNameLength);
    parts.port = c.nPort;
    parts.path.assign(path, c.dwUrlPathLength);
    return true;
}

HInternet HttpOpen(const wchar_t* userAgent) {
    return P(::WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0));
}

bool HttpFollowRedirectsExceptToPlainHttp(HInternet session) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    return ::WinHttpSetOption(H(session), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy) != 0;
}

HInternet HttpConnect(HInternet session, const std::wstring& host, std::uint16_t port) {
    return P(::WinHttpConnect(H(session), host.c_str(), port, 0));
}

HInternet HttpOpenRequest(HInternet connection, const wchar_t* verb, const std::wstring& path, bool secure) {
    return P(::WinHttpOpenRequest(H(connection), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                  WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
}

bool HttpSendRequest(HInternet request, const std::wstring& headers, const void* body, std::uint32_t bodyBytes) {
    return ::WinHttpSendRequest(H(request), headers.c_str(), static_cast<DWORD>(-1), const_cast<void*>(body),
                                bodyBytes, bodyBytes, 0) != 0;
}

bool HttpReceiveResponse(HInternet request) { return ::WinHttpReceiveResponse(H(request), nullptr) != 0; }

bool HttpQueryHeaders(HInternet request, std::uint32_t level, const wchar_t* name, wchar_t* buffer,
                      std::uint32_t* bytes) {
    DWORD size = *bytes;
    const BOOL ok = ::WinHttpQueryHeaders(H(request), level, name ? name : WINHTTP_HEADER_NAME_BY_INDEX,
                                          buffer ? buffer : WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    *bytes = size;
    return ok != 0;
}

bool HttpQueryDataAvailable(HInternet request, std::uint32_t* available) {
    DWORD n = 0;
    const BOOL ok = ::WinHttpQueryDataAvailable(H(request), &n);
    *available = n;
    return ok != 0;
}

bool HttpReadData(HInternet request, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    DWORD n = 0;
    const BOOL ok = ::WinHttpReadData(H(request), buffer, toRead, &n);
    *read = n;
    return ok != 0;
}

void HttpCloseHandle(HInternet handle) { ::WinHttpCloseHandle(H(handle)); }

}  // namespace plat
