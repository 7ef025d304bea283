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
    // The address goes on as the campaign gives it, neither quoted nor
    // escaped, so it must be one argument by itself: a blank, a quote or a
    // control character would end it there and let the campaign add
    // arguments of its own. Such an address starts nothing.
    if (!IsPlainCommandArgument(AnsiLeadBytes(), url.c_str())) return false;
    char commandLine[kCommandLineSize];
    if (FormatBounded(commandLine, sizeof commandLine, "\"%s\" /URL:%s", installer,
                      url.c_str()) < 0) {
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
