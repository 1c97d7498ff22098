// One HTTP POST of a JSON body whose answer is streamed into a file.
#pragma once
#include <string>

// Posts the body (sent as UTF-8) and writes the answer's body to outFile
// under a progress line labelled `title`, logging the content headers, the
// byte count and the first bytes. False when the request fails, the answer's
// status is not 2xx, the body ends early, or the file cannot be written.
bool HttpPostJsonToFile(const std::wstring& url, const std::wstring& jsonBody, const std::wstring& outFile,
                        std::wstring* pContentDisposition, std::wstring* pContentType, const std::wstring& title);
