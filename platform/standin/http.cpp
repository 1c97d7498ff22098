// HTTP on the stand-in through libcurl, with WinHTTP's observable defaults:
// the environment's proxy settings, certificates always verified (against the
// system's store, or the one SSL_CERT_FILE names), 60 s to connect and 30 s at
// most without data unless HttpSetTimeouts says otherwise. Redirects are
// handed to the caller, as WinHTTP does under the "never" redirect policy.
// Where libcurl and WinHTTP part, the stand-in reports what WinHTTP would:
// an answer that goes on past its Content-Length fails the read, as it is
// malformed; an answer without a status line (HTTP/0.9, or garbage) is one
// the server sent that cannot be parsed, not a refused redirect.
// The body is pulled chunk by chunk: what libcurl hands over (16 KiB at a time)
// is gathered until the caller reads it, and libcurl is paused only when that
// much is already waiting, so memory holds about one receive buffer whatever
// the size of the answer. Pausing per 16 KiB piece instead would make libcurl
// keep and copy the rest of each receive again and again.
#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/http.h"
#include "platform/text.h"
#include "platform/types.h"

namespace plat {

namespace {
constexpr std::uint32_t kErrorHttpCannotConnect = 12029;
constexpr std::uint32_t kErrorHttpNameNotResolved = 12007;
constexpr std::uint32_t kErrorHttpSecureFailure = 12175;
constexpr std::uint32_t kErrorHttpConnectionError = 12030;
constexpr std::uint32_t kErrorHttpHeaderNotFound = 12150;
constexpr std::uint32_t kErrorHttpInvalidUrl = 12005;
constexpr std::uint32_t kErrorHttpUnrecognizedScheme = 12006;
constexpr std::uint32_t kErrorHttpRedirectFailed = 12156;

}  // namespace

struct HttpObject {
    enum class Kind { Session, Connection, Request } kind;
    explicit HttpObject(Kind k) : kind(k) {}
    // Session
    std::string userAgent;
    // Connection
    HttpObject* session = nullptr;
    std::wstring host;
    std::uint16_t port = 0;
    // Request
    HttpObject* connection = nullptr;
    std::string verb, url;
    bool secure = false;
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    curl_slist* headerList = nullptr;
    std::string body;
    std::map<std::string, std::string> headers;  // lower-case names, of the response being received
    long status = 0;
    std::string rawHeaders;  // the status line and headers of that response, CR LF after each
    bool headerStarted = false, headersDone = false, done = false, paused = false;
    bool excess = false;     // bytes came after the body's announced end
    std::atomic<bool> aborted {false};
    long lowSpeedBytes = 1, lowSpeedSeconds = 30;
    long connectMs = 60000;
    // Where the request stands (an HttpStage) and how often it moved on; read by a watching thread.
    std::atomic<std::uint32_t> stage {static_cast<std::uint32_t>(HttpStage::NotSent)};
    std::atomic<std::uint64_t> steps {0};
    void MoveTo(HttpStage next) {
        if (static_cast<std::uint32_t>(next) <= stage.load()) return;
        stage = static_cast<std::uint32_t>(next);
        ++steps;
    }
    CURLcode result = CURLE_OK;
    std::string pending;  // what waits to be read, from pendingStart on
    std::size_t pendingStart = 0;
    std::size_t waiting() const { return pending.size() - pendingStart; }
};

namespace {

// libcurl's receive buffer, and how much may wait for the caller before libcurl is paused.
constexpr long kReceiveBufferBytes = 512L * 1024;
constexpr std::size_t kMostWaiting = 2 * kReceiveBufferBytes;

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<HttpObject*>(user);
    const std::string line(data, size * count);
    r->headerStarted = true;
    // Every line but the blank one that ends them, as WinHTTP's raw headers hold them.
    if (line != "\r\n" && line != "\n" && line.rfind("HTTP/", 0) != 0) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
        r->rawHeaders += text + "\r\n";
    }
    if (line.rfind("HTTP/", 0) == 0) {
        r->headers.clear();
        r->rawHeaders.assign(line.substr(0, line.find_last_not_of("\r\n") + 1) + "\r\n");
        const auto space = line.find(' ');
        r->status = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
    } else if (line == "\r\n" || line == "\n") {
        // A 1xx answer is followed by the real one; a 3xx is the caller's to follow or refuse.
        if (r->status >= 200) r->headersDone = true;
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        std::string name = line.substr(0, colon), value = line.substr(colon + 1);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(value.begin());
        auto& slot = r->headers[name];
        slot = slot.empty() ? value : slot + ", " + value;
    }
    return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* r = static_cast<HttpObject*>(user);
    r->headersDone = true;
    r->MoveTo(HttpStage::ReceivingBody);
    ++r->steps;
    if (r->waiting() >= kMostWaiting) {
        r->paused = true;
        return CURL_WRITEFUNC_PAUSE;  // delivered again once what waits has been read
    }
    r->pending.erase(0, r->pendingStart);  // what was read goes, so the string never outgrows the limit
    r->pendingStart = 0;
    r->pending.append(data, size * count);
    return size * count;
}

