#include "actions/install.h"

#include <windows.h>

#include "actions/report.h"
#include "actions/url.h"
#include "common/ansi.h"
#include "common/handles.h"
#include "environment/probes.h"

namespace {
constexpr std::size_t kCommandLineSize = 1024;
}

bool RunInstallCommand(const TextString& url) {
    char suiteDirectory[MAX_PATH] = {};
    char installer[MAX_PATH] = {};
    if (!FindInstaller(suiteDirectory, installer)) return false;
    // The installer reads the rest of its command line as the address, so
    // blanks and quotes go as %20 and %22; an address that no escape can
    // carry (a control character) starts nothing. The check refuses such a
    // campaign before it shows, so this is the last line of defence.
    TextString argument;
    if (!InstallerArgument(AnsiLeadBytes(), url.c_str(), argument)) return false;
    char commandLine[kCommandLineSize];
    if (FormatBounded(commandLine, sizeof commandLine, "\"%s\" /URL:%s", installer, argument.c_str()) < 0) {
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(installer, commandLine, nullptr, nullptr, FALSE, 0, nullptr, suiteDirectory, &startup,
                        &process)) {
        return false;
    }
    // Nobody waits for the installer or reads its exit code: both handles
    // close here, before the report starts.
    {
        UniqueKernelHandle thread(process.hThread);
        UniqueKernelHandle child(process.hProcess);
    }
    StartReport(ReportKind::Installed);
    return true;
}
