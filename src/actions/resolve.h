// Name resolution of a report's server: every address of a name, found
// before the report's deadline, and nothing of the lookup left behind.
//
// An address written as such needs no resolver. A name is looked up
// asynchronously where Windows can (8 and later), with the time left as the
// lookup's own timeout; a lookup still running at the deadline is cancelled,
// and its result waited for, so its block and its event go with this call.
// Only a resolver that ignores both the timeout and the cancellation for a
// further kCancelGraceMs is left to finish on its own, keeping its block and
// event: the report thread, and with it the library, is not held for it. On
// Windows 7 the blocking lookup runs, bounded by the resolver's own timeouts.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "common/text.h"

struct Endpoint {
    sockaddr_storage address;
    int length;
};

// The addresses of `host` at `port`, sixteen at most, duplicates dropped, in
// the resolver's order. False when none was found before `deadline`
// (GetTickCount64).
bool ResolveEndpoints(const TextString& host, unsigned port, ULONGLONG deadline, std::vector<Endpoint>& out);
