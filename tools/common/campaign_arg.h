// One rule, for every tool, for a campaign file named on a command line:
// which form it is in, and whether it is a campaign at all; and how a hint
// the tools print names a tool and a path, so that it runs as printed.
//
// Contract: a name ending in .dat must hold an encoded campaign (it must
// decode to text with one of the campaign's sections); a name ending in .ini
// must hold the plain text of one; any other name is taken for what its bytes
// are. Pure apart from the code page of the section scan: no I/O. The hints
// read the environment the Linux wrappers set and, on Windows, this
// program's path and the current folder.
#pragma once
#include <string>

enum class CampaignForm { Encoded, Plain };

// The exit code of every tool for a campaign that never shows, on any
// machine on any day (check, the doctor and the preview alike), so that a CI
// job can gate on it.
constexpr int kExitNeverShows = 4;

// Empty when `bytes` (the file named `path`) is a campaign, with its form in
// `form`; else why it is not, worded to follow the path in a message.
std::string CampaignProblem(const std::string& path, const std::string& bytes, CampaignForm& form);

// `bytes` as the plug-in's campaign file: encoded when they are plain.
std::string AsDeployed(const std::string& bytes, CampaignForm form);
// `bytes` as plain text: decoded when they are encoded.
std::string AsPlain(const std::string& bytes, CampaignForm form);

// How a user runs `tool` again, as a command to paste: what the wrapper
// that started this program put in QUENTRA_COMMAND (environment included,
// e.g. "QUENTRA_MACHINE=sandbox tools/quentra-host"), else, on Windows,
// this program's path from the current folder (tools\quentra-host.exe).
std::string ToolCommand(const char* tool);
// `text` quoted for the shell the command above is pasted into: in single
// quotes under the Linux wrappers, else in double quotes (cmd.exe).
std::string ShellQuoted(const std::string& text);
// How a user runs the project's tool `name` (quentra-campaign,
// quentra-sandbox): tools/NAME under the Linux wrappers (after the
// QUENTRA_BUILD=... that they put in QUENTRA_TOOLS_ENV), else, on Windows,
// NAME.exe beside this program, by its path from the current folder.
std::string OtherTool(const char* name);
// A path as the user wrote it for the tool: under the Linux wrappers a Z:
// path (the form they hand Wine) is the Linux path it stands for.
std::string UserPath(const std::string& path);
