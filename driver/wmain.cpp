// The program's entry: echo the command line, log it, run one mode and
// return its result as the exit code.
#include <string>

#include "catalogue/catalogue.h"
#include "driver/arguments.h"
#include "install/install.h"
#include "platform/console.h"
#include "platform/environment.h"
#include "support/log.h"
#include "uninstall/uninstall.h"
#include "verify/verify.h"

namespace {
const std::wstring kVersion = L"" PENDREL_VERSION;

void Say(const std::wstring& line, plat::ConsoleStream stream = plat::ConsoleStream::Output) {
    plat::ConsoleWrite(stream, line + L"\n");
}

// A near miss of a mode's name is refused before anything runs: run as an
// installation, `--uninstall` or `/unistall` would do the opposite of what
// was meant, elevated. One log line keeps the refusal on record.
int RefuseNearMiss(const std::wstring& argument, const std::wstring& meant) {
    plat::ConsoleWrite(plat::ConsoleStream::Error, L"Unknown argument: " + argument + L" (did you mean " + meant +
                                                       L"?). Nothing was run.\n\n" + UsageText(kVersion));
    WriteLogLine(L"ERROR", L"Refused the unknown argument " + argument + L", close to " + meant +
                               L": nothing was run (Pendrel " + kVersion + L", process id " +
                               std::to_wstring(plat::GetCurrentProcessId()) + L", exit code " +
                               std::to_wstring(kExitInvalidParameter) + L")");
    return kExitInvalidParameter;
}

// A word out of place would otherwise run the installation, elevated, where
// the caller asked for something else ("/silent /verify", "/verify /json"
// quoted as one argument): refused the same way, with its own lines.
int RefuseMisplaced(const std::wstring& argument, const MisplacedWord& misplaced) {
    const std::wstring reason = MisplacementReason(misplaced);
    plat::ConsoleWrite(plat::ConsoleStream::Error, L"Argument out of place: " + argument + L" (" + reason +
                                                       L"). Nothing was run.\n\n" + UsageText(kVersion));
    WriteLogLine(L"ERROR", L"Refused the argument " + argument + L" (" + reason + L"): nothing was run (Pendrel " +
                               kVersion + L", process id " + std::to_wstring(plat::GetCurrentProcessId()) +
                               L", exit code " + std::to_wstring(kExitInvalidParameter) + L")");
    return kExitInvalidParameter;
}

int RunChosenMode(int argc, wchar_t* argv[]) {
    for (int i = 1; i < argc; ++i) {
        WriteLogLine(L"INFO", ShowableArgument(argv[i]));
        if (IsUninstallArgument(argv[i])) {
            WriteLogLine(L"INFO", L"Runing Uninstall Pendrel");
            return RunUninstallMode();
        }
        // Only the first argument can select the catalogue search.
        if (IsSearchVoicesArgument(argv[1])) {
            const CatalogueOptions options = ParseCatalogueOptions(argc, argv);
            return SaveRemoteVoicesJson(options.username, options.password, ExpandOutputPath(options.outPath)) ? 0 : 1;
        }
        // Only the first argument can select the check of the machine.
        if (IsVerifyArgument(argv[1])) return RunVerifyMode(WantsJson(argc, argv), kVersion);
    }
    return RunInstallMode();
}
}  // namespace

extern "C" int wmain(int argc, wchar_t* argv[]) {
    // Help and version answer on their own: no banner, no log line, no run.
    if (argc > 1 && IsHelpArgument(argv[1])) {
        plat::ConsoleWrite(plat::ConsoleStream::Output, UsageText(kVersion));
        return 0;
    }
    if (argc > 1 && IsVersionArgument(argv[1])) {
        Say(L"Pendrel " + kVersion);
        if (IsPlaceholderEndpoint(kCatalogueUrl))
            Say(L"Catalogue endpoint not configured when this program was built (" + std::wstring(kCatalogueUrl) +
                L"): /searchvoices cannot reach a catalogue.");
        return 0;
    }

    for (int i = 1; i < argc; ++i) {
        const std::wstring meant = NearMissOf(argv[i]);
        if (!meant.empty()) return RefuseNearMiss(ShowableArgument(argv[i]), meant);
        const MisplacedWord misplaced = FindMisplacedWord(argv[i], i);
        if (misplaced.how != Misplacement::None) return RefuseMisplaced(ShowableArgument(argv[i]), misplaced);
    }

    // A JSON report owns standard output: the echo goes to standard error then.
    const plat::ConsoleStream echo = argc > 1 && IsVerifyArgument(argv[1]) && WantsJson(argc, argv)
                                         ? plat::ConsoleStream::Error
                                         : plat::ConsoleStream::Output;
    Say(L"Pendrel.exe arrancó correctamente.", echo);
    Say(L"argc = " + std::to_wstring(argc), echo);
    for (int i = 0; i < argc; ++i)
        Say(L"argv[" + std::to_wstring(i) + L"] = " + (i == 0 ? std::wstring(argv[i]) : ShowableArgument(argv[i])),
            echo);

    WriteLogLine(L"INFO", L"Run Pendrel");
    // Several installers may share one log: the version and the process id
    // open each run, its exit code closes it.
    WriteLogLine(L"INFO", L"Pendrel " + kVersion + L", process id " + std::to_wstring(plat::GetCurrentProcessId()));
    const int code = RunChosenMode(argc, argv);
    WriteLogLine(L"INFO", L"Exit code: " + std::to_wstring(code));
    return code;
}
