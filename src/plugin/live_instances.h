// The instances that TCCreate made and TCDestory has not yet ended.
//
// Contract: a handle from the host is used only after it was found here, so
// a stale, foreign or twice-destroyed handle answers 0 and touches nothing.
// The set holds addresses only and never reads through one it does not hold.
// Instances may be made and ended on different threads: an SRW lock guards
// the set, and nothing else. Calls on one instance from two threads at once
// stay the host's fault, as before.
#pragma once

class TcInstance;

// Enters a new instance; false (the caller then deletes it) without memory.
[[nodiscard]] bool AddLiveInstance(TcInstance* instance) noexcept;
// The instance behind `handle`, or null when it is not live.
TcInstance* FindLiveInstance(void* handle) noexcept;
// Takes `handle` out and returns its instance, or null when it was not live:
// of two TCDestory calls on one handle, only the first gets the instance.
TcInstance* TakeLiveInstance(void* handle) noexcept;
