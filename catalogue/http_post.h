// One HTTP POST of a JSON body whose answer is streamed into a file.
#pragma once
#include <cstddef>
#include <string>

#include "platform/files.h"

// What a transfer learns besides its result.
struct HttpPostAnswer {
    static constexpr std::size_t kFirstBytes = 256;
    std::wstring contentDisposition;  // empty when the header is missing
    std::wstring contentType;
    std::string firstBytes;           // the body's first kFirstBytes bytes (all of a shorter one)
    std::wstring failure;             // why the transfer failed, in a few words
};

// Posts the body (sent as UTF-8) and writes the answer's body to `file`, chunk
// by chunk as it arrives, under a progress line labelled `title`, logging the
// content headers, the byte count and the first bytes. The file is flushed to
// the disk before the call returns; the caller closes it. False when the
// request fails, the answer's status is not 2xx, the body ends early, or the
// file (`fileName` in messages) cannot be written.
bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, plat::FileHandle file,
                        const std::wstring& fileName, const std::wstring& title, HttpPostAnswer& answer);
