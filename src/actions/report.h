// The usage report: one detached thread per event fetches the report URL, so
// the host's thread never waits for the network. The thread receives only the
// kind and touches no instance.
//
// Route: the report goes the way the user's web traffic goes. The proxy that
// the user's Internet Settings name for http (a single "host:port" or the
// "http=" entry of a per-protocol list) carries it, in absolute form, unless
// the bypass list names the server; redirects (301, 302, 303, 307, 308) to
// http addresses are followed, five at most. A proxy that cannot be reached
// or asks for credentials (407), which the plug-in has none to give, does not
// cost the report: the server is then asked directly. https is not spoken:
// a redirect there ends the report.
//
// Bounds: one deadline of 30 s covers the whole report after its 1 s wait:
// name resolution, connections, every hop, and at most 64 KiB of each
// answer, read into memory and dropped; nothing reaches the disk or a cache.
// Each address of a name gets its turn: when one does not answer within
// a second, the next is tried beside it, so a dead first address does not
// cost the report. Name resolution runs asynchronously where Windows can
// (Windows 8 and later); a resolver that does not answer by the deadline is
// left to finish on its own, holding a small block of the process heap and
// an event, and no code of ours. On Windows 7 the resolver's own timeouts
// bound it. A silent, dripping or endless server holds a report thread, and
// with it the library, for the 1 s wait and the 30 s deadline at most.
//
// Unloading: each report thread holds a reference on this module from before
// it starts until it ends (FreeLibraryAndExitThread), so the host may call
// TCDestory and FreeLibrary at once without the thread running unmapped code.
#pragma once
#include <cstdint>

#include "common/text.h"

enum class ReportKind : std::int32_t {
    Shown = 1,      // t=0: the notification was shown
    Installed = 2,  // t=1: the installer was started from it
};

// The report server's origin, http://HOST[:PORT], fixed at build (the build
// refuses any other form).
#ifndef QUENTRA_REPORT_ORIGIN
#define QUENTRA_REPORT_ORIGIN "http://report.corvelsafe.com"
#endif

// The URL for `kind` with the identifier percent-encoded.
TextString ReportUrl(ReportKind kind, const char* machineId);

// Starts the report thread and returns at once; a failure goes unnoticed.
void StartReport(ReportKind kind);
