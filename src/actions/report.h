// The usage report: one detached thread per event fetches the report URL, so
// the host's thread never waits for the network. The thread receives only the
// kind and touches no instance.
//
// Route: the report goes the way the user's web traffic goes (settings.h):
// the proxy a proxy auto-config script names for the report URL, when the
// settings name a script or ask for auto-detection and a script answers
// (autoproxy.h); else the proxy that the settings name for http, unless the
// bypass list names the server. It carries the request in absolute form. A
// proxy that cannot be reached or asks for credentials (407), which the
// plug-in has none to give, does not cost the report: the server is then
// asked directly. Redirects (301, 302, 303, 307, 308) to http addresses are
// followed, five at most, to hosts written as a name, a dotted quad or a
// bracketed IPv6 address only (route.h, url.h). https is not spoken: a
// redirect there ends the report.
//
// Bounds: one deadline of 30 s covers the whole report after its 1 s wait:
// the script (10 s of it at most), name resolution, connections, every hop,
// and at most 64 KiB of each answer, read into memory and dropped; nothing
// reaches the disk or a cache. Each address of a name gets its turn: when one
// does not answer within a second, the next is tried beside it, so a dead
// first address does not cost the report. Name resolution is cancelled at the
// deadline (resolve.h). A silent, dripping or endless server holds a report
// thread, and with it the library, for the 1 s wait and the 30 s deadline at
// most.
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
