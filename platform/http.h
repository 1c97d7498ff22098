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
    std::wstring path;  // the path and the query ("/a/b?x=1"), each at most 2047 characters
};

constexpr std::uint32_t kHttpQueryContentType = 1;
constexpr std::uint32_t kHttpQueryContentLength = 5;
constexpr std::uint32_t kHttpQueryStatusCode = 19;
constexpr std::uint32_t kHttpQueryVersion = 18;          // "HTTP/1.1"
constexpr std::uint32_t kHttpQueryRawHeadersCrlf = 22;   // the status line and every header, CR LF after each
constexpr std::uint32_t kHttpQueryCustom = 65535;  // the header named by `name`

constexpr std::uint32_t kErrorHttpTimeout = 12002;
// WSAETIMEDOUT: what Wine's WinHTTP reports for a receive that ran out of its time-out.
constexpr std::uint32_t kErrorSocketTimeout = 10060;
constexpr std::uint32_t kErrorHttpOperationCancelled = 12017;
constexpr std::uint32_t kErrorHttpInvalidServerResponse = 12152;

// The checks a server's certificate failed (WINHTTP_CALLBACK_STATUS_FLAG_*).
constexpr std::uint32_t kCertRevocationCheckFailed = 0x1;
constexpr std::uint32_t kCertInvalid = 0x2;
constexpr std::uint32_t kCertRevoked = 0x4;
constexpr std::uint32_t kCertUntrustedRoot = 0x8;
constexpr std::uint32_t kCertWrongName = 0x10;
constexpr std::uint32_t kCertExpired = 0x20;
constexpr std::uint32_t kSecureChannelError = 0x80000000u;

// WinHttpCrackUrl: false for a malformed URL or parts too long for their buffers.
bool HttpCrackUrl(const std::wstring& url, UrlComponents& parts);
// WinHttpOpen, synchronous, with the system's proxy as the user's own
// programs find it (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: the per-user
// settings, a PAC file, WPAD), or where Windows refuses that access type
// (before 8.1) the machine's WinHTTP setting. The stand-in: libcurl, which
// takes its proxy from http_proxy, https_proxy, all_proxy and no_proxy.
HInternet HttpOpen(const wchar_t* userAgent);
// The client follows no redirect (WINHTTP_OPTION_REDIRECT_POLICY_NEVER): a
// 3xx answer is handed to the caller as it came, so that the caller alone
// decides where the request body (and the account in it) may go.
bool HttpNeverFollowRedirects(HInternet session);
HInternet HttpConnect(HInternet session, const std::wstring& host, std::uint16_t port);
// The request reports why a certificate was refused (HttpSecureFailure) and
// where it stands (HttpCurrentStage). A secure one checks the server
// certificate's revocation (WINHTTP_ENABLE_SSL_REVOCATION), and fails when
// the check cannot be made. The stand-in checks it against the revocation
// list in the file SSL_CRL_FILE names (PEM), where it is set, as libcurl's
// CURLOPT_CRLFILE: a file that cannot be read is a check that cannot be made.
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

// The checks the server's certificate failed, kCert* bits (the status of
// WINHTTP_CALLBACK_STATUS_SECURE_FAILURE); 0 when none was reported.
std::uint32_t HttpSecureFailure(HInternet request);
// Stops a running request; callable from another thread, and on the stand-in
// from a signal handler. The blocking call under way, and every later one,
// fails with 12017 (ERROR_WINHTTP_OPERATION_CANCELLED). HttpCloseHandle is
// still called as usual.
void HttpAbort(HInternet request);
// Asks the client to give up, failing with 12002, when fewer than
// `bytesPerSecond` bytes a second arrive for `seconds` seconds; before
// HttpSendRequest. WinHTTP has no such setting: false there, and the caller
// measures around its reads (a read that gets nothing at all ends anyway,
// with 12002, at WinHTTP's receive time-out of 30 s).
bool HttpSetLowSpeedLimit(HInternet request, std::uint32_t bytesPerSecond, std::uint32_t seconds);
// WinHttpSetTimeouts on a request, in milliseconds: resolving the name,
// connecting, sending, and each receive; the last also bounds the wait for
// the whole header section (WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT). Before
// HttpSendRequest. The stand-in: libcurl's connection time-out (name,
// connection and TLS handshake, each given the largest of the first two) and
// its low-speed time (the receive time-out) for the rest. A client may not
// keep to them (Wine ignores the receive time-out): the caller watches too.
bool HttpSetTimeouts(HInternet request, std::uint32_t resolveMs, std::uint32_t connectMs, std::uint32_t sendMs,
                     std::uint32_t receiveMs);

// Where a request stands, by the client's own account.
enum class HttpStage : std::uint32_t {
    NotSent,
    Resolving,        // the server's name
    Connecting,
    Securing,         // the TLS handshake
    Sending,          // the request and its body
    AwaitingHeaders,  // the answer's status line and headers
    ReceivingBody,
};
// The stage the request has reached, and in *steps how many times the client
// has reported it moving on (a stage reached, a piece of the answer
// received): a count that stays the same is a request that makes no progress.
// Callable from any thread while another one blocks in the request's calls.
HttpStage HttpCurrentStage(HInternet request, std::uint64_t* steps);

}  // namespace plat
