// The proxy that a proxy auto-config script (PAC) names for a URL, found the
// way the user's web traffic finds it: the script at the address the user's
// Internet Settings give, or the one auto-detection finds on the network,
// run by WinHTTP. No request goes through WinHTTP: only the script's answer
// is asked for.
//
// Bounds: the lookup ends by `deadline`: a timer closes WinHTTP's session
// then, which cancels the script's download and run on Windows. Wine's
// WinHTTP (8.0) lets neither the close nor the session's timeouts end a
// download from a silent server (about 100 s until its own timeouts), so the
// caller first asks the script's server itself, within its own bounds. Wine
// runs one script at a time in a process and fails a second: the plug-in's
// lookups take turns, each waiting for its turn within its deadline.
#pragma once
#include <windows.h>

#include "common/text.h"

// The proxy list ("HOST:PORT[;HOST:PORT...]") that the script at `scriptUrl`
// (none when empty), or the one auto-detection finds (`autoDetect`), names
// for `url`: empty when the script sends `url` directly. False when no script
// answered by `deadline` (GetTickCount64).
bool ScriptedProxy(const char* url, const TextString& scriptUrl, bool autoDetect, ULONGLONG deadline,
                   TextString& list);
