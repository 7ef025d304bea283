// ReadNumber and ParseAvEntry on arbitrary text, with arbitrary lengths: no
// read past the terminator or the length, and failures leave (0, 0, 0).
#include <cstdint>
#include <cstring>
#include <string>

#include "campaign/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 4) return 0;
    std::int32_t length;
    std::memcpy(&length, data, 4);
    std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    // An exact-size heap copy without a terminator when the length says so:
    // ASan catches any read past `length`.
    const std::size_t bound = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (bound <= text.size()) {
        char* exact = new char[bound == 0 ? 1 : bound];
        std::memcpy(exact, text.data(), bound);
        ReadNumber(exact, static_cast<std::int32_t>(bound), 7);
        delete[] exact;
    }
    ReadNumber(text.c_str(), length, 0);
    AvEntry entry;
    const std::int32_t whole = static_cast<std::int32_t>(text.size());
    if (ParseAvEntry(&text[0], whole + 1, entry) == 0) {
        if (entry.values[0] != 0 || entry.values[1] != 0 || entry.values[2] != 0) __builtin_trap();
    }
    return 0;
}
