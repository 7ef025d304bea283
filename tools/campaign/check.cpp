// check: which kind of file was given, what the plug-in's loader makes of
// check: which kind of file was given, what the plug-in's loader makes of
// it, the report with its warnings, and whether the campaign can show at all.
// The load is describe's too.
#include "campaign/decode.h"
#include "campaign_arg.h"
#include "checker.h"
#include "decision/gates.h"
#include "commands.h"
#include "files.h"
#include "loaded.h"
#include "output.h"

namespace {

// The warning for a text whose length is not whole words and whose last
// line has no line end: decoding's filler joins that line. Empty otherwise.
std::string FillerWarning(const std::string& path, std::size_t size, const std::string& plain) {
    const std::string own = plain.substr(0, size);
    const std::size_t lastEnd = own.find_last_of("\r\n");
    const std::string tail = lastEnd == std::string::npos ? own : own.substr(lastEnd + 1);
    if (tail.empty()) return std::string();
    // The filler is 0x20 masked with the key's upper bytes: 1C 0A 4D, or the
    // last one or two of them. Up to its line feed it joins the last line;
    // after it, it stands on a line of its own.
    const std::string filler = plain.substr(size);
    const std::size_t feed = filler.find('\n');
    const std::string glued = filler.substr(0, feed);
    const std::string after = feed == std::string::npos ? std::string() : filler.substr(feed + 1);
    std::string effect =
        glued.empty() ? "its line feed ends that line" : Hex(glued) + " joins that line, so its value ends in it";
    if (!after.empty()) effect += ", and " + Quoted(after) + " follows on a line of its own";
    return AnsiToUtf8(path) + " is " + std::to_string(size) +
           " bytes, not a whole number of 4-byte words, and its last line " + Quoted(tail) +
           " has no line end: decoding completes the last word with the bytes " + Hex(filler) + "; " + effect +
           " (encode pads with spaces, which the reader ignores)";
}

}  // namespace

std::string LoadAsThePlugin(const std::string& path, LoadedCampaign& out) {
    std::string bytes, why;
    if (!ReadWholeFile(path, bytes, why)) return AnsiToUtf8(path) + " " + why;
    if (bytes.empty()) return AnsiToUtf8(path) + " is empty: the plug-in cannot load an empty campaign";
    // Encoding pads to whole words: that is the size the plug-in meets.
    const std::size_t deployed = (bytes.size() + 3) / 4 * 4;
    if (deployed > kMaxCampaignFileSize) {
        return AnsiToUtf8(path) + " makes a campaign file of " + std::to_string(deployed) +
               " bytes; the plug-in refuses campaign files above " + std::to_string(kMaxCampaignFileSize) +
               " bytes (1 MiB) unread and never shows them: shorten it";
    }

    CampaignForm form;
    const std::string problem = CampaignProblem(path, bytes, form);
    if (!problem.empty()) return AnsiToUtf8(path) + problem;
    const bool encoded = form == CampaignForm::Encoded;
    out.plain = encoded ? Decoded(bytes) : bytes;
    out.header = AnsiToUtf8(path) + ": " + (encoded ? "encoded campaign, " : "plain campaign INI, ") +
                 std::to_string(bytes.size()) + " bytes";
    if (encoded && bytes.size() % 4 != 0) {
        out.header += " (not whole 4-byte words)";
        const std::string filler = FillerWarning(path, bytes.size(), out.plain);
        if (!filler.empty()) out.early.push_back(filler);
    }
    // Read as code page 936, UTF-8 gives noise and lengths that are not the
    // plug-in's: the rest of the check reads the text as the fix makes it.
    std::string lost;
    out.plain = TextToTry(out.plain, out.utf8, lost);
    if (out.utf8) {
        out.header += "\nthe text is UTF-8: what follows is checked as converted to code page 936";
        out.utf8Fix = encoded ? "decode it, " + Utf8Fix("campaign.ini") + ", and encode that again" : Utf8Fix(AnsiToUtf8(path));
        out.early.push_back(Utf8Warning(AnsiToUtf8(path), encoded));
        if (!lost.empty()) out.early.push_back("code page 936 has no form for " + lost + ": replace it before converting");
    }

    if (!out.scratch.Create() || !out.scratch.Write(out.plain)) return "no temporary file could be written for the check";
    // What the plug-in holds after loading: its own code, which only reads.
    const int loaded = encoded && !out.utf8 ? out.config.LoadCampaignFile(FullPath(path).c_str())
                                            : out.config.LoadPlainFile(out.scratch.path.c_str());
    if (loaded != 1) return "the plug-in's loader could not read " + AnsiToUtf8(path);
    return {};
}

int Check(const std::string& path) {
    LoadedCampaign loaded;
    const std::string failed = LoadAsThePlugin(path, loaded);
    if (!failed.empty()) return Error(failed);
    Profile profile{loaded.scratch.path};
    Checker checker(profile, loaded.config, loaded.plain);
    for (const std::string& w : loaded.early) checker.Warn(w);
    std::string report = checker.Report(loaded.header);
    const std::vector<std::string>& warnings = checker.Warnings();
    if (warnings.empty()) {
        report += "\nno warnings\n";
    } else {
        report += "\n" + std::to_string(warnings.size()) + (warnings.size() == 1 ? " warning:\n" : " warnings:\n");
        for (const std::string& w : warnings) report += "  warning: " + w + "\n";
    }
    // Whether it can show at all is the gate table's answer, as the doctor
    // and the preview give it: a CI job gates on the exit code.
    std::string never;
    for (std::size_t i = NeverPassedGate(loaded.config); i < kGateCount; ++i) {
        if (kGates[i].never != nullptr && kGates[i].never(loaded.config) != nullptr) {
            never += (never.empty() ? "\"" : ", \"") + std::string(kGates[i].label) + "\"";
        }
    }
    if (!never.empty()) {
        report += "never shows: the campaign fails " + never + " on every machine on every day (exit status " +
                  std::to_string(kExitNeverShows) + "); the warnings above say why and what to change\n";
    }
    Out(report);
    return !never.empty() ? kExitNeverShows : warnings.empty() ? kExitOk : kExitWarnings;
}
