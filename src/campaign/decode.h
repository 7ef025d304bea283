// The encoded campaign file beside the library, and its decoding into a plain
// INI file that the profile functions can read.
#pragma once

constexpr char kCampaignFileName[] = "quentracfg.dat";

// 1 when the decoded text of `sourcePath` was written to `targetPath`, 0
// otherwise (no path, unreadable or empty source, no memory, target not
// writable or not written whole). The target is opened only after the source
// was read, so a failure before that leaves no target behind; after a short
// write the caller deletes the part that was written.
int DecodeCampaignFile(const char* sourcePath, const char* targetPath);
