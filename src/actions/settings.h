// The user's Internet Settings as a report reads them, once per report: the
// proxy for http and its bypass list, the address of a proxy auto-config
// script (PAC) and whether auto-detection is on. They are read as WinINet
// reads them for this process, so they are set before the tray starts; the
// script's address also from the "AutoConfigURL" value that Internet Explorer
// and policies keep under the user's Internet Settings, which Wine's WinINet
// reads but does not report.
#pragma once
#include "actions/route.h"
#include "common/text.h"

struct InternetSettings {
    ProxyRoute manual;     // the proxy the settings name for http, if any
    TextString scriptUrl;  // empty: no script
    bool autoDetect = false;
};

InternetSettings ReadInternetSettings();
