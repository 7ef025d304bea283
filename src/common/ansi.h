// Windows edge of the text rules: the lead-byte table of the process's ANSI
// code page, asked of the system at each call (the plug-in keeps no state).
#pragma once
#include "common/text.h"

LeadByteTable AnsiLeadBytes();
