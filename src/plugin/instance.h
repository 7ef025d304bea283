// TcInstance: the plug-in instance behind the host's opaque handle.
//
// Ownership: TCCreate makes it and the live-instance map owns it; the host
// holds a handle that names it, and TCDestory ends it once no call is in
// progress on it. It owns its state by value (the campaign, the path of the
// host's config.ini, the composed message and the matched names) and refers
// to nothing outside itself, so report threads never see it and it may be
// destroyed while one runs. One instance must not be called from two threads
// at once; different instances share nothing in memory.
//
// Call order the host follows: CheckPopup; on 1, EnumPopupContent to fetch
// the texts; RunInstallCommand when the user accepts; then destruction. None
// of these asks what an earlier call answered.
#pragma once
#include <cstdint>

#include "decision/check.h"

class TcInstance {
public:
    TcInstance() = default;
    TcInstance(const TcInstance&) = delete;
    TcInstance& operator=(const TcInstance&) = delete;

    // TCCheck: 1 = show the notification now; the showing is recorded and
    // its report started.
    int CheckPopup();
    // TCEnum: index 0 only; see the export's contract in the host header.
    int EnumPopupContent(std::int32_t index, char* titleBuffer, std::int32_t titleSize, char* messageBuffer,
                         std::int32_t messageSize, std::int32_t* levelOut, char* commandBuffer,
                         std::int32_t commandSize, std::int32_t* flagOut, char* idBuffer, std::int32_t idSize) const;
    // TCDoCommand: 1 when the installer was started.
    int RunInstallCommand() const;

private:
    PopupWorkspace workspace_;
};
