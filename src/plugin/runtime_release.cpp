// Gives back, when the DLL unloads, what the statically linked runtime takes
// at every load and would otherwise never release:
//
// - The C++ runtime's emergency exception pool: about 73 KB from the process
//   heap, reserved for throwing exceptions when memory runs out.
// - On 32-bit x86, the thread library's record of the thread that loaded the
//   DLL: an event and a duplicate of that thread's handle. The unwinder there
//   registers this DLL's unwind tables at load, and the one-time set-up of its
//   lock goes through the thread library, which makes a record for the calling
//   thread. It releases such records when a thread ends, never at unload, so a
//   host that loads and unloads the plug-in again and again would keep two
//   more handles at each cycle. The 64-bit build unwinds through the system's
//   tables and makes no record at load. (The record's memory, a few hundred
//   bytes, and the thread library's TLS index stay: it offers no way to free
//   them.)
//
// Both run here, from a static destructor, when the DLL is unloaded (or the
// process ends); by then no code of this DLL runs on any other thread, because
// every report thread holds a reference on the module until it has finished.
#include <windows.h>

#if !defined(__SEH__)
#include <pthread.h>

#include "common/handles.h"
#endif

namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
struct ReleaseRuntimeState {
    ~ReleaseRuntimeState() {
#if !defined(__SEH__)
        const UniqueKernelHandle event(static_cast<HANDLE>(pthread_getevent()));
        const UniqueKernelHandle thread(static_cast<HANDLE>(pthread_gethandle(pthread_self())));
#endif
        __gnu_cxx::__freeres();
    }
} releaseRuntimeState;
}  // namespace
