#include "plugin/live_instances.h"

#include <windows.h>

#include <set>

namespace {

SRWLOCK lock = SRWLOCK_INIT;
// Report threads never look at it, and they keep the library loaded; so it
// is torn down at unload only when no code of ours can still run.
std::set<void*> live;

struct Exclusive {
    Exclusive() { AcquireSRWLockExclusive(&lock); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock); }
};
struct Shared {
    Shared() { AcquireSRWLockShared(&lock); }
    ~Shared() { ReleaseSRWLockShared(&lock); }
};

}  // namespace

bool AddLiveInstance(TcInstance* instance) noexcept {
    try {
        Exclusive guard;
        return live.insert(instance).second;
    } catch (...) {
        return false;
    }
}

TcInstance* FindLiveInstance(void* handle) noexcept {
    if (handle == nullptr) return nullptr;
    Shared guard;
    return live.count(handle) != 0 ? static_cast<TcInstance*>(handle) : nullptr;
}

TcInstance* TakeLiveInstance(void* handle) noexcept {
    if (handle == nullptr) return nullptr;
    Exclusive guard;
    return live.erase(handle) != 0 ? static_cast<TcInstance*>(handle) : nullptr;
}
