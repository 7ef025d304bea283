// encode and decode: the campaign file's mask, applied to an author's file.
#include <string>

#include "commands.h"
#include "files.h"
#include "ini_text.h"
#include "output.h"

namespace {

int RefuseSameFile(const std::string& in, const std::string& out) {
    if (!SameFile(in, out)) return kExitOk;
    return Error("refusing to write " + PathUtf8(out) + ": it is the input file; name another output", kExitUsage);
}

}  // namespace

namespace {

// The UTF-8 text `utf8` of `in` in code page 936, or the error's exit code.
int FromUtf8(const std::string& in, const std::string& utf8, std::string& cp936) {
    if (!LooksLikeUtf8(utf8)) {
        return Error(PathUtf8(in) + " does not look like UTF-8 (no multibyte UTF-8 character): it needs no "
                     "conversion");
    }
    std::string lost;
    cp936 = Utf8ToCp936(utf8, lost);
    if (!lost.empty()) {
        return Error(PathUtf8(in) + ": code page 936 has no form for " + lost +
                     ": replace it, then convert again; nothing was written");
    }
    return kExitOk;
}

}  // namespace

int Convert(const std::string& in, const std::string& out) {
    if (const int r = RefuseSameFile(in, out)) return r;
    std::string utf8, why, cp936;
    if (!ReadWholeFile(in, utf8, why)) return Error(PathUtf8(in) + " " + why);
    if (!HasCampaignSection(utf8)) {
        return Error(PathUtf8(in) + (HasCampaignSection(Decoded(utf8)) ? " is encoded: decode it first, then convert"
                                                                       : " is not a campaign INI"));
    }
    if (const int r = FromUtf8(in, utf8, cp936)) return r;
    if (const int r = WriteOutput(out, cp936)) return r;
    Out("converted " + PathUtf8(in) + " from UTF-8 (" + std::to_string(utf8.size()) + " bytes) into " +
        PathUtf8(out) + " in code page 936 (" + std::to_string(cp936.size()) + " bytes)\n");
    return kExitOk;
}

int Encode(const std::string& in, const std::string& out, bool fromUtf8) {
    if (const int r = RefuseSameFile(in, out)) return r;
    std::string plain, why;
    if (!ReadWholeFile(in, plain, why)) return Error(PathUtf8(in) + " " + why);
    if (plain.empty()) return Error(PathUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(Decoded(plain))) {
            return Error(PathUtf8(in) + " is already encoded (it decodes to a campaign); use decode to read it");
        }
        return Error(PathUtf8(in) + " has no [Common], [NoAntiVirus] or [GameScan] section: not a campaign INI");
    }
    // The profile functions stop reading a line at a zero byte.
    const std::size_t zero = plain.find('\0');
    if (zero != std::string::npos) {
        return Error(PathUtf8(in) + " has a zero byte at offset " + std::to_string(zero) +
                     ": it is not a plain INI text");
    }
    // A UTF-8 text would show as noise: it is converted only when asked.
    if (fromUtf8) {
        if (const int r = FromUtf8(in, plain, plain)) return r;
    } else if (LooksLikeUtf8(plain)) {
        return Error(PathUtf8(in) + " looks like UTF-8; the plug-in reads code page 936, so its Chinese would show " +
                     "as noise; nothing was written. " + Utf8Fix(PathUtf8(in)) + ", then encode that; or encode " +
                     "it with --from-utf8, which converts it on the way");
    }
    const std::string file = Encoded(plain);
    if (const int r = WriteOutput(out, file)) return r;
    Out("encoded " + PathUtf8(in) + " (" + std::to_string(plain.size()) + " bytes, " +
        std::to_string(file.size() - plain.size()) + " spaces of padding) into " + PathUtf8(out) + " (" +
        std::to_string(file.size()) + " bytes)\n");
    return kExitOk;
}

int Decode(const std::string& in, const std::string& out) {
    if (const int r = RefuseSameFile(in, out)) return r;
    std::string file, why;
    if (!ReadWholeFile(in, file, why)) return Error(PathUtf8(in) + " " + why);
    if (file.empty()) return Error(PathUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    const std::string plain = Decoded(file);
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(file)) {
            return Error(PathUtf8(in) + " is a plain INI, not an encoded campaign; use encode to make one");
        }
        return Error(PathUtf8(in) +
                     " does not decode to a campaign (no [Common], [NoAntiVirus] or [GameScan] section): "
                     "not a campaign file, or a damaged one");
    }
    if (file.size() % 4 != 0) {
        Note("note: " + PathUtf8(in) + " is " + std::to_string(file.size()) +
             " bytes, not whole 4-byte words; the last word was completed as the plug-in completes it (" +
             Hex(plain.substr(file.size())) + ")");
    }
    if (const int r = WriteOutput(out, plain)) return r;
    Out("decoded " + PathUtf8(in) + " (" + std::to_string(file.size()) + " bytes) into " + PathUtf8(out) + " (" +
        std::to_string(plain.size()) + " bytes)\n");
    return kExitOk;
}
