// Releases the C++ runtime's emergency exception pool when the DLL unloads.
//
// The statically linked libstdc++ reserves about 73 KB from the process heap
// at every load of the DLL, for throwing exceptions when memory runs out, and
// never gives it back: a host that loads and unloads the plug-in again and
// again would lose that much at each cycle. The runtime's own release function
// runs here, from a static destructor, when the DLL is unloaded (or the
// process ends); by then no code of this DLL runs on any thread, because every
// report thread holds a reference on the module until it has finished.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
struct ReleaseRuntimePool {
    ~ReleaseRuntimePool() { __gnu_cxx::__freeres(); }
} releaseRuntimePool;
}  // namespace
