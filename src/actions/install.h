// The install command: starts the suite's installer with the campaign's
// download address when the user accepts the notification, then reports it.
#pragma once
#include "common/text.h"

// True when modules\Corvelinst.exe was started with `"<installer>" /URL:<url>`
// in the suite's folder, the address's blanks and quotes written as %20 and
// %22 so that it stays one argument. False, starting nothing and reporting
// nothing, when the installer is missing, the command line does not fit 1024
// bytes, or the address holds a control character.
[[nodiscard]] bool RunInstallCommand(const TextString& downloadUrl);
