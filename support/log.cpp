#include "support/log.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "support/paths.h"
#include "support/text.h"

std::wstring GetLogFilePath() {
    wchar_t buffer[plat::kMaxPath] = {};
    if (plat::Failed(plat::GetLocalAppDataFolder(buffer))) {
        plat::ConsoleWrite(plat::ConsoleStream::Error, L"Error getting path to LOCALAPPDATA.\n");
        return L"";
    }
    const std::wstring folder = std::wstring(buffer) + L"\\Mirelka\\" + sapiFolder;
    EnsureDirectoryExists(folder);
    return folder + L"\\log_zunsapi.txt";
}

std::string EncodeLogText(const std::wstring& text) {
    // A control character (a line feed in a user name, a server's answer, a
    // file name) is shown, never acted on: a log line stays one line, and
    // nobody can forge another. The console and the reports show it the same way.
    const std::wstring shown = ShownText(text);
    std::string bytes;
    bytes.reserve(shown.size() + 2);
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(shown[i]);
        if (c <= 0xFF) {
            bytes += static_cast<char>(c);
        } else {
            // No byte for it in ISO 8859-1; a surrogate pair is one character.
            const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < shown.size() &&
                              static_cast<std::uint32_t>(shown[i + 1]) >= 0xDC00 &&
                              static_cast<std::uint32_t>(shown[i + 1]) <= 0xDFFF;
            if (pair) ++i;
            bytes += '?';
        }
    }
    return bytes;
}

namespace {

// The log, held open from the first line to the end of the process: opening
// it costs the folder query and the creation of each folder on the way, and
// the open and close of the file, which dominated the cost of a line. Held
// without delete sharing, the file and its folder stay while the run writes.
plat::AppendFile& HeldLog() {
    // Never destroyed, so that a line written while other static objects are
    // torn down at exit still finds it; the system closes the file then.
    static auto* const log = new plat::AppendFile;
    return *log;
}

// The log's path and why its last line was lost; empty while nothing was.
struct LostLine {
    std::wstring path, cause;
};

// Finds the log (its folders made again where missing) and opens it.
bool OpenLog(plat::AppendFile& log, LostLine& lost) {
    lost.path = GetLogFilePath();
    if (lost.path.empty()) return false;  // GetLogFilePath has said why
    if (log.Open(lost.path)) return true;
    lost.cause = plat::ErrorText(plat::GetLastError());
    return false;
}

// Installers are told to read the log: one that loses lines says so, once a
// run, on standard error, naming the file and the cause.
void AnnounceLostLine(const LostLine& lost) {
    static bool announced = false;
    if (announced || lost.cause.empty()) return;
    announced = true;
    plat::ConsoleWrite(plat::ConsoleStream::Error, L"The log cannot be written: " + lost.path + L": " + lost.cause +
                                                       L" Lines of this run are missing from it.\n");
}

}  // namespace

void CloseLogFile() { HeldLog().Close(); }

void WriteLogLine(const std::wstring& level, const std::wstring& message) {
    plat::AppendFile& log = HeldLog();
    const bool held = log.IsOpen();
    LostLine lost;
    if (!held && !OpenLog(log, lost)) return AnnounceLostLine(lost);
    const plat::LocalTime t = plat::GetLocalTimeNow();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    // One write call for the whole line, so that concurrent writers never
    // interleave inside it.
    std::string line = "[";
    line += stamp;
    line += "] [" + EncodeLogText(level) + "] " + EncodeLogText(message) + "\r\n";
    if (log.Append(line)) return;
    if (!held) {
        lost.cause = plat::ErrorText(plat::GetLastError());
        return AnnounceLostLine(lost);
    }
    // The held file failed (removed by something that ignores the hold): found
    // and opened again, and the line written once more.
    if (!OpenLog(log, lost)) return AnnounceLostLine(lost);
    if (!log.Append(line)) {
        lost.cause = plat::ErrorText(plat::GetLastError());
        AnnounceLostLine(lost);
    }
}
