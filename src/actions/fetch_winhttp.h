// The report's request through WinHTTP (see fetch_winhttp.cpp).
#pragma once
#include <windows.h>

#include "actions/route.h"

// GETs `target` on `route` before `deadline` (GetTickCount64), following
// redirects, and drops the answer.
void FetchWithWinHttp(const HttpUrl& target, const ProxyRoute& route, ULONGLONG deadline);
