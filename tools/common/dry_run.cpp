#include "dry_run.h"

#include "codepage.h"

GateWalk WalkAllGates(PopupWorkspace& workspace, const char* campaignPath) {
    GateWalk walk;
    walk.outcome = EvaluatePopup(workspace, campaignPath, CheckMode::DryRun, &walk.facts);
    GateRun run{workspace, campaignPath, CheckMode::DryRun, walk.facts};
    for (std::size_t i = 0; i < kGateCount; ++i) {
        // The real check ran the gates up to its stop; the walk runs the rest.
        const CheckOutcome outcome = i < walk.facts.stoppedAt    ? CheckOutcome::Show
                                     : i == walk.facts.stoppedAt ? walk.outcome
                                                                 : kGates[i].run(run);
        walk.rows.push_back({outcome, AnsiToUtf8(kGates[i].seen(run).c_str())});
        if (outcome == CheckOutcome::CampaignUnreadable) return walk;
    }
    walk.never = NeverPassedGate(workspace.config);
    walk.message = AnsiToUtf8(workspace.composedMessage);
    return walk;
}
