// The per-user log file: AppData\Local\Mirelka\ZunSapi64\log_zunsapi.txt.
#pragma once
#include <string>

// The log file's path, its folder created on the way; empty (with a message
// on standard error) when the local application data folder is unknown.
std::wstring GetLogFilePath();

// Appends "[YYYY-MM-DD hh:mm:ss] [level] message" and a CR LF to the log. One
// byte per character (ISO 8859-1), after ShownText's escapes (a control
// character as "\xHH", so that a line is always one line); a character beyond
// U+00FF is written as '?'. A line that cannot be written is lost, never
// waited on; the first such loss of a run says so on standard error, with the
// log's path and the cause.
void WriteLogLine(const std::wstring& level, const std::wstring& message);

// Lets go of the log file, held open from the first line on; the next line
// opens it again.
void CloseLogFile();

// The bytes a line of text takes in the log file.
std::string EncodeLogText(const std::wstring& text);
