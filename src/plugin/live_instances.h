// The instances that TCCreate made and TCDestory has not yet ended.
//
// Contract: the host's handle is a number, not an address. Each TCCreate
// hands out a value that no later TCCreate in this process repeats, so a
// stale handle can never name a newer instance. A handle maps to the owner
// of its instance; a call copies that owner while it holds the lock, and
// works on the copy. TCDestory removes the handle, and the instance ends
// when the last call in progress on it returns. So a stale, foreign or
// destroyed handle answers 0 and touches nothing, also when another thread
// destroys it during a call; a call that began on a live handle ends on the
// instance it began with. An SRW lock guards the map, and nothing else:
// calls on one instance from two threads at once stay the host's fault.
#pragma once
#include <memory>

class TcInstance;

// A new instance and its handle; null when memory or handle values ran out.
void* CreateLiveInstance() noexcept;
// The instance behind `handle`, shared with the map; empty when not live.
std::shared_ptr<TcInstance> FindLiveInstance(void* handle) noexcept;
// Takes `handle` out; false when it was not live (of two TCDestory calls on
// one handle, only the first succeeds). The instance ends now, or when the
// last call in progress on it returns.
[[nodiscard]] bool TakeLiveInstance(void* handle) noexcept;
