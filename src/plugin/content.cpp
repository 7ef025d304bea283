// The notification's content, copied into buffers the host owns. Only reads
// the instance and calls no system function.
#include "plugin/instance.h"

namespace {

// A null buffer is left alone whatever size came with it: a host that passes
// one does not want that text, and writing through it would take the host
// down. Sizes are the host's signed ints: a negative one is above 0x7FFFFFFF
// as unsigned, which BoundedCopy leaves untouched.
void CopyOut(char* buffer, std::int32_t size, const char* text) {
    if (buffer != nullptr) BoundedCopy(buffer, static_cast<std::uint32_t>(size), text);
}

void PutInt(std::int32_t* out, std::int32_t value) {
    if (out != nullptr) *out = value;
}

}  // namespace

int TcInstance::EnumPopupContent(std::int32_t index, char* titleBuffer, std::int32_t titleSize, char* messageBuffer,
                                 std::int32_t messageSize, std::int32_t* levelOut, char* commandBuffer,
                                 std::int32_t commandSize, std::int32_t* flagOut, char* idBuffer,
                                 std::int32_t idSize) const {
    // Only notification 0 exists; any other index writes nothing at all.
    if (index != 0) return 0;
    const GameScanNoticeRecord& notice = workspace_.config.GameScanNotice();
    // Every output is written whatever the others' sizes were.
    CopyOut(titleBuffer, titleSize, notice.Title.c_str());
    CopyOut(messageBuffer, messageSize, workspace_.composedMessage);
    PutInt(levelOut, notice.Level);
    CopyOut(commandBuffer, commandSize, notice.CommandText.c_str());
    PutInt(flagOut, 1);
    CopyOut(idBuffer, idSize, notice.ID.c_str());
    return 1;
}
