#include "plugin/instance.h"

#include <windows.h>

#include "common/paths.h"

TcInstance::TcInstance() {
    // The message starts as the empty text, so TCEnum before any check hands
    // out an empty message rather than stray bytes.
    composedMessage_[0] = '\0';
    // The host's config.ini lies beside the host's executable, never beside
    // this library.
    char path[MAX_PATH];
    if (ModuleSiblingPath(nullptr, "config.ini", path)) hostConfigPath_ = path;
}

TcInstance::~TcInstance() {
    matchedNames_.clear();
    hostConfigPath_.clear();
}
