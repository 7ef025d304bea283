#include "common/ansi.h"

#include <windows.h>

LeadByteTable AnsiLeadBytes() {
    LeadByteTable t{};
    for (int b = 0x80; b <= 0xFF; ++b) {
        t.lead[b] = IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(b)) != FALSE;
    }
    return t;
}
