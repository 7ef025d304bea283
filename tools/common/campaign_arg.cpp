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

// The program `name`.exe in this program's folder, as cmd.exe runs it from
// the current folder: by its path below that folder (.\ in front of a bare
// name, so that PowerShell runs it too), else by its full path; in double
// quotes when it holds a blank. Tools are not on PATH: the package has them
// in its tools folder.
std::string BesideThisProgram(const char* name) {
    char self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path = n > 0 && n < MAX_PATH ? self : name;
    const std::size_t slash = path.find_last_of('\\');
    path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name + ".exe";
    char here[MAX_PATH] = {};
    const DWORD h = GetCurrentDirectoryA(MAX_PATH, here);
    std::string folder = h > 0 && h < MAX_PATH ? here : "";
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    if (!folder.empty() && path.size() > folder.size() &&
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                       static_cast<int>(folder.size())) == CSTR_EQUAL) {
        path = path.substr(folder.size());
        if (path.find('\\') == std::string::npos) path = ".\\" + path;
    }
    return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
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
    return UnderWrapper() ? std::getenv("QUENTRA_COMMAND") : BesideThisProgram(tool);
}

std::string ShellQuoted(const std::string& text) {
    if (!UnderWrapper()) return "\"" + text + "\"";
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string OtherTool(const char* name) {
    if (!UnderWrapper()) return BesideThisProgram(name);
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
