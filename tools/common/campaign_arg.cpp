#include "campaign_arg.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "ini_text.h"

namespace {

bool EndsWith(const std::string& path, const char* extension) {
    const std::size_t n = std::strlen(extension);
    return path.size() >= n && lstrcmpiA(path.c_str() + path.size() - n, extension) == 0;
}

bool UnderWrapper() {
    const char* command = std::getenv("QUENTRA_COMMAND");
    return command != nullptr && *command != '\0';
}

}  // namespace

std::string CampaignProblem(const std::string& path, const std::string& bytes, CampaignForm& form) {
    const bool plainLooks = HasCampaignSection(bytes);
    const bool decodedLooks = !plainLooks && HasCampaignSection(Decoded(bytes));
    form = plainLooks ? CampaignForm::Plain : CampaignForm::Encoded;
    if (EndsWith(path, ".dat")) {
        if (decodedLooks) return std::string();
        return plainLooks ? " holds a plain INI: the plug-in decodes every campaign file and would read noise; "
                            "encode it first (quentra-campaign encode), or name it .ini"
                          : " does not decode to a campaign (no [Common], [NoAntiVirus] or [GameScan] section): "
                            "not a campaign file, or a damaged one";
    }
    if (EndsWith(path, ".ini")) {
        if (plainLooks) return std::string();
        return decodedLooks ? " is encoded: name it .dat, or decode it first"
                            : " has no [Common], [NoAntiVirus] or [GameScan] section: not a campaign INI";
    }
    if (plainLooks || decodedLooks) return std::string();
    return " is neither a campaign INI nor an encoded campaign";
}

std::string AsDeployed(const std::string& bytes, CampaignForm form) {
    return form == CampaignForm::Plain ? Encoded(bytes) : bytes;
}

std::string AsPlain(const std::string& bytes, CampaignForm form) {
    return form == CampaignForm::Encoded ? Decoded(bytes) : bytes;
}

std::string ToolCommand(const char* tool) {
    return UnderWrapper() ? std::getenv("QUENTRA_COMMAND") : tool;
}

std::string ShellQuoted(const std::string& text) {
    if (!UnderWrapper()) return "\"" + text + "\"";
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string OtherTool(const char* name) {
    if (!UnderWrapper()) return name;
    // The environment that picks the build tree, when the user gave one.
    const char* env = std::getenv("QUENTRA_TOOLS_ENV");
    return std::string(env != nullptr ? env : "") + "tools/" + name;
}

std::string UserPath(const std::string& path) {
    if (!UnderWrapper() || path.size() < 3 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':') return path;
    std::string out = path.substr(2);
    for (char& c : out) c = c == '\\' ? '/' : c;
    return out;
}
