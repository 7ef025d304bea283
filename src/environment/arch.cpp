#include "environment/arch.h"

#include <windows.h>

int ArchitectureIs64Bit(std::uint16_t architecture) {
    return (architecture == PROCESSOR_ARCHITECTURE_AMD64 || architecture == PROCESSOR_ARCHITECTURE_IA64) ? 1 : 0;
}

int IsSystem64BitWith(NativeSystemInfoFn getNativeSystemInfo) {
    if (getNativeSystemInfo == nullptr) return 0;
    SYSTEM_INFO info = {};
    getNativeSystemInfo(&info);
    return ArchitectureIs64Bit(info.wProcessorArchitecture);
}

int IsSystem64Bit() {
    // The version query only has to succeed; its numbers are not used.
    OSVERSIONINFOEXA ex = {};
    ex.dwOSVersionInfoSize = sizeof ex;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex))) {
        OSVERSIONINFOA basic = {};
        basic.dwOSVersionInfoSize = sizeof basic;
        if (!GetVersionExA(&basic)) return 0;
    }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return 0;
    const FARPROC proc = GetProcAddress(kernel, "GetNativeSystemInfo");
    return IsSystem64BitWith(reinterpret_cast<NativeSystemInfoFn>(reinterpret_cast<void*>(proc)));
}
