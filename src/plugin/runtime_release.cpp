// Gives back, when the DLL unloads, what the statically linked C++ runtime
// takes at every load and would otherwise never release: its emergency
// exception pool, about 73 KB from the process heap, reserved for throwing
// exceptions when memory runs out.
//
// It runs here, from a static destructor, when the DLL is unloaded (or the
// process ends); by then no code of this DLL runs on any other thread, because
// every report thread holds a reference on the module until it has finished.
// (The runtime's thread calls keep nothing: runtime_threads.cpp.)
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
struct ReleaseRuntimeState {
    ~ReleaseRuntimeState() { __gnu_cxx::__freeres(); }
} releaseRuntimeState;
}  // namespace
