// check: the Message template, and the texts measured against the balloon
// a tray shows them in.
#include <vector>

#include "../common/balloon.h"
#include "checker.h"
#include "common/text.h"
#include "decision/compose.h"
#include "output.h"
#include "quentra/quentra.h"

namespace {

// The warning for a text that the balloon's `field` cuts at `limit` bytes,
// or empty when it fits.
std::string Fit(const std::string& what, const std::string& text, std::size_t limit, const char* field) {
    const LeadByteTable table = Cp936LeadBytes();
    const BalloonCut cut = CutForBalloon(table, text.c_str(), limit);
    if (cut.kept == text.size()) return std::string();
    std::string w = what + " is " + std::to_string(text.size()) + " bytes; a tray balloon shows " +
                    std::to_string(limit) + " (NOTIFYICONDATAA " + field + "), so it ends at " +
                    Excerpt(text.substr(0, cut.kept), cut.kept, cut.kept, 10) + " and " +
                    Excerpt(text.substr(cut.kept), 0, 0, 10) + " never shows; shorten it by " +
                    std::to_string(text.size() - cut.kept) + " bytes";
    if (cut.splitsCharacter) {
        const char* at = text.c_str() + cut.kept;
        w += "; byte " + std::to_string(limit) + " falls inside " + Quoted(std::string(at, NextChar(table, at))) +
             ", so a host that cuts bytes, not characters, shows half a character there";
    }
    return w;
}

}  // namespace

void Checker::Template() {
    const TextString& m = config_.GameScanNotice().Message;
    if (m.empty()) return;
    const LeadByteTable table = Cp936LeadBytes();
    const TemplateFault fault = FindTemplateFault(table, m.c_str());
    if (fault.problem == nullptr) {
        if (FindText(table, m.c_str(), "%s") == kNotFound) {
            Warn("Message has no %s: the game names found on the desktop will not appear in it; put %s where they "
                 "belong");
        }
        return;
    }
    Warn(std::string("Message has ") + fault.problem +
         ": the plug-in refuses the template and never shows the notification (only one %s, and %% for a percent "
         "sign); it is " + Quoted(m.substr(fault.at, fault.length)) + " at byte " + std::to_string(fault.at) +
         " of the message " + Excerpt(m, fault.at, fault.at + fault.length));
}

void Checker::Balloon() {
    const GameScanNoticeRecord& n = config_.GameScanNotice();
    std::string title = Fit("Title", n.Title, kBalloonTitleBytes, "szInfoTitle");
    if (!title.empty()) Warn(title);

    const LeadByteTable table = Cp936LeadBytes();
    if (n.Message.empty() || n.ScanPatterns.empty() || MessageTemplateProblem(table, n.Message.c_str()) != nullptr) {
        return;
    }
    // The longest message a desktop can give: any pattern may be the
    // smallest match, and the plug-in's own rules build its list.
    TextString longest;
    for (const TextString& match : n.ScanPatterns) {
        const TextString list = BuildNameListRule(match, n.FeaturedNames);
        if (list.size() > longest.size()) longest = list;
    }
    std::vector<char> message(QUENTRA_MESSAGE_SIZE, '\0');
    if (!ComposeMessage(table, n.Message.c_str(), longest.c_str(), message.data(), message.size())) return;
    const bool names = FindText(table, n.Message.c_str(), "%s") != kNotFound;
    std::string w = Fit(names ? "with the names " + Quoted(longest) + " (the longest list a desktop gives), the message"
                              : "the message",
                        message.data(), kBalloonTextBytes, "szInfo");
    if (!w.empty()) Warn(w);
}
