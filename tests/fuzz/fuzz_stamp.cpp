// Stamp parsing: a stamp that parses has year, month and day of at least 1
// and no negative time field; one that does not is all zero.
#include <string>

#include "environment/stamp.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    PopupStamp s;
    if (ParsePopupStamp(text.c_str(), s)) {
        if (s.year < 1 || s.month < 1 || s.day < 1 || s.hour < 0 || s.minute < 0 || s.second < 0) __builtin_trap();
        if (s.hour > 99 || s.minute > 99 || s.second > 99) __builtin_trap();  // two characters at most
    } else if (s.year != 0 || s.month != 0 || s.day != 0 || s.hour != 0 || s.minute != 0 || s.second != 0) {
        __builtin_trap();
    }
    return 0;
}
