// The one piece of module-wide state: the library's own module handle, written
// once by DllMain at process attach and never cleared. It locates the campaign
// file beside the library. In the tools that link the plug-in's code directly
// it stays null, and they name the campaign file themselves.
#pragma once
#include <windows.h>

extern HMODULE ModuleHandle;
