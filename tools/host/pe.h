// What a file is, read from its PE headers without loading it.
//
// Contract: InspectPluginDll reads `path` only through a bounded reader
// (nothing is mapped, loaded or run, so a hostile or cut file is safe to
// give). It answers false, with `why` naming the cause, when the path is
// missing, a folder, unreadable, or no PE image at all ("is not a Windows
// DLL: ..."). It answers true for any PE image, with `info` filled in: the
// caller judges machine, DLL flag and exports, or lets PluginDllProblem do so
// for a host of this process's bitness. Export names are read from the export
// directory (forwarders count as present); the file version comes from the
// version resource, empty when there is none.
#pragma once
#include <string>

#include "exports.h"

struct PluginDllInfo {
    unsigned machine = 0;     // IMAGE_FILE_HEADER.Machine: 0x14c x86, 0x8664 x64, ...
    int bits = 0;             // 32 or 64, from the optional header's magic
    bool isDll = false;       // IMAGE_FILE_DLL: a program (.exe) has it clear
    bool hasExport[kPluginExportCount] = {};  // in kPluginExportNames order
    std::string fileVersion;  // "1.0.0.1001" from VS_FIXEDFILEINFO, or ""
};

bool InspectPluginDll(const char* path, PluginDllInfo& info, std::string& why);

// Why a host of this process's bitness cannot drive the inspected file as
// the plug-in, naming the fix (another architecture, a program, missing
// exports); empty when it can.
std::string PluginDllProblem(const char* path, const PluginDllInfo& info);
