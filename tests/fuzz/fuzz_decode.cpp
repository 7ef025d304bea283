// Decoding and encoding are inverse: any bytes encode, then decode to the
// bytes followed by space padding to a whole word.
#include <cstring>

#include "campaign/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const auto decoded = DecodeCampaignBytes(data, size);
    if (decoded.size() % 4 != 0 || decoded.size() < size || decoded.size() >= size + 4) __builtin_trap();
    const auto encoded = EncodeCampaignBytes(data, size);
    const auto back = DecodeCampaignBytes(encoded.data(), encoded.size());
    if (back.size() != encoded.size() || (size > 0 && std::memcmp(back.data(), data, size) != 0)) __builtin_trap();
    for (std::size_t i = size; i < back.size(); ++i) {
        if (back[i] != 0x20) __builtin_trap();
    }
    return 0;
}
