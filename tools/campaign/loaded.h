// A campaign file as the plug-in's own loader reads it: the one reader of
// the format in this tool, for check and describe alike.
//
// Contract: the file is read whole and refused with the cause when it is no
// campaign the plug-in would load; a UTF-8 text is converted to code page
// 936 first (and said so), as check's fix makes it; then CampaignConfig,
// the plug-in's own code, loads it. Nothing on the machine is changed.
#pragma once
#include <string>
#include <vector>

#include "campaign/config.h"
#include "files.h"

struct LoadedCampaign {
    std::string plain;               // the text loaded, in code page 936
    std::string header;              // what the file is, for check's report
    std::vector<std::string> early;  // what was found before the load (UTF-8)
    bool utf8 = false;               // the file was UTF-8 text: `plain` is converted
    std::string utf8Fix;             // then the fix an author runs
    CampaignConfig config;           // what the plug-in holds after loading it
    ScratchFile scratch;             // `plain`, for the profile reads
};

// Empty when the file loaded; else why not, as a message naming the path.
std::string LoadAsThePlugin(const std::string& path, LoadedCampaign& out);
