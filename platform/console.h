// Standard output and standard error for wide text.
#pragma once
#include <cstddef>
#include <string>

namespace plat {

enum class ConsoleStream { Output, Error };

// Writes the text and flushes. On a Windows console the text goes through
// WriteConsoleW, so every character shows as written; anywhere else (a pipe, a
// file, a Linux terminal) it is written as UTF-8, with "\n" as the platform's
// line end.
void ConsoleWrite(ConsoleStream stream, const std::wstring& text);

// The width in character cells of the console the stream is shown in; 0 when
// the stream is not a console (a pipe, a file) or its width is unknown.
std::size_t ConsoleColumns(ConsoleStream stream);

}  // namespace plat
