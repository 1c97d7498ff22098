// HTTP requests in the terms of WinHTTP, used synchronously: split the URL,
// open a session, connect, open a request, send, receive, query headers, then
// pull the body chunk by chunk. Every handle is closed with HttpCloseHandle.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

struct HttpObject;
using HInternet = HttpObject*;

struct UrlComponents {
    bool https = false;
    std::wstring host;  // at most 255 characters
    std::uint16_t port = 0;
    std::wstring path;  // at most 2047 characters; the query is not asked for
};

constexpr std::uint32_t kHttpQueryContentType = 1;
constexpr std::uint32_t kHttpQueryContentLength = 5;
constexpr std::uint32_t kHttpQueryStatusCode = 19;
constexpr std::uint32_t kHttpQueryCustom = 65535;  // the header named by `name`

// WinHttpCrackUrl: false for a malformed URL or parts too long for their buffers.
bool HttpCrackUrl(const std::wstring& url, UrlComponents& parts);
// WinHttpOpen with the default proxy configuration, synchronous.
HInternet HttpOpen(const wchar_t* userAgent);
// Redirects are followed by the client, never from HTTPS to plain HTTP.
bool HttpFollowRedirectsExceptToPlainHttp(HInternet session);
HInternet HttpConnect(HInternet session, const std::wstring& host, std::uint16_t port);
HInternet HttpOpenRequest(HInternet connection, const wchar_t* verb, const std::wstring& path, bool secure);
// The header block is "Name: value\r\n" lines.
bool HttpSendRequest(HInternet request, const std::wstring& headers, const void* body, std::uint32_t bodyBytes);
bool HttpReceiveResponse(HInternet request);
// WinHttpQueryHeaders as a string: with a null buffer, false with last error
// 122 and the size in bytes (terminator included) in *bytes.
bool HttpQueryHeaders(HInternet request, std::uint32_t level, const wchar_t* name, wchar_t* buffer,
                      std::uint32_t* bytes);
bool HttpQueryDataAvailable(HInternet request, std::uint32_t* available);
bool HttpReadData(HInternet request, void* buffer, std::uint32_t toRead, std::uint32_t* read);
void HttpCloseHandle(HInternet handle);

}  // namespace plat
