// The notification's content, copied into buffers the host owns. Only reads
// the instance and calls no system function.
#include "plugin/instance.h"

int TcInstance::EnumPopupContent(std::int32_t index, char* titleBuffer, std::int32_t titleSize, char* messageBuffer,
                                 std::int32_t messageSize, std::int32_t* levelOut, char* commandBuffer,
                                 std::int32_t commandSize, std::int32_t* flagOut, char* idBuffer,
                                 std::int32_t idSize) const {
    if (index != 0) return 0;
    const GameScanNoticeRecord& notice = config_.GameScanNotice();
    // Sizes are the host's signed ints: a negative one is above 0x7FFFFFFF as
    // unsigned, which BoundedCopy leaves untouched.
    BoundedCopy(titleBuffer, static_cast<std::uint32_t>(titleSize), notice.Title.c_str());
    BoundedCopy(messageBuffer, static_cast<std::uint32_t>(messageSize), composedMessage_);
    *levelOut = notice.Level;
    BoundedCopy(commandBuffer, static_cast<std::uint32_t>(commandSize), notice.CommandText.c_str());
    *flagOut = 1;
    BoundedCopy(idBuffer, static_cast<std::uint32_t>(idSize), notice.ID.c_str());
    return 1;
}
