#include "campaign_facts.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

namespace reports {

namespace {

namespace pt = boost::property_tree;

// A whole number from 0 to 1,000,000 (the loader's bounds), or a message.
std::string Number(const pt::ptree& facts, const char* key, std::optional<std::int64_t>& out) {
    const std::string text = facts.get<std::string>(key, "");
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(text) > 1000000) {
        return std::string(key) + " must be a whole number from 0 to 1000000, as the plug-in's loader holds it";
    }
    out = std::stoll(text);
    return {};
}

}  // namespace

std::string ReadCampaignFacts(const std::string& json, Campaign& campaign) {
    pt::ptree facts;
    try {
        std::istringstream in(json);
        pt::read_json(in, facts);
    } catch (const pt::json_parser_error& e) {
        return "standard input is not the JSON of `quentra-campaign describe FILE --json` (" + e.message() + " at line " +
               std::to_string(e.line()) + ")";
    }
    for (const char* key : {"ID", "Purpose", "MaxPopupTimes", "PopupFrequency", "Title", "ScanPatterns"}) {
        if (!facts.get_child_optional(key)) {
            return std::string("the JSON has no ") + key + ": make it with `quentra-campaign describe FILE --json`";
        }
    }
    std::string why = Number(facts, "MaxPopupTimes", campaign.maxPopups);
    if (why.empty()) why = Number(facts, "PopupFrequency", campaign.weekdays);
    if (!why.empty()) return why;
    campaign.id = facts.get<std::string>("ID");
    campaign.purpose = facts.get<std::string>("Purpose");
    campaign.title = facts.get<std::string>("Title");
    campaign.patterns.clear();
    const pt::ptree& list = facts.get_child("ScanPatterns");
    if (list.empty() && !list.data().empty()) return "ScanPatterns must be a list of texts";
    for (const auto& [key, pattern] : list) {
        if (!key.empty() || !pattern.empty()) return "ScanPatterns must be a list of texts";
        campaign.patterns.push_back(pattern.data());
    }
    if (campaign.id.empty()) {
        return "the campaign file has no ID in [NoAntiVirus]: give it one, or add the campaign with --id instead of -";
    }
    return {};
}

}  // namespace reports