// libcurl's own account of the transfer: its note that bytes came after the
// announced end of the body (it drops them, and the answer would look whole),
// and the start of a TLS handshake. It notes them only when they arrive in one read with the
// headers; ExcessWaiting looks for the others.
int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* r = static_cast<HttpObject*>(user);
    if (type == CURLINFO_TEXT && size >= 12 && std::memcmp(data, "Excess found", 12) == 0) r->excess = true;
    // The first TLS record sent: the connection is made and its handshake under way (libcurl records
    // the connection's time only once the handshake is over).
    if (type == CURLINFO_SSL_DATA_OUT) r->MoveTo(HttpStage::Securing);
    return 0;
}

// Whether bytes wait on the connection after a whole answer: libcurl reads no
// further than Content-Length once the headers are in, and keeps the
// connection. Only a plain connection can be looked at this way: on a TLS one
// the bytes may be the server's closing alert.
bool ExcessWaiting(HttpObject* r) {
    if (r->secure) return false;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(r->easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD)
        return false;
    char byte = 0;
    return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// The stage libcurl has reached, told by the times it records for each one
// (zero until the stage is over).
void NoteStage(HttpObject* r) {
    const auto over = [r](CURLINFO info) {
        curl_off_t microseconds = 0;
        return curl_easy_getinfo(r->easy, info, &microseconds) == CURLE_OK && microseconds > 0;
    };
    curl_off_t sent = 0;
    curl_easy_getinfo(r->easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    // From the last stage back: a name given as an address may record no time for its resolution.
    if (r->headersDone) return r->MoveTo(HttpStage::ReceivingBody);
    if (over(CURLINFO_PRETRANSFER_TIME_T) && static_cast<std::size_t>(sent) >= r->body.size())
        return r->MoveTo(HttpStage::AwaitingHeaders);
    if (over(CURLINFO_APPCONNECT_TIME_T) || (!r->secure && over(CURLINFO_CONNECT_TIME_T)))
        return r->MoveTo(HttpStage::Sending);
    if (over(CURLINFO_CONNECT_TIME_T)) return r->MoveTo(HttpStage::Securing);
    if (over(CURLINFO_NAMELOOKUP_TIME_T)) return r->MoveTo(HttpStage::Connecting);
}

// Runs the transfer until `ready` holds or it has ended.
template <class Ready>
void Pump(HttpObject* r, Ready ready) {
    while (!ready() && !r->done) {
        if (r->aborted) {
            r->done = true;
            r->result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        int running = 0;
        curl_multi_perform(r->multi, &running);
        NoteStage(r);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(r->multi, &left)) {
            if (message->msg == CURLMSG_DONE) {
                r->done = true;
                r->result = message->data.result;
            }
        }
        if (ready() || r->done) break;
        curl_multi_poll(r->multi, nullptr, 0, 200, nullptr);
    }
}

std::uint32_t ErrorOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return kErrorHttpNameNotResolved;
        case CURLE_COULDNT_CONNECT: return kErrorHttpCannotConnect;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_CERTPROBLEM: return kErrorHttpSecureFailure;
        case CURLE_OPERATION_TIMEDOUT: return kErrorHttpTimeout;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_TOO_MANY_REDIRECTS: return kErrorHttpRedirectFailed;
        case CURLE_WEIRD_SERVER_REPLY: return kErrorHttpInvalidServerResponse;
        case CURLE_ABORTED_BY_CALLBACK: return kErrorHttpOperationCancelled;
        default: return kErrorHttpConnectionError;
    }
}

