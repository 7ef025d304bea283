// Percent-encoding: the result holds only unreserved bytes and %XX escapes,
// and decodes back to the input. The install command's argument rule: what
// it writes, stepping by GBK character, never holds a single-byte blank, quote
// or control character, and the percent-encoded form passes unchanged. The
// report's URL, proxy, bypass and answer-head rules on arbitrary bytes.
#include <string>

#include "actions/url.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text = std::string(reinterpret_cast<const char*>(data), size).c_str();
    const std::string encoded = PercentEncode(text.c_str());
    std::string back;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '%') {
            if (i + 2 >= encoded.size()) __builtin_trap();
            back.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                    c == '-' || c == '.' || c == '_' || c == '~';
            if (!unreserved) __builtin_trap();
            back.push_back(c);
        }
    }
    if (back != text) __builtin_trap();

    const LeadByteTable gbk = Cp936LeadBytes();
    std::string argument;
    if (InstallerArgument(gbk, text.c_str(), argument)) {
        for (const char* p = argument.c_str(); *p != '\0'; p = NextChar(gbk, p)) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (NextChar(gbk, p) - p == 1 && (c <= 0x20 || c == 0x7F || c == '"')) __builtin_trap();
        }
    } else if (!argument.empty()) {
        __builtin_trap();
    }
    if (!InstallerArgument(gbk, encoded.c_str(), argument) || argument != encoded) __builtin_trap();

    // What servers and the user's settings hand the report: taken apart
    // without reading past the text, and a URL that splits writes back to
    // one that splits the same.
    HttpUrl url;
    if (SplitHttpUrl(text.c_str(), url)) {
        HttpUrl again;
        if (!SplitHttpUrl(AbsoluteUrl(url).c_str(), again) || again.host != url.host || again.port != url.port ||
            again.target != url.target) {
            __builtin_trap();
        }
        HttpUrl next;
        if (ResolveLocation(url, text.c_str() + text.size() / 2, next) && next.host.empty()) __builtin_trap();
    }
    HttpUrl proxy;
    if (ProxyForHttp(text.c_str(), proxy) && (proxy.host.empty() || proxy.port == 0)) __builtin_trap();
    BypassesProxy(text.c_str(), "report.example");
    BypassesProxy(text.c_str() + text.size() / 2, text.c_str());
    const int status = AnswerStatus(reinterpret_cast<const char*>(data), size);
    if (status < 0 || status > 999) __builtin_trap();
    AnswerLocation(reinterpret_cast<const char*>(data), size);
    return 0;
}
