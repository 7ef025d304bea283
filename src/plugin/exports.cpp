// The six exports. Each checks its arguments, forwards to the instance and
// returns an integer; no exception crosses into the host. Names and ordinals
// are declared in Quentra.def.
#include <windows.h>

#include <cstdint>
#include <new>

#include "plugin/instance.h"

static TcInstance* FromHandle(void* handle) { return static_cast<TcInstance*>(handle); }

extern "C" {

int WINAPI TCGetVer(int* version) noexcept {
    if (version == nullptr) return 0;
    *version = 1;
    return 1;
}

void* WINAPI TCCreate() noexcept {
    try {
        return new (std::nothrow) TcInstance();
    } catch (...) {
        return nullptr;
    }
}

int WINAPI TCDestory(void* instance) noexcept {
    if (instance == nullptr) return 0;
    try {
        delete FromHandle(instance);
    } catch (...) {
    }
    return 1;
}

int WINAPI TCCheck(void* instance) noexcept {
    if (instance == nullptr) return 0;
    try {
        return FromHandle(instance)->CheckPopup();
    } catch (...) {
        return 0;
    }
}

int WINAPI TCEnum(void* instance, int index, char* titleBuffer, int titleSize,
                                        char* messageBuffer, int messageSize, int* levelOut, char* commandBuffer,
                                        int commandSize, int* flagOut, char* idBuffer, int idSize) noexcept {
    if (instance == nullptr) return 0;
    try {
        return FromHandle(instance)->EnumPopupContent(index, titleBuffer, titleSize, messageBuffer, messageSize,
                                                      levelOut, commandBuffer,
                                                      commandSize, flagOut,
                                                      idBuffer, idSize);
    } catch (...) {
        return 0;
    }
}

int WINAPI TCDoCommand(void* instance, int /*param: not used*/) noexcept {
    if (instance == nullptr) return 0;
    try {
        return FromHandle(instance)->RunInstallCommand();
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
