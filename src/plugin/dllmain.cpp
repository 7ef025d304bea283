#include <windows.h>

#include "plugin/module.h"

// Stores the module handle and nothing else: no allocation, no thread
// notification changes, so the loader lock is never held for long and a
// process detach cannot race a report thread over freed state.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ModuleHandle = instance;
    return TRUE;
}
