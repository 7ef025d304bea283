// The usage report: one detached thread per event fetches the report URL, so
// the host's thread never waits for the network. The thread receives only the
// kind and touches no instance.
//
// Bounds: one plain HTTP GET on a socket of its own, with no cache in the
// way: 30 s for the whole request (connection, request, answer) and at most
// 64 KiB of answer, read into memory and dropped. A silent, dripping or
// endless server holds a report thread, and with it the library, for 30 s
// after the 1 s wait at most.
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

// The report server's origin (scheme, host, optional port), fixed at build.
#ifndef QUENTRA_REPORT_ORIGIN
#define QUENTRA_REPORT_ORIGIN "http://report.corvelsafe.com"
#endif

// The URL for `kind` with the identifier percent-encoded.
TextString ReportUrl(ReportKind kind, const char* machineId);

// Starts the report thread and returns at once; a failure goes unnoticed.
void StartReport(ReportKind kind);
