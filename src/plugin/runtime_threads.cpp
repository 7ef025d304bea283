// The thread calls of the statically linked C++ runtime, answered with the
// system's own primitives, so that no POSIX thread library is linked in.
//
// The runtime makes eight such calls: one-time set-ups and plain locks (the
// exception unwinder's list of this DLL's unwind tables, the emergency
// exception memory) and one thread-specific slot (the exception state of each
// thread, once it has thrown). A static POSIX thread library would answer
// them by keeping a TLS index, a record of the calling thread and the memory
// of its locks at every load, and give none of it back at unload: a host that
// loads and unloads the plug-in about a thousand times in one process runs out
// of TLS indexes, and then the library aborts the process. Here:
//
// - a lock is a slim reader/writer lock kept in the lock variable itself: no
//   handle, no memory, nothing to give back;
// - a one-time set-up is a flag word that the first caller claims;
// - a thread-specific slot is a fiber-local storage index, whose callback runs
//   the runtime's destructor for a thread's value when the thread ends. Every
//   index taken is freed when the DLL unloads, which also runs the destructor
//   for the values threads still hold.
//
// The types are the ones the runtime was compiled against (<pthread.h> of the
// MinGW-w64 thread library): a lock is a pointer-sized integer, initialised
// statically to -1; a one-time flag a long, initialised to 0.
//
// Only these calls are answered. A runtime part that needs others (a
// function-local static with a constructor waits on a condition variable under
// a recursive lock; locales and iostreams take more) would link the thread
// library's own files back in: the static proof reads the link map and fails
// on any of them.
#include <windows.h>

#include <pthread.h>

#include <cerrno>

static_assert(sizeof(pthread_mutex_t) == sizeof(SRWLOCK), "a lock variable holds a slim reader/writer lock");

namespace {

constexpr LONG kOnceNotRun = 0;
constexpr LONG kOnceDone = 1;
constexpr LONG kOnceRunning = 2;

PSRWLOCK LockOf(pthread_mutex_t* mutex) {
    // A lock initialised statically holds -1 until its first use; then it
    // becomes an unlocked slim lock (0). A lock already in use never holds -1.
    InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(mutex), nullptr,
                                      reinterpret_cast<void*>(PTHREAD_MUTEX_INITIALIZER));
    return reinterpret_cast<PSRWLOCK>(mutex);
}

// The runtime takes one slot (the per-thread exception state); a few more
// leave room for a newer runtime before a key is refused.
constexpr int kSlots = 4;
using Destructor = void (*)(void*);
Destructor destructors[kSlots];
DWORD slotIndexes[kSlots];
LONG slotsTaken = 0;

// The system calls a fiber-local storage callback with the system's calling
// convention; the runtime's destructors have the C one.
template <int Slot>
void WINAPI RunDestructor(void* value) {
    if (value != nullptr) destructors[Slot](value);
}
constexpr PFLS_CALLBACK_FUNCTION kCallbacks[kSlots] = {RunDestructor<0>, RunDestructor<1>, RunDestructor<2>,
                                                       RunDestructor<3>};

// Frees every slot's index when the DLL unloads (or the process ends); by then
// no code of this DLL runs on another thread, since every report thread holds
// a reference on the module until it has finished.
struct SlotOwner {
    ~SlotOwner() {
        const LONG taken = slotsTaken < kSlots ? slotsTaken : kSlots;
        for (LONG slot = 0; slot < taken; ++slot) {
            if (slotIndexes[slot] != FLS_OUT_OF_INDEXES) FlsFree(slotIndexes[slot]);
            slotIndexes[slot] = FLS_OUT_OF_INDEXES;
        }
    }
} slotOwner;

}  // namespace

extern "C" {

int pthread_once(pthread_once_t* once, void (*init)(void)) {
    if (InterlockedCompareExchange(once, kOnceRunning, kOnceNotRun) == kOnceNotRun) {
        init();
        InterlockedExchange(once, kOnceDone);
        return 0;
    }
    while (InterlockedCompareExchange(once, kOnceDone, kOnceDone) != kOnceDone) SwitchToThread();
    return 0;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
    InitializeSRWLock(reinterpret_cast<PSRWLOCK>(mutex));
    return 0;
}

int pthread_mutex_destroy(pthread_mutex_t*) { return 0; }

int pthread_mutex_lock(pthread_mutex_t* mutex) {
    AcquireSRWLockExclusive(LockOf(mutex));
    return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(mutex));
    return 0;
}

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    const LONG slot = InterlockedIncrement(&slotsTaken) - 1;
    if (slot >= kSlots) return EAGAIN;
    destructors[slot] = destructor;
    slotIndexes[slot] = FlsAlloc(destructor != nullptr ? kCallbacks[slot] : nullptr);
    if (slotIndexes[slot] == FLS_OUT_OF_INDEXES) return EAGAIN;
    *key = static_cast<pthread_key_t>(slot);
    return 0;
}

void* pthread_getspecific(pthread_key_t key) {
    // The runtime reads its slot between a failed system call and the
    // caller's look at the error; the read must not change it.
    const DWORD error = GetLastError();
    void* const value = FlsGetValue(slotIndexes[key]);
    SetLastError(error);
    return value;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
    return FlsSetValue(slotIndexes[key], const_cast<void*>(value)) ? 0 : ENOMEM;
}

}  // extern "C"
