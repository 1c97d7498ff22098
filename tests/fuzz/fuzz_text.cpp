// The UTF-8 and text helpers, and the log's encoding: any input, never a
// crash; what decodes re-encodes to the same bytes; a log line stays one line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/log.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::size_t decoded = 0;
    const std::wstring valid = DecodeUtf8UntilInvalid(bytes, &decoded);
    if (decoded > bytes.size() || WideToUtf8(valid) != bytes.substr(0, decoded)) std::abort();
    const std::wstring wide = Utf8ToWide(bytes);
    if (decoded == bytes.size() && wide != valid) std::abort();
    WideToUtf8(wide);
    Utf16Length(wide);
    // Wide text of any 16-bit units, as a name or a server's answer may hold.
    std::wstring units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    const std::string line = EncodeLogText(units);
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
    EqualsIgnoringCase(units, wide);
    convertToLangID(units.c_str());
    std::vector<wchar_t> buffer(units.begin(), units.end());
    buffer.push_back(0);
    trim_inplace(buffer.data());
    return 0;
}
