// The report of `quentra-campaign check`: every value the plug-in holds
// after loading a campaign, and a warning, with its fix, for each thing an
// author would not expect.
//
// Contract: the Checker reads the decoded text through the profile functions
// (the reads the plug-in makes, with buffers large enough to see what the
// plug-in would cut) and through its own outline of the text, and compares
// them with what the plug-in's loader produced. Which keys exist, their
// defaults, bounds and capacities come from the format's key table
// (campaign/format.h); the balloon's limits from tools/common/balloon.h.
// It writes nothing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "campaign/config.h"
#include "campaign/format.h"
#include "ini_text.h"

struct Profile {
    std::string path;
    // Section names (section null) or the key names of a section, read whole.
    std::vector<std::string> List(const char* section) const;
    // The key names of [GameScan] as the plug-in gets them: kGameScanCapacity bytes.
    std::vector<std::string> GameScanNames() const;
    std::string Value(const char* section, const std::string& key) const;
    std::int32_t Int(const char* section, const char* key, std::int32_t fallback) const;
};

class Checker {
public:
    Checker(const Profile& profile, const CampaignConfig& config, const std::string& text)
        : ini_(profile), config_(config), outline_(OutlineSections(text)) {}

    std::string Report(const std::string& header);
    const std::vector<std::string>& Warnings() const { return warnings_; }
    void Warn(const std::string& utf8) { warnings_.push_back(utf8); }

private:
    void Line(const char* name, const std::string& value, const std::string& remark = std::string());
    void CheckText(const char* section, const char* key, const std::string& value);
    const std::vector<std::string>& KeysOf(const char* section) const;
    // check_keys.cpp: one row of the key table, then what its key means.
    void Key(const CampaignKey& key);
    void Meaning(const CampaignKey& key, const std::string& text);
    void AntiVirus();
    // check_balloon.cpp: the texts against the balloon, and the template.
    void Balloon();
    void Template();
    // check_structure.cpp
    void GameScan();
    void Structure();

    const Profile& ini_;
    const CampaignConfig& config_;
    const std::vector<IniSection> outline_;
    std::vector<std::string> common_, notice_, gameScan_;
    std::string report_;
    std::vector<std::string> warnings_;
};
