#include "campaign/decode.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "campaign/rules.h"
#include "common/handles.h"

int DecodeCampaignFile(const char* sourcePath, const char* targetPath) {
    if (sourcePath == nullptr || targetPath == nullptr || *sourcePath == '\0' || *targetPath == '\0') return 0;
    UniqueFile source(std::fopen(sourcePath, "rb"));
    if (!source) return 0;
    if (std::fseek(source.get(), 0, SEEK_END) != 0) return 0;
    const long length = std::ftell(source.get());
    if (length <= 0 || std::fseek(source.get(), 0, SEEK_SET) != 0) return 0;

    const std::size_t words = static_cast<std::size_t>(length) / 4 + (length % 4 != 0 ? 1 : 0);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[words * 4]);
    if (!buffer) return 0;
    // The filler completes a last partial word; it is masked with the rest.
    std::fill(buffer.get(), buffer.get() + words * 4, static_cast<unsigned char>(0x20));
    std::fread(buffer.get(), 1, words * 4, source.get());
    source.reset();

    MaskCampaignWords(buffer.get(), words);
    UniqueFile target(std::fopen(targetPath, "wb"));
    if (!target) return 0;
    // A short write (a full disk) is a failed decode: the loaders must not
    // read a campaign cut at some arbitrary byte as if it were whole.
    const std::size_t written = std::fwrite(buffer.get(), 1, words * 4, target.get());
    if (std::fclose(target.release()) != 0 || written != words * 4) return 0;
    return 1;
}
