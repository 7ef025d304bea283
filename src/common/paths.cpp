#include "common/paths.h"

#include <shlwapi.h>

bool ModuleSiblingPath(HMODULE module, const char* name, char (&out)[MAX_PATH]) {
    out[0] = '\0';
    const DWORD n = GetModuleFileNameA(module, out, MAX_PATH);
    // A full buffer means the name was cut (and on XP not even terminated).
    if (n == 0 || n >= MAX_PATH) {
        out[0] = '\0';
        return false;
    }
    PathRemoveFileSpecA(out);
    if (PathCombineA(out, out, name) == nullptr) {
        out[0] = '\0';
        return false;
    }
    return true;
}
