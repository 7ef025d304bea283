// Shared by the host simulator's commands.
#pragma once
#include <string>

// The dry run: the same decision code as TCCheck on the campaign beside
// `dllPath`, printing every gate. Never records a showing, never reports.
int RunDoctor(const char* dllPath);

// preview CAMPAIGN [--desktop NAME.lnk ...] [--seconds N]: shows the balloon
// through a real notification icon. Changes the machine: for sandbox prefixes.
int RunPreview(int argc, char** argv);
