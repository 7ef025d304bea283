// The commands of quentra-campaign. Each answers the tool's exit code
// (output.h) after printing its result or its error.
//
// Contract: encode and decode refuse an output that is their input, and
// write their output whole or not at all; check and describe change no file
// and none of the machine's popup bookkeeping, and check answers
// kExitNeverShows when the campaign can never show, else kExitWarnings when
// it printed a warning.
#pragma once
#include <string>

// With `fromUtf8` the input is converted from UTF-8 first; without it, a
// UTF-8 input is refused.
int Encode(const std::string& in, const std::string& out, bool fromUtf8);
// A UTF-8 campaign INI (a byte order mark or none) in code page 936.
int Convert(const std::string& in, const std::string& out);
int Decode(const std::string& in, const std::string& out);
int Check(const std::string& path);
// What the plug-in's loader reads from the file, as JSON (UTF-8): ID,
// Purpose, MaxPopupTimes, PopupFrequency, Title, ScanPatterns and
// FeaturedNames. A UTF-8 file is refused: the plug-in would read noise.
int Describe(const std::string& path);
