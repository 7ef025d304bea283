// Stand-in for the suite's verification library. GetCIDA writes the machine
// identifier that the test put in "cid.txt" beside this DLL (none: leaves
// the buffer alone and answers 0). The special content "<fill>" writes the
// whole buffer with 'F' and no terminator, as a misbehaving library might.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/handles.h"

static HMODULE self;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) self = instance;
    return TRUE;
}

#if !defined(QUENTRA_NO_GETCIDA)
extern "C" __declspec(dllexport) int WINAPI GetCIDA(char* buffer, int size) {
    char path[MAX_PATH];
    GetModuleFileNameA(self, path, MAX_PATH);
    char* slash = std::strrchr(path, '\\');
    if (slash == nullptr) return 0;
    std::strcpy(slash + 1, "cid.txt");
    UniqueFile f(std::fopen(path, "rb"));
    if (!f) return 0;
    char id[1024] = {};
    const std::size_t n = std::fread(id, 1, sizeof id - 1, f.get());
    f.reset();
    if (std::strcmp(id, "<fill>") == 0) {
        std::memset(buffer, 'F', static_cast<std::size_t>(size));
        return 1;
    }
    if (static_cast<int>(n) >= size) return 0;
    std::memcpy(buffer, id, n + 1);
    return 1;
}
#else
extern "C" __declspec(dllexport) int WINAPI GetSomethingElse(void) { return 0; }
#endif
