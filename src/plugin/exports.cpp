// The six exports. Each checks its arguments, forwards to the instance and
// returns an integer; no exception crosses into the host. Names and ordinals
// are declared in Quentra.def. Only a live instance, one that TCCreate made
// and TCDestory has not ended, is ever used: any other handle answers 0. A
// call holds its instance until it returns, whatever another thread does.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "plugin/instance.h"
#include "plugin/live_instances.h"
#include "quentra/quentra.h"

namespace {

// `call` on the live instance behind `handle`, which it holds until `call`
// returns; 0 for a handle that is not live, and for anything thrown.
template <typename Call>
int OnLiveInstance(void* handle, Call call) noexcept {
    const std::shared_ptr<TcInstance> live = FindLiveInstance(handle);
    if (!live) return 0;
    try {
        return call(*live);
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

int WINAPI TCGetVer(int* version) noexcept {
    if (version == nullptr) return 0;
    *version = QUENTRA_INTERFACE_VERSION;
    return 1;
}

void* WINAPI TCCreate() noexcept { return CreateLiveInstance(); }

int WINAPI TCDestory(void* instance) noexcept { return TakeLiveInstance(instance) ? 1 : 0; }

int WINAPI TCCheck(void* instance) noexcept {
    return OnLiveInstance(instance, [](TcInstance& live) { return live.CheckPopup(); });
}

int WINAPI TCEnum(void* instance, int index, char* titleBuffer, int titleSize, char* messageBuffer, int messageSize,
                  int* levelOut, char* commandBuffer, int commandSize, int* flagOut, char* idBuffer,
                  int idSize) noexcept {
    return OnLiveInstance(instance, [&](TcInstance& live) {
        return live.EnumPopupContent(index, titleBuffer, titleSize, messageBuffer, messageSize, levelOut,
                                     commandBuffer, commandSize, flagOut, idBuffer, idSize);
    });
}

int WINAPI TCDoCommand(void* instance, int /*param: not used*/) noexcept {
    return OnLiveInstance(instance, [](TcInstance& live) { return live.RunInstallCommand(); });
}

}  // extern "C"

// The exports as the host's header types them: any difference in result,
// arguments or calling convention fails to compile here. (The functions are
// noexcept, which converts away; nothing else does.)
template <typename Pfn>
constexpr bool TypedAs(Pfn) {
    return true;
}
static_assert(TypedAs<PFN_TCGetVer>(&TCGetVer), "TCGetVer differs from PFN_TCGetVer");
static_assert(TypedAs<PFN_TCCreate>(&TCCreate), "TCCreate differs from PFN_TCCreate");
static_assert(TypedAs<PFN_TCDestory>(&TCDestory), "TCDestory differs from PFN_TCDestory");
static_assert(TypedAs<PFN_TCCheck>(&TCCheck), "TCCheck differs from PFN_TCCheck");
static_assert(TypedAs<PFN_TCEnum>(&TCEnum), "TCEnum differs from PFN_TCEnum");
static_assert(TypedAs<PFN_TCDoCommand>(&TCDoCommand), "TCDoCommand differs from PFN_TCDoCommand");
