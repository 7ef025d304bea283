#include "actions/settings.h"

#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>
#include <wininet.h>

#include <cstring>

#include "common/handles.h"

namespace {

constexpr char kSettingsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr std::size_t kMaxSettingBytes = 4096;

// A text WinINet allocated, owned from here on; empty when there is none or
// it is longer than any setting of ours.
TextString Take(char* text) {
    const UniqueGlobalMemory owner(text);
    if (text == nullptr) return TextString();
    const char* end = static_cast<const char*>(std::memchr(text, '\0', kMaxSettingBytes));
    return end != nullptr ? TextString(text, static_cast<std::size_t>(end - text)) : TextString();
}

}  // namespace

InternetSettings ReadInternetSettings() {
    InternetSettings settings;
    INTERNET_PER_CONN_OPTIONA options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    INTERNET_PER_CONN_OPTION_LISTA list = {};
    list.dwSize = sizeof list;
    list.dwOptionCount = 4;
    list.pOptions = options;
    DWORD size = sizeof list;
    if (InternetQueryOptionA(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size)) {
        const DWORD flags = options[0].Value.dwValue;
        const TextString proxy = Take(options[1].Value.pszValue);
        settings.manual.bypass = Take(options[2].Value.pszValue);
        const TextString script = Take(options[3].Value.pszValue);
        settings.manual.enabled = (flags & PROXY_TYPE_PROXY) != 0 && ProxyForHttp(proxy.c_str(), settings.manual.proxy);
        if ((flags & PROXY_TYPE_AUTO_PROXY_URL) != 0) settings.scriptUrl = script;
        settings.autoDetect = (flags & PROXY_TYPE_AUTO_DETECT) != 0;
    }
    if (settings.scriptUrl.empty()) {
        char script[INTERNET_MAX_URL_LENGTH + 1] = {};
        DWORD type = 0, bytes = INTERNET_MAX_URL_LENGTH;
        if (SHGetValueA(HKEY_CURRENT_USER, kSettingsKey, "AutoConfigURL", &type, script, &bytes) == ERROR_SUCCESS &&
            type == REG_SZ) {
            settings.scriptUrl = script;
        }
    }
    return settings;
}
