// One HTTP POST of a JSON body whose answer is streamed into a file.
#pragma once
#include <cstddef>
#include <string>

#include "platform/files.h"
#include "platform/http.h"
#include "platform/interrupt.h"

// What a transfer learns besides its result.
struct HttpPostAnswer {
    static constexpr std::size_t kFirstBytes = 256;
    std::wstring contentDisposition;  // empty when the header is missing
    std::wstring contentType;
    std::string firstBytes;           // the body's first kFirstBytes bytes (all of a shorter one)
    std::wstring failure;             // why the transfer failed, in a few words
};

// How long a transfer may crawl, and what stops it.
struct HttpPostLimits {
    // Given up when fewer than 1 byte a second arrives over this many seconds,
    // and when any stage (the name, the connection, the TLS handshake, the
    // sending, the headers, the body) makes no progress for as long.
    std::uint32_t stallSeconds = 30;
    // Ctrl+C and Ctrl+Break stop the transfer; null: they are not watched here.
    plat::InterruptWatch* interrupts = nullptr;
};

// Posts the body (sent as UTF-8) and writes the answer's body to `file`, chunk
// by chunk as it arrives, under a progress line labelled `title`, logging the
// content headers, the byte count and the first bytes. The file is flushed to
// the disk before the call returns; the caller closes it. False when the
// request fails, the answer's status is not 2xx, the answer is malformed
// (no HTTP/1 or later status line; Content-Length given twice with different
// values, or not a decimal number; more bytes than it announced), the body is
// empty, ends early or stalls, the transfer is interrupted, or the file
// (`fileName` in messages) cannot be written. A redirect (301, 302, 303, 307,
// 308) is followed, with the body, only on the endpoint's own scheme, host and
// port; one that leads anywhere else fails the transfer, naming where it led.
bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, plat::FileHandle file,
                        const std::wstring& fileName, const std::wstring& title, const HttpPostLimits& limits,
                        HttpPostAnswer& answer);

// Why the raw headers (status line and header lines, CR LF after each) are
// malformed, in a few words; empty when they are not. The Content-Length
// header's value, when given once (or more than once with the same value),
// goes to `length`.
std::wstring MalformedHeaders(const std::wstring& rawHeaders, bool& lengthGiven, std::uint64_t& length);

// The absolute address a redirect's Location names, seen from the address
// `from` that answered with it (an absolute, scheme-relative, path-absolute
// or relative reference; the fragment dropped); empty when it names none.
std::wstring RedirectTarget(const std::wstring& from, const std::wstring& location);

// Whether two addresses have the same scheme, host (ignoring case) and port:
// the only redirects the request body, and the account in it, may follow.
bool SameOrigin(const plat::UrlComponents& a, const plat::UrlComponents& b);

// The URL without the user name and password it may carry.
std::wstring UrlWithoutCredentials(const std::wstring& url);