bool Fail(std::uint32_t code) {
    SetLastError(code);
    return false;
}

}  // namespace

bool HttpCrackUrl(const std::wstring& url, UrlComponents& parts) {
    const auto sep = url.find(L"://");
    if (sep == std::wstring::npos) return Fail(kErrorHttpUnrecognizedScheme);
    std::wstring scheme = url.substr(0, sep);
    for (wchar_t& c : scheme) c = static_cast<wchar_t>(std::towlower(c));
    if (scheme != L"http" && scheme != L"https") return Fail(kErrorHttpUnrecognizedScheme);
    const bool https = scheme == L"https";
    const std::size_t hostStart = sep + 3;
    std::size_t pathStart = url.find(L'/', hostStart);
    if (pathStart == std::wstring::npos) pathStart = url.size();
    std::wstring authority = url.substr(hostStart, pathStart - hostStart);
    if (const auto at = authority.rfind(L'@'); at != std::wstring::npos) authority.erase(0, at + 1);
    std::wstring host = authority;
    std::uint32_t port = https ? 443 : 80;
    const auto close = authority.find(L']');
    const auto colon = authority.find(L':', close == std::wstring::npos ? 0 : close);
    if (colon != std::wstring::npos) {
        host = authority.substr(0, colon);
        const std::wstring digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
            return Fail(kErrorHttpInvalidUrl);
        port = static_cast<std::uint32_t>(std::wcstoul(digits.c_str(), nullptr, 10));
        if (port == 0 || port > 65535) return Fail(kErrorHttpInvalidUrl);
    }
    const std::wstring path = url.substr(pathStart);
    if (host.empty()) return Fail(kErrorHttpInvalidUrl);
    if (host.size() > 255 || path.size() > 2047) return Fail(kErrorInsufficientBuffer);
    parts.https = https;
    parts.host = host;
    parts.port = static_cast<std::uint16_t>(port);
    parts.path = path;
    return true;
}

HInternet HttpOpen(const wchar_t* userAgent) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    auto* s = new HttpObject(HttpObject::Kind::Session);
    s->userAgent = WideToUtf8Bytes(userAgent ? userAgent : L"");
    return s;
}

bool HttpNeverFollowRedirects(HInternet session) {
    if (session == nullptr) return Fail(kErrorInvalidHandle);
    return true;  // libcurl follows none unless asked to
}

HInternet HttpConnect(HInternet session, const std::wstring& host, std::uint16_t port) {
    if (session == nullptr || host.empty()) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* c = new HttpObject(HttpObject::Kind::Connection);
    c->session = session;
    c->host = host;
    c->port = port;
    return c;
}

