// The plug-in's six exports as a host resolves them, written once for every
// tool and test that loads a Quentra.dll.
//
// Contract: kPluginExportNames are Quentra.def's names in ordinal order (the
// spine test holds the built DLL to that), and PluginExports types each by
// its PFN_ type in the host header. ResolveExports looks up every one: a
// missing export is a failure that names it, never a null pointer left for a
// call (on failure every pointer is null).
#pragma once
#include <windows.h>

#include <string>

#include "quentra/quentra.h"

constexpr int kPluginExportCount = 6;
extern const char* const kPluginExportNames[kPluginExportCount];

struct PluginExports {
    PFN_TCGetVer getVer = nullptr;
    PFN_TCCreate create = nullptr;
    PFN_TCDestory destroy = nullptr;
    PFN_TCCheck check = nullptr;
    PFN_TCEnum enumerate = nullptr;
    PFN_TCDoCommand doCommand = nullptr;
};

// False, with the missing names ("TCEnum, TCDoCommand") in `missing`, when
// `module` lacks any of the six.
bool ResolveExports(HMODULE module, PluginExports& out, std::string& missing);
