// The doctor's and the preview's dry run: every gate of the one gate table,
// on a campaign and this machine, going on past the gate that stops a real
// check, so that each gate says what it would do.
//
// Contract: nothing is stored and nothing is reported (CheckMode::DryRun).
// `outcome` and `facts.stoppedAt` are what a real check on this machine
// would end with: EvaluatePopup's own answer. Past the stop, each gate runs
// as it would had the gates before it passed, and says what it saw right
// after it ran. A campaign that does not load ends the walk there: no later
// gate has anything to read. `never` is the first gate that the loaded
// campaign fails on every machine on every day (kGateCount: none, or not
// loaded).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "decision/check.h"
#include "decision/gates.h"

struct GateRow {
    CheckOutcome outcome;  // Show: the gate passed
    std::string seen;      // what it saw, as UTF-8
};

struct GateWalk {
    CheckOutcome outcome = CheckOutcome::Show;
    CheckFacts facts;
    std::vector<GateRow> rows;  // one a gate in table order; fewer when the walk ended early
    std::size_t never = kGateCount;
    std::string message;  // what the scan composed, as UTF-8 (also past a stop)
};

GateWalk WalkAllGates(PopupWorkspace& workspace, const char* campaignPath);
