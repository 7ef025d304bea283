// Pure rules of the report request and the install command. No I/O.
#pragma once
#include "common/text.h"

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX (uppercase
// hex), so an identifier with a blank, '&', '#' or '%' cannot change the
// request, while an alphanumeric identifier is sent byte for byte.
TextString PercentEncode(const char* text);

// Whether `url` may follow "/URL:" on the installer's command line: no blank,
// no quote and no control character, any of which would end the argument
// there and let the campaign add arguments of its own. Steps by character.
bool IsPlainCommandArgument(const LeadByteTable& table, const char* url);