HInternet HttpOpenRequest(HInternet connection, const wchar_t* verb, const std::wstring& path, bool secure) {
    if (connection == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    auto* r = new HttpObject(HttpObject::Kind::Request);
    r->connection = connection;
    r->verb = WideToUtf8Bytes(verb ? verb : L"GET");
    r->secure = secure;
    r->url = std::string(secure ? "https://" : "http://") + WideToUtf8Bytes(connection->host) + ":" +
             std::to_string(connection->port) + (path.empty() || path[0] != L'/' ? "/" : "") + WideToUtf8Bytes(path);
    return r;
}

bool HttpSendRequest(HInternet r, const std::wstring& headers, const void* body, std::uint32_t bodyBytes) {
    if (r == nullptr || r->easy != nullptr) return Fail(kErrorInvalidHandle);
    const HttpObject* session = r->connection->session;
    r->easy = curl_easy_init();
    r->multi = curl_multi_init();
    if (r->easy == nullptr || r->multi == nullptr) return Fail(kErrorNotEnoughMemory);
    r->body.assign(static_cast<const char*>(body), bodyBytes);
    CURL* e = r->easy;
    curl_easy_setopt(e, CURLOPT_URL, r->url.c_str());
    curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r->verb.c_str());
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, r->body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(r->body.size()));
    curl_easy_setopt(e, CURLOPT_USERAGENT, session->userAgent.c_str());
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca) curl_easy_setopt(e, CURLOPT_CAINFO, ca);
    // The revocation lists Windows would fetch from each certificate's distribution point: the
    // model's, in one file. OpenSSL then requires a list for every certificate of the chain.
    if (const char* crl = std::getenv("SSL_CRL_FILE"); crl && *crl && r->secure) curl_easy_setopt(e, CURLOPT_CRLFILE, crl);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, r->connectMs);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, r->lowSpeedBytes);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, r->lowSpeedSeconds);
    curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);  // for OnDebug; nothing is printed
    curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(e, CURLOPT_DEBUGDATA, r);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, r);
    // Chunks as large as libcurl hands out (its default is 16 KiB): fewer trips through the caller's loop.
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, r);
    // The caller's header block, line by line; no "Expect: 100-continue".
    std::string block = WideToUtf8Bytes(headers);
    for (std::size_t start = 0; start < block.size();) {
        std::size_t end = block.find("\r\n", start);
        if (end == std::string::npos) end = block.size();
        if (end > start) r->headerList = curl_slist_append(r->headerList, block.substr(start, end - start).c_str());
        start = end + 2;
    }
    r->headerList = curl_slist_append(r->headerList, "Expect:");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headerList);
    curl_multi_add_handle(r->multi, e);
    r->MoveTo(HttpStage::Resolving);
    Pump(r, [r] { return r->headerStarted; });
    if (r->done && !r->headerStarted) {
        switch (r->result) {
            case CURLE_GOT_NOTHING:
            case CURLE_RECV_ERROR:
            case CURLE_PARTIAL_FILE: break;  // the request went out; no answer came
            // No status line came back (libcurl refuses HTTP/0.9 as a protocol): no redirect was involved.
            case CURLE_UNSUPPORTED_PROTOCOL: return Fail(kErrorHttpInvalidServerResponse);
            default: return Fail(ErrorOf(r->result));
        }
    }
    return true;
}

bool HttpReceiveResponse(HInternet r) {
    if (r == nullptr || r->easy == nullptr) return Fail(kErrorInvalidHandle);
    Pump(r, [r] { return r->headersDone; });
    if (!r->headersDone) return Fail(r->done ? ErrorOf(r->result) : kErrorHttpTimeout);
    return true;
}

bool HttpQueryHeaders(HInternet r, std::uint32_t level, const wchar_t* name, wchar_t* buffer, std::uint32_t* bytes) {
    if (r == nullptr || !r->headersDone || bytes == nullptr) return Fail(kErrorInvalidHandle);
    std::string value;
    if (level == kHttpQueryStatusCode) {
        value = std::to_string(r->status);
    } else if (level == kHttpQueryRawHeadersCrlf) {
        value = r->rawHeaders;
    } else if (level == kHttpQueryVersion) {
        value = r->rawHeaders.substr(0, r->rawHeaders.find(' '));
    } else {
        std::string key = level == kHttpQueryContentType     ? "content-type"
                          : level == kHttpQueryContentLength ? "content-length"
                          : level == kHttpQueryCustom && name ? WideToUtf8Bytes(name)
                                                              : "";
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto it = r->headers.find(key);
        if (key.empty() || it == r->headers.end()) return Fail(kErrorHttpHeaderNotFound);
        value = it->second;
    }
    const std::wstring text = Utf8BytesToWide(value);
    const auto needed = static_cast<std::uint32_t>((text.size() + 1) * sizeof(wchar_t));
    if (buffer == nullptr || *bytes < needed) {
        *bytes = needed;
        return Fail(kErrorInsufficientBuffer);
    }
    std::wmemcpy(buffer, text.c_str(), text.size() + 1);
    *bytes = static_cast<std::uint32_t>(text.size() * sizeof(wchar_t));
    return true;
}

