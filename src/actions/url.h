// Pure rules of the report request. No I/O.
#pragma once
#include "common/text.h"

// Percent-encodes every byte outside A-Z a-z 0-9 - . _ ~ as %XX (uppercase
// hex), so an identifier with a blank, '&', '#' or '%' cannot change the
// request, while an alphanumeric identifier is sent byte for byte.
TextString PercentEncode(const char* text);
