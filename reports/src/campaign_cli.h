// `quentra-reports campaign ...`: the ledger's commands in the terminal.
#pragma once

namespace reports {

extern const char kCampaignUsage[];

// argv[0] is the subcommand (add, end, list, remove, show, compare, build);
// answers the exit code: 0 done, 1 refused or failed, 2 bad usage.
int CampaignCommand(int argc, char** argv);

}  // namespace reports
