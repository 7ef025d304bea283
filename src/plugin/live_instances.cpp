#include "plugin/live_instances.h"

#include <windows.h>

#include <cstdint>
#include <map>

#include "plugin/instance.h"

namespace {

SRWLOCK lock = SRWLOCK_INIT;
// Report threads never look at it, and they keep the library loaded; so it
// is torn down at unload only when no code of ours can still run.
std::map<std::uintptr_t, std::shared_ptr<TcInstance>> live;
// The last handle value handed out. Values only grow; at the top of the
// range TCCreate fails rather than hand out a value again.
std::uintptr_t lastHandle = 0;

struct Exclusive {
    Exclusive() { AcquireSRWLockExclusive(&lock); }
    ~Exclusive() { ReleaseSRWLockExclusive(&lock); }
};
struct Shared {
    Shared() { AcquireSRWLockShared(&lock); }
    ~Shared() { ReleaseSRWLockShared(&lock); }
};

}  // namespace

void* CreateLiveInstance() noexcept {
    try {
        // Built outside the lock: a new instance asks the system things.
        std::shared_ptr<TcInstance> instance = std::make_shared<TcInstance>();
        Exclusive guard;
        if (lastHandle == UINTPTR_MAX) return nullptr;
        const std::uintptr_t handle = lastHandle + 1;
        live.emplace(handle, std::move(instance));
        lastHandle = handle;
        return reinterpret_cast<void*>(handle);
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<TcInstance> FindLiveInstance(void* handle) noexcept {
    if (handle == nullptr) return nullptr;
    Shared guard;
    const auto found = live.find(reinterpret_cast<std::uintptr_t>(handle));
    return found != live.end() ? found->second : nullptr;
}

bool TakeLiveInstance(void* handle) noexcept {
    if (handle == nullptr) return false;
    std::shared_ptr<TcInstance> taken;
    {
        Exclusive guard;
        const auto found = live.find(reinterpret_cast<std::uintptr_t>(handle));
        if (found == live.end()) return false;
        taken = std::move(found->second);
        live.erase(found);
    }
    // Ended here, outside the lock, unless a call in progress still holds it.
    try {
        taken.reset();
    } catch (...) {
    }
    return true;
}
