// What a failure code means, in the system's own words, for the detail lines
// of the log: a Win32 error code (WinHTTP's codes 12000 to 12999 included)
// or an HRESULT, with the message text FormatMessageW gives for it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace plat {

// "5: Access is denied." - the code in decimal and the system's text for it.
// WinHTTP's codes take their text from winhttp.dll; where a system has none
// for such a code, the program's own wording of WinHTTP's message stands in.
// A code nobody has text for reads "N: no message text for this code".
std::wstring ErrorText(std::uint32_t code);

// "0x80004001: Not implemented" - the HRESULT in hexadecimal and its text. A
// Win32 code wrapped in an HRESULT reads as the code would.
std::wstring HResultText(HResult hr);

// Where FormatMessageW looks a message up: the system's table, or WinHTTP's
// (the message table of winhttp.dll).
enum class MessageTable { System, WinHttp };

// FormatMessageW's text for the message id in the user's language, without
// its closing line end; empty when the table has none.
std::wstring FormatMessageText(std::uint32_t id, MessageTable table);

}  // namespace plat
