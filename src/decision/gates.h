// The gates of the popup decision, described once, in the order they run.
// EvaluatePopup runs this table, the doctor prints it row by row (and, from
// the rows on the campaign alone, says when a campaign can never show), and
// the tests break each row in turn. Reordering or adding a gate touches this
// table (gates.cpp) and nothing else.
#pragma once
#include <cstddef>
#include <cstdint>

#include "decision/check.h"
#include "decision/gate_rules.h"

// One check in progress, as the gates see it.
struct GateRun {
    PopupWorkspace& workspace;
    const char* campaignPath;
    CheckMode mode;
    CheckFacts& facts;
    bool loaded = false;  // the campaign load began: the message was emptied
};

struct Gate {
    const char* label;  // as the doctor names it
    const char* reads;  // what it reads: keys, values, files
    // Show when the gate passes, else the outcome that ends the check.
    CheckOutcome (*run)(GateRun& run);
    // What it saw, for the doctor, as ANSI text; empty when there is nothing
    // more than `reads` to say.
    TextString (*seen)(const GateRun& run);
    // A gate on the loaded campaign alone: when the campaign fails it on
    // every machine on every day, so that it never shows, why (`seen` has
    // the values), else null. Null for a gate that the machine's state or
    // the day can pass.
    const char* (*never)(const CampaignConfig& campaign);
    // With `never`: what the campaign's author changes.
    const char* fix;
};

extern const Gate kGates[];
extern const std::size_t kGateCount;

// The first gate that the loaded `campaign` fails on every machine on every
// day, or kGateCount when it can show somewhere, some day.
std::size_t NeverPassedGate(const CampaignConfig& campaign);
