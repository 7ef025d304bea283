// encode and decode: the campaign file's mask, applied to an author's file.
#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "files.h"
#include "ini_text.h"
#include "output.h"

namespace {

// The input file `in` read whole into `bytes`, once `out` is known to be
// another file; kExitOk, or the error's exit code after its message.
int ReadInput(const std::string& in, const std::string& out, std::string& bytes) {
    if (SameFile(in, out)) {
        return Error("refusing to write " + AnsiToUtf8(out) + ": it is the input file; name another output", kExitUsage);
    }
    std::string why;
    return ReadWholeFile(in, bytes, why) ? kExitOk : Error(AnsiToUtf8(in) + " " + why);
}

// Writes `bytes` to a temporary file beside `target` and moves it over the
// target only when whole, so a failure leaves what was there before;
// kExitOk, or the error's exit code after its message.
int WriteOutput(const std::string& target, const std::string& bytes) {
    char folder[MAX_PATH * 4] = {};
    std::snprintf(folder, sizeof folder, "%s", FullPath(target).c_str());
    PathRemoveFileSpecA(folder);
    const DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Error("cannot write " + AnsiToUtf8(target) + ": its folder does not exist");
    }
    ScratchFile scratch;
    if (!scratch.Create(folder) || !scratch.Write(bytes)) {
        return Error("cannot write " + AnsiToUtf8(target) + ": no temporary file could be written beside it");
    }
    if (!MoveFileExA(scratch.path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return Error("cannot write " + AnsiToUtf8(target) + " (error " + std::to_string(GetLastError()) + ")");
    }
    scratch.path.clear();  // it is the target now
    return kExitOk;
}

// The UTF-8 text `utf8` of `in` in code page 936, or the error's exit code.
int FromUtf8(const std::string& in, const std::string& utf8, std::string& cp936) {
    if (!LooksLikeUtf8(utf8)) {
        return Error(AnsiToUtf8(in) + " does not look like UTF-8 (no multibyte UTF-8 character): it needs no "
                     "conversion");
    }
    std::string lost;
    cp936 = Utf8ToCp936(utf8, lost);
    if (!lost.empty()) {
        return Error(AnsiToUtf8(in) + ": code page 936 has no form for " + lost +
                     ": replace it, then convert again; nothing was written");
    }
    return kExitOk;
}

}  // namespace

int Convert(const std::string& in, const std::string& out) {
    std::string utf8, cp936;
    if (const int r = ReadInput(in, out, utf8)) return r;
    if (!HasCampaignSection(utf8)) {
        return Error(AnsiToUtf8(in) + (HasCampaignSection(Decoded(utf8)) ? " is encoded: decode it first, then convert"
                                                                       : " is not a campaign INI"));
    }
    if (const int r = FromUtf8(in, utf8, cp936)) return r;
    if (const int r = WriteOutput(out, cp936)) return r;
    Out("converted " + AnsiToUtf8(in) + " from UTF-8 (" + std::to_string(utf8.size()) + " bytes) into " +
        AnsiToUtf8(out) + " in code page 936 (" + std::to_string(cp936.size()) + " bytes)\n");
    return kExitOk;
}

int Encode(const std::string& in, const std::string& out, bool fromUtf8) {
    std::string plain;
    if (const int r = ReadInput(in, out, plain)) return r;
    if (plain.empty()) return Error(AnsiToUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(Decoded(plain))) {
            return Error(AnsiToUtf8(in) + " is already encoded (it decodes to a campaign); use decode to read it");
        }
        return Error(AnsiToUtf8(in) + " has no [Common], [NoAntiVirus] or [GameScan] section: not a campaign INI");
    }
    // The profile functions stop reading a line at a zero byte.
    const std::size_t zero = plain.find('\0');
    if (zero != std::string::npos) {
        return Error(AnsiToUtf8(in) + " has a zero byte at offset " + std::to_string(zero) +
                     ": it is not a plain INI text");
    }
    // A UTF-8 text would show as noise: it is converted only when asked.
    if (fromUtf8) {
        if (const int r = FromUtf8(in, plain, plain)) return r;
    } else if (LooksLikeUtf8(plain)) {
        return Error(AnsiToUtf8(in) + " looks like UTF-8; the plug-in reads code page 936, so its Chinese would show " +
                     "as noise; nothing was written. " + Utf8Fix(AnsiToUtf8(in)) + ", then encode that; or encode " +
                     "it with --from-utf8, which converts it on the way");
    }
    const std::string file = Encoded(plain);
    if (const int r = WriteOutput(out, file)) return r;
    Out("encoded " + AnsiToUtf8(in) + " (" + std::to_string(plain.size()) + " bytes, " +
        std::to_string(file.size() - plain.size()) + " spaces of padding) into " + AnsiToUtf8(out) + " (" +
        std::to_string(file.size()) + " bytes)\n");
    return kExitOk;
}

int Decode(const std::string& in, const std::string& out) {
    std::string file;
    if (const int r = ReadInput(in, out, file)) return r;
    if (file.empty()) return Error(AnsiToUtf8(in) + " is empty: the plug-in cannot load an empty campaign");
    const std::string plain = Decoded(file);
    if (!HasCampaignSection(plain)) {
        if (HasCampaignSection(file)) {
            return Error(AnsiToUtf8(in) + " is a plain INI, not an encoded campaign; use encode to make one");
        }
        return Error(AnsiToUtf8(in) +
                     " does not decode to a campaign (no [Common], [NoAntiVirus] or [GameScan] section): "
                     "not a campaign file, or a damaged one");
    }
    if (file.size() % 4 != 0) {
        Note("note: " + AnsiToUtf8(in) + " is " + std::to_string(file.size()) +
             " bytes, not whole 4-byte words; the last word was completed as the plug-in completes it (" +
             Hex(plain.substr(file.size())) + ")");
    }
    if (const int r = WriteOutput(out, plain)) return r;
    Out("decoded " + AnsiToUtf8(in) + " (" + std::to_string(file.size()) + " bytes) into " + AnsiToUtf8(out) + " (" +
        std::to_string(plain.size()) + " bytes)\n");
    return kExitOk;
}