bool HttpQueryDataAvailable(HInternet r, std::uint32_t* available) {
    if (r == nullptr || r->easy == nullptr || available == nullptr) return Fail(kErrorInvalidHandle);
    if (r->waiting() < kMostWaiting && r->paused) {
        r->paused = false;
        curl_easy_pause(r->easy, CURLPAUSE_CONT);
    }
    Pump(r, [r] { return r->waiting() != 0; });
    *available = static_cast<std::uint32_t>(r->waiting());
    if (r->aborted) return Fail(kErrorHttpOperationCancelled);
    if (r->waiting() == 0 && r->done && r->result != CURLE_OK) return Fail(ErrorOf(r->result));
    if (r->waiting() == 0 && r->done && (r->excess || ExcessWaiting(r))) return Fail(kErrorHttpInvalidServerResponse);
    return true;
}

bool HttpReadData(HInternet r, void* buffer, std::uint32_t toRead, std::uint32_t* read) {
    if (r == nullptr || read == nullptr) return Fail(kErrorInvalidHandle);
    const std::size_t n = std::min<std::size_t>(toRead, r->waiting());
    std::memcpy(buffer, r->pending.data() + r->pendingStart, n);
    r->pendingStart += n;
    if (r->pendingStart == r->pending.size()) {
        r->pending.clear();
        r->pendingStart = 0;
    }
    *read = static_cast<std::uint32_t>(n);
    return true;
}

std::uint32_t HttpSecureFailure(HInternet r) {
    if (r == nullptr || r->easy == nullptr || r->result == CURLE_OK) return 0;
    if (r->result == CURLE_SSL_CRL_BADFILE) return kCertRevocationCheckFailed;  // no list to check against
    long verify = 0;
    curl_easy_getinfo(r->easy, CURLINFO_SSL_VERIFYRESULT, &verify);
    // OpenSSL's verification results (X509_V_ERR_*), as WinHTTP's status flags.
    switch (verify) {
        case 0:
            // libcurl checks the name itself, after OpenSSL found the chain good.
            return r->result == CURLE_PEER_FAILED_VERIFICATION ? kCertWrongName
                   : ErrorOf(r->result) == kErrorHttpSecureFailure ? kSecureChannelError
                                                                   : 0;
        case 9:   // certificate not yet valid
        case 10:  // certificate has expired
            return kCertExpired;
        case 2:   // unable to get the issuer's certificate
        case 18:  // self-signed certificate
        case 19:  // self-signed certificate in the chain
        case 20:  // unable to get the local issuer's certificate
        case 21:  // unable to verify the first certificate
            return kCertUntrustedRoot;
        case 23: return kCertRevoked;
        case 62: return kCertWrongName;  // hostname mismatch
        case 3:   // unable to get the revocation list
        case 12:  // revocation list expired
            return kCertRevocationCheckFailed;
        default: return kCertInvalid;
    }
}

void HttpAbort(HInternet r) {
    if (r != nullptr) r->aborted = true;
}

bool HttpSetLowSpeedLimit(HInternet r, std::uint32_t bytesPerSecond, std::uint32_t seconds) {
    if (r == nullptr || r->easy != nullptr) return Fail(kErrorInvalidHandle);
    r->lowSpeedBytes = static_cast<long>(bytesPerSecond);
    r->lowSpeedSeconds = static_cast<long>(seconds);
    return true;
}

bool HttpSetTimeouts(HInternet r, std::uint32_t resolveMs, std::uint32_t connectMs, std::uint32_t,
                     std::uint32_t receiveMs) {
    if (r == nullptr || r->easy != nullptr) return Fail(kErrorInvalidHandle);
    // libcurl has one time-out for the name, the connection and the TLS handshake together.
    r->connectMs = static_cast<long>(std::max(resolveMs, connectMs));
    r->lowSpeedSeconds = static_cast<long>((receiveMs + 999) / 1000);
    return true;
}

HttpStage HttpCurrentStage(HInternet r, std::uint64_t* steps) {
    if (r == nullptr) {
        if (steps) *steps = 0;
        return HttpStage::NotSent;
    }
    if (steps) *steps = r->steps.load();
    return static_cast<HttpStage>(r->stage.load());
}

void HttpCloseHandle(HInternet handle) {
    if (handle == nullptr) return;
    if (handle->kind == HttpObject::Kind::Request && handle->easy != nullptr) {
        curl_multi_remove_handle(handle->multi, handle->easy);
        curl_easy_cleanup(handle->easy);
        curl_multi_cleanup(handle->multi);
        curl_slist_free_all(handle->headerList);
    }
    delete handle;
}

}  // namespace plat
